// Applying patch files through our patchw32.dll (loaded from beside this program, as the
// engine loads it): the log texts, the patch file's removal, the order of several
// applications and the log each application writes to. Patches come from makepatch.exe.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/context_registry.h"
#include "engine/engine_context.h"
#include "engine/patch_run_state.h"
#include "tests/helpers/test_support.h"

using namespace testing_support;

namespace {

// Bytes that differ from one version to the next, at several places of the file.
std::string Version(size_t size, int version) {
    std::string bytes(size, '\0');
    unsigned x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    for (size_t at = 0; at + 64 < size; at += size / 7 + 1) bytes.replace(at, 5, "v" + std::to_string(1000 + version));
    return bytes;
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class PatchApplicationTest : public ::testing::Test {
protected:
    // A patch turning the files (name, version) of the old list into the new versions.
    std::string MakePatch(const std::string& name, const std::vector<std::string>& files, size_t size, int from,
                          int to) {
        const std::string oldDir = work_.File(name + "-old");
        const std::string newDir = work_.File(name + "-new");
        CreateDirectoryA(oldDir.c_str(), nullptr);
        CreateDirectoryA(newDir.c_str(), nullptr);
        for (const std::string& file : files) {
            EXPECT_TRUE(WriteWholeFile(oldDir + "\\" + file, Version(size, from)));
            EXPECT_TRUE(WriteWholeFile(newDir + "\\" + file, Version(size, to)));
        }
        const std::string patch = work_.File(name + ".rtp");
        EXPECT_EQ(0, RunProcess("\"" + ProgramDirectory() + "makepatch.exe\" \"" + oldDir + "\" \"" + newDir + "\" \"" +
                                patch + "\""));
        return patch;
    }

    // An engine context of its own, logging into its own file.
    EngineContext& Engine(const std::string& name) {
        EngineContext& engine = FindOrCreateContext(name + std::to_string(GetCurrentProcessId()));
        engine.log.SetPath(work_.File(name + ".log"));
        EXPECT_NE(nullptr, engine.applyEntry) << "patchw32.dll beside the test";
        return engine;
    }

    // The patch file moved into the application directory, as the patch run downloads it.
    std::string Deliver(const std::string& patch, const std::string& app, const std::string& name) {
        const std::string delivered = app + "/" + name;
        EXPECT_TRUE(CopyFileA(patch.c_str(), delivered.c_str(), FALSE));
        return delivered;
    }

    // One patch applied to app as a chain of its own; the library's code.
    static uint32_t Apply(EngineContext& engine, const std::string& file, const std::string& app) {
        PatchChainResults chain(1);
        EXPECT_TRUE(engine.patchApplications.Start(engine, file, app, &chain, 0));
        engine.patchApplications.WaitUntilDone();
        return chain.codes[0];
    }

    ScratchDirectory work_{"apply"};
};

TEST_F(PatchApplicationTest, ResultCodeEndsTheLineAndThePatchFileGoes) {
    EngineContext& engine = Engine("codes");
    const std::string app = work_.File("app");
    CreateDirectoryA(app.c_str(), nullptr);
    const std::string patch = MakePatch("one", {"a.dll"}, 5000, 1, 2);
    ASSERT_TRUE(WriteWholeFile(app + "\\a.dll", Version(5000, 1)));

    std::string file = Deliver(patch, app, "p12.rtp");
    EXPECT_EQ(0u, Apply(engine, file, app));
    EXPECT_TRUE(ReadWholeFile(app + "\\a.dll") == Version(5000, 2));
    EXPECT_FALSE(FileExists(file));
    const std::string commandLine = "\"" + app + "\" \"" + file + "\"";
    std::string log = ReadWholeFile(work_.File("codes.log"));
    EXPECT_EQ(0u, log.find("\r\nApplying patch file. Command line: " + commandLine + "\r\nRTP:  Starting patch"))
        << log;
    EXPECT_EQ("\r\nRTP:  Patch completed... completed, code=0.", log.substr(log.size() - 45)) << log;

    // Applied once more, the patch finds the wrong version: refused, and still deleted.
    DeleteFileA(work_.File("codes.log").c_str());
    ASSERT_TRUE(WriteWholeFile(app + "\\a.dll", Version(5000, 3)));
    file = Deliver(patch, app, "p12.rtp");
    EXPECT_EQ(4u, Apply(engine, file, app));
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(ReadWholeFile(app + "\\a.dll") == Version(5000, 3));
    log = ReadWholeFile(work_.File("codes.log"));
    EXPECT_NE(std::string::npos, log.find("\r\nRTP:  Patch not applied")) << log;
    EXPECT_EQ("... completed, code=4.", log.substr(log.size() - 22)) << log;

    // Not a patch at all: the library's complaint continues the command line's line.
    DeleteFileA(work_.File("codes.log").c_str());
    file = app + "/junk.rtp";
    ASSERT_TRUE(WriteWholeFile(file, "not a patch"));
    EXPECT_EQ(3u, Apply(engine, file, app));
    EXPECT_EQ("\r\nApplying patch file. Command line: \"" + app + "\" \"" + file +
                  "\"RTP:  Invalid patch file!... completed, code=3.",
              ReadWholeFile(work_.File("codes.log")));
    EXPECT_FALSE(FileExists(file));
}

TEST_F(PatchApplicationTest, ApplicationsRunInTheOrderTheyStarted) {
    EngineContext& engine = Engine("order");
    const std::string app = work_.File("chain");
    CreateDirectoryA(app.c_str(), nullptr);
    // The first patch is large, so its application is still running when the others wait.
    const size_t size = 8 << 20;
    const std::string p12 = MakePatch("c12", {"big.dat"}, size, 1, 2);
    const std::string p23 = MakePatch("c23", {"big.dat"}, size, 2, 3);
    const std::string p34 = MakePatch("c34", {"big.dat"}, size, 3, 4);
    ASSERT_TRUE(WriteWholeFile(app + "\\big.dat", Version(size, 1)));
    const std::string files[] = {Deliver(p12, app, "p12.rtp"), Deliver(p23, app, "p23.rtp"), Deliver(p34, app, "p34.rtp")};
    PatchChainResults chain(3);
    for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(engine.patchApplications.Start(engine, files[i], app, &chain, i));
    // Queued while the first one runs: starting one never waits for another to end.
    EXPECT_EQ(3, engine.patchApplications.Pending());
    engine.patchApplications.WaitUntilDone();
    EXPECT_EQ(0, engine.patchApplications.Pending());
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 0}), chain.codes);
    EXPECT_TRUE(ReadWholeFile(app + "\\big.dat") == Version(size, 4)) << "applied out of order";
    const std::string log = ReadWholeFile(work_.File("order.log"));
    EXPECT_EQ(3, Count(log, "... completed, code=0.")) << log;
    EXPECT_LT(log.find("p12.rtp"), log.find("p23.rtp"));
    EXPECT_LT(log.find("p23.rtp"), log.find("p34.rtp"));

    // A chain stops at its first patch that fails: the ones after it are not applied.
    DeleteFileA(work_.File("order.log").c_str());
    ASSERT_TRUE(WriteWholeFile(app + "\\big.dat", Version(size, 2)));
    const std::string again[] = {Deliver(p12, app, "p12.rtp"), Deliver(p34, app, "p34.rtp")};
    PatchChainResults broken(2);
    for (size_t i = 0; i < 2; ++i) ASSERT_TRUE(engine.patchApplications.Start(engine, again[i], app, &broken, i));
    engine.patchApplications.WaitUntilDone();
    EXPECT_EQ(0u, broken.codes[0]) << "a file already in its new state is left alone";
    EXPECT_EQ(4u, broken.codes[1]);
    ASSERT_TRUE(WriteWholeFile(app + "\\big.dat", Version(size, 3)));
    const std::string third[] = {Deliver(p12, app, "p12.rtp"), Deliver(p34, app, "p34.rtp")};
    PatchChainResults refused(2);
    for (size_t i = 0; i < 2; ++i) ASSERT_TRUE(engine.patchApplications.Start(engine, third[i], app, &refused, i));
    engine.patchApplications.WaitUntilDone();
    EXPECT_EQ(4u, refused.codes[0]);
    EXPECT_EQ(kPatchSkipped, refused.codes[1]);
    EXPECT_TRUE(ReadWholeFile(app + "\\big.dat") == Version(size, 3));
    EXPECT_FALSE(FileExists(third[1])) << "the skipped patch file stays behind";
    EXPECT_NE(std::string::npos, ReadWholeFile(work_.File("order.log")).find("p34.rtp\"... not applied: a patch before it failed."));
}

TEST_F(PatchApplicationTest, EachApplicationLogsIntoItsOwnEngine) {
    EngineContext& first = Engine("first");
    EngineContext& second = Engine("second");
    const std::string appA = work_.File("appA");
    const std::string appB = work_.File("appB");
    CreateDirectoryA(appA.c_str(), nullptr);
    CreateDirectoryA(appB.c_str(), nullptr);
    const std::vector<std::string> three = {"a1.dat", "a2.dat", "a3.dat"};
    const std::vector<std::string> five = {"b1.dat", "b2.dat", "b3.dat", "b4.dat", "b5.dat"};
    const size_t size = 4 << 20;
    const std::string patchA = MakePatch("a", three, size, 1, 2);
    const std::string patchB = MakePatch("b", five, size, 1, 2);
    for (const std::string& name : three) ASSERT_TRUE(WriteWholeFile(appA + "\\" + name, Version(size, 1)));
    for (const std::string& name : five) ASSERT_TRUE(WriteWholeFile(appB + "\\" + name, Version(size, 1)));

    PatchChainResults chainA(1);
    PatchChainResults chainB(1);
    ASSERT_TRUE(first.patchApplications.Start(first, Deliver(patchA, appA, "a.rtp"), appA, &chainA, 0));
    ASSERT_TRUE(second.patchApplications.Start(second, Deliver(patchB, appB, "b.rtp"), appB, &chainB, 0));
    first.patchApplications.WaitUntilDone();
    second.patchApplications.WaitUntilDone();
    const std::string logA = ReadWholeFile(work_.File("first.log"));
    const std::string logB = ReadWholeFile(work_.File("second.log"));
    EXPECT_EQ(3, Count(logA, "\r\nRTP:  Starting patch")) << logA;
    EXPECT_EQ(5, Count(logB, "\r\nRTP:  Starting patch")) << logB;
    EXPECT_EQ(1, Count(logA, "code=0.")) << logA;
    EXPECT_EQ(1, Count(logB, "code=0.")) << logB;
}

}  // namespace

// Without the library there is nothing to apply a path with: the decision looks for none.
TEST(PatchDecisionWithoutLibrary, NoPathIsSearched) {
    ScratchDirectory work("nolibrary");
    EngineContext engine;
    engine.url = "cached.example";
    engine.imagePath = "/image.txt";
    engine.log.SetPath(work.File("engine.log"));
    // The image is already cached, so the decision fetches nothing.
    auto image = std::make_shared<UpdateImage>();
    image->site = engine.url;
    image->imagePath = engine.imagePath;
    ImagePatchStep step;
    step.fromVersion = 1;
    step.toVersion = 2;
    image->patchSteps.push_back(step);
    engine.imageHolder.reset(std::move(image));

    EXPECT_EQ(0, engine.IsPatchNeeded(1, 2));
    const std::string log = ReadWholeFile(work.File("engine.log"));
    EXPECT_EQ(0u, log.find("\r\n----IsPatchNeeded:\r\nCheck took ")) << log;
    EXPECT_TRUE(engine.errorReport.Texts().empty());

    engine.applyEntry = FindOrCreateContext("with-library").applyEntry;
    ASSERT_NE(nullptr, engine.applyEntry);
    EXPECT_EQ(1, engine.IsPatchNeeded(1, 2));
}

namespace {

// A version change that needs a patch, without the patch library: nothing can be done,
// and that is no success (the run itself, in-process, without a site).
TEST_F(PatchApplicationTest, AVersionChangeWithoutThePatchLibraryIsAFailure) {
    EngineContext& engine = Engine("nolibrary");
    engine.applyEntry = nullptr;
    PatchRun run;
    run.engine = &engine;
    run.request.fromVersion = 1;
    run.request.toVersion = 3;
    run.appDirectory = work_.File("nolibrary-app");
    CreateDirectoryA(run.appDirectory.c_str(), nullptr);
    UpdateImage image;
    ImagePatchStep step;
    step.fromVersion = 1;
    step.toVersion = 3;
    step.remotePath = "patches/p13.rtp";
    image.patchSteps.push_back(step);
    PerformPatch(run, image);
    EXPECT_TRUE(run.failed);
    EXPECT_EQ(std::vector<std::string>{"The patch library is not loaded: version 1 cannot be patched to version 3."},
              engine.errorReport.Texts());

    // An image without patches brings its release through its mandatory files alone.
    engine.errorReport.Clear();
    image.patchSteps.clear();
    run.failed = true;
    PerformPatch(run, image);
    EXPECT_FALSE(run.failed);
}

}  // namespace
