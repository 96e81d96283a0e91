// halvorin.exe -regserver / -unregserver as real processes, read back through the
// registry API: the class, ProgID and AppID entries exactly, the type library and interface
// keys in both registry views, repeated registration, and what unregistration leaves.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "server/guids.h"
#include "server/tests/server_process.h"
#include "tests/helpers/registry_dump.h"
#include "tests/helpers/test_support.h"

using namespace server_testing;
using testing_support::DescribeTree;
using testing_support::DumpRegistry;
using testing_support::RegistryTree;
using testing_support::Sz;

namespace {

const std::string kAppIdKey = "AppID\\" HALVORIN_APPID_TEXT;
const std::string kAppNameKey = "AppID\\Halvorin.EXE";
const std::string kClassKey = "CLSID\\" HALVORIN_CLSID_TEXT;
const std::string kProgIdKey = "Halvorin.Halvorin.1";
const std::string kIndependentProgIdKey = "Halvorin.Halvorin";
const std::string kTypeLibKey = "TypeLib\\" HALVORIN_LIBID_TEXT;
const std::string kInterfaceKey = "Interface\\" HALVORIN_IID_TEXT;
const char kAutomationMarshaller[] = "{00020424-0000-0000-C000-000000000046}";
const REGSAM kViews[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

// Empty when the key is not there.
RegistryTree Dump(const std::string& path, REGSAM view = 0) { return DumpRegistry(HKEY_CLASSES_ROOT, path, view); }

std::string Describe(const RegistryTree& tree) { return DescribeTree(tree); }

// Everything that registration writes, in both views where it matters.
std::map<std::string, RegistryTree> DumpAll() {
    std::map<std::string, RegistryTree> all;
    for (const auto& key : {kAppIdKey, kAppNameKey, kClassKey, kProgIdKey, kIndependentProgIdKey}) {
        all[key] = Dump(key);
    }
    for (REGSAM view : kViews) {
        const std::string suffix = view == KEY_WOW64_32KEY ? " (32)" : " (64)";
        all[kTypeLibKey + suffix] = Dump(kTypeLibKey, view);
        all[kInterfaceKey + suffix] = Dump(kInterfaceKey, view);
    }
    return all;
}

std::string ShortHalvorinPath() {
    char shortPath[MAX_PATH] = "";
    const DWORD length = GetShortPathNameA(HalvorinPath().c_str(), shortPath, sizeof(shortPath));
    return length > 0 && length < sizeof(shortPath) ? shortPath : HalvorinPath();
}

std::string TextOf(const RegistryTree& tree, const std::string& key, const std::string& value = "") {
    const auto found = tree.find(key);
    if (found == tree.end()) return "<no key " + key + ">";
    const auto named = found->second.find(value);
    if (named == found->second.end()) return "<no value " + value + " in " + key + ">";
    if (named->second.type != REG_SZ) return "<not REG_SZ>";
    return named->second.data.c_str();
}

class RegistrationTest : public ::testing::Test {
protected:
    // Whatever a test did, the server stays registered for the tests that use it.
    void TearDown() override { EXPECT_EQ(0, RunHalvorin("-regserver")); }
};

}  // namespace

TEST_F(RegistrationTest, RegistrationWritesExactlyTheTable) {
    ASSERT_EQ(0, RunHalvorin("-regserver"));

    const RegistryTree appId = Dump(kAppIdKey);
    EXPECT_EQ((RegistryTree{{"", {{"", Sz("Halvorin")}}}}), appId) << Describe(appId);
    const RegistryTree appName = Dump(kAppNameKey);
    EXPECT_EQ((RegistryTree{{"", {{"AppID", Sz(HALVORIN_APPID_TEXT)}}}}), appName) << Describe(appName);

    const RegistryTree progId = Dump(kProgIdKey);
    EXPECT_EQ((RegistryTree{{"", {{"", Sz("Halvorin Class")}}}, {"CLSID", {{"", Sz(HALVORIN_CLSID_TEXT)}}}}),
              progId)
        << Describe(progId);
    const RegistryTree independent = Dump(kIndependentProgIdKey);
    EXPECT_EQ((RegistryTree{{"", {{"", Sz("Halvorin Class")}}},
                            {"CLSID", {{"", Sz(HALVORIN_CLSID_TEXT)}}},
                            {"CurVer", {{"", Sz("Halvorin.Halvorin.1")}}}}),
              independent)
        << Describe(independent);

    // The class key holds these keys and values and nothing more; the server's path is
    // its short form.
    const RegistryTree classKey = Dump(kClassKey);
    const RegistryTree expectedClass = {
        {"", {{"", Sz("Halvorin Class")}, {"AppID", Sz(HALVORIN_APPID_TEXT)}}},
        {"ProgID", {{"", Sz("Halvorin.Halvorin.1")}}},
        {"VersionIndependentProgID", {{"", Sz("Halvorin.Halvorin")}}},
        {"Programmable", {}},
        {"LocalServer32", {{"", Sz(ShortHalvorinPath())}}},
        {"TypeLib", {{"", Sz(HALVORIN_LIBID_TEXT)}}},
    };
    EXPECT_EQ(expectedClass, classKey) << Describe(classKey);

    // The type library and the interface, as the runtime registers them, in both views.
#ifdef _WIN64
    const std::string platform = "1.0\\409\\win64";
#else
    const std::string platform = "1.0\\409\\win32";
#endif
    const std::string directory = testing_support::ProgramDirectory();
    for (REGSAM view : kViews) {
        SCOPED_TRACE(view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view");
        const RegistryTree library = Dump(kTypeLibKey, view);
        EXPECT_EQ("Halvorin 1.0 Type Library", TextOf(library, "1.0")) << Describe(library);
        EXPECT_EQ(0, lstrcmpiA(HalvorinPath().c_str(), TextOf(library, platform).c_str())) << Describe(library);
        EXPECT_EQ(0, lstrcmpiA(directory.c_str(), TextOf(library, "1.0\\HELPDIR").c_str())) << Describe(library);

        const RegistryTree interfaceKey = Dump(kInterfaceKey, view);
        EXPECT_EQ("IHalvorin", TextOf(interfaceKey, "")) << Describe(interfaceKey);
        EXPECT_EQ(kAutomationMarshaller, TextOf(interfaceKey, "ProxyStubClsid32")) << Describe(interfaceKey);
        EXPECT_EQ(HALVORIN_LIBID_TEXT, TextOf(interfaceKey, "TypeLib")) << Describe(interfaceKey);
        EXPECT_EQ("1.0", TextOf(interfaceKey, "TypeLib", "Version")) << Describe(interfaceKey);
    }
}

TEST_F(RegistrationTest, RegisteringAgainRewritesTheClassKeyAndLeavesTheSameKeys) {
    ASSERT_EQ(0, RunHalvorin("-regserver"));
    const auto before = DumpAll();
    for (const auto& entry : before) ASSERT_FALSE(entry.second.empty()) << entry.first << " missing";

    // Strays under the class key, and under its Programmable key, must not survive.
    HKEY classKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassKey.c_str(), 0, KEY_ALL_ACCESS, &classKey));
    HKEY stray = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(classKey, "InprocServer32\\Stray", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &stray, nullptr));
    if (stray) RegCloseKey(stray);
    const char strayText[] = "stray";
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(classKey, "StrayValue", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(strayText), sizeof(strayText)));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueA(classKey, "Programmable", "StrayValue", REG_SZ, strayText,
                                             sizeof(strayText)));
    RegCloseKey(classKey);
    ASSERT_NE(before.at(kClassKey), Dump(kClassKey));

    ASSERT_EQ(0, RunHalvorin("-regserver"));
    const auto after = DumpAll();
    for (const auto& entry : before) {
        EXPECT_EQ(entry.second, after.at(entry.first))
            << entry.first << "\nbefore:\n" << Describe(entry.second) << "after:\n" << Describe(after.at(entry.first));
    }
}

TEST_F(RegistrationTest, UnregistrationKeepsOnlyTheSharedKeys) {
    ASSERT_EQ(0, RunHalvorin("-regserver"));
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));

    EXPECT_EQ(0, RunHalvorin("-unregserver"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
    for (const auto& key : {kAppIdKey, kAppNameKey, kClassKey, kProgIdKey, kIndependentProgIdKey}) {
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << key;
    }
    for (REGSAM view : kViews) {
        SCOPED_TRACE(view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view");
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey, view));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kInterfaceKey, view));
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "Interface", view));
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "TypeLib", view));
    }

    // Unregistering what is not registered still succeeds and changes nothing shared.
    EXPECT_EQ(0, RunHalvorin("-unregserver"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
}

// A copy of the server without its TYPELIB resource registers the library from the .tlb
// file beside it, and fails with the loader's code when there is none.
TEST_F(RegistrationTest, TypeLibraryFallsBackToTheTlbFileBesideTheProgram) {
    testing_support::ScratchDirectory directory("tlb-fallback");
    const std::string copy = directory.File("Halvorin Copy.exe");
    const std::string tlb = directory.File("Halvorin Copy.tlb");
    // The copy's resource type is renamed in place (same length), so nothing else moves.
    std::string program = testing_support::ReadWholeFile(HalvorinPath());
    const std::string typeName("T\0Y\0P\0E\0L\0I\0B\0", 14);
    const size_t at = program.find(typeName);
    ASSERT_NE(std::string::npos, at);
    ASSERT_EQ(std::string::npos, program.find(typeName, at + 1));
    program[at + 12] = 'X';
    ASSERT_TRUE(testing_support::WriteWholeFile(copy, program));

    // The library bytes, taken from the original.
    std::string library;
    {
        HMODULE original = LoadLibraryExA(HalvorinPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, original);
        HRSRC found = FindResourceA(original, MAKEINTRESOURCEA(1), "TYPELIB");
        HGLOBAL loaded = found ? LoadResource(original, found) : nullptr;
        if (loaded) {
            library.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(original, found));
        }
        FreeLibrary(original);
        ASSERT_FALSE(library.empty());
    }
    {
        HMODULE stripped = LoadLibraryExA(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, stripped);
        EXPECT_EQ(nullptr, FindResourceA(stripped, MAKEINTRESOURCEA(1), "TYPELIB"));
        EXPECT_NE(nullptr, FindResourceA(stripped, MAKEINTRESOURCEA(100), "REGISTRY"));
        FreeLibrary(stripped);
    }

    // No library anywhere: the exit code is the failure.
    ChildProcess failing;
    ASSERT_TRUE(failing.Start("\"" + copy + "\" -RegServer"));
    ASSERT_TRUE(failing.WaitForExit(60000));
    EXPECT_TRUE(FAILED(static_cast<HRESULT>(failing.ExitCode()))) << std::hex << failing.ExitCode();

    ASSERT_TRUE(testing_support::WriteWholeFile(tlb, library));
    ChildProcess registering;
    ASSERT_TRUE(registering.Start("\"" + copy + "\" -RegServer"));
    ASSERT_TRUE(registering.WaitForExit(60000));
    EXPECT_EQ(0u, registering.ExitCode());
#ifdef _WIN64
    const std::string platform = "1.0\\409\\win64";
#else
    const std::string platform = "1.0\\409\\win32";
#endif
    const RegistryTree registered = Dump(kTypeLibKey);
    EXPECT_EQ(0, lstrcmpiA(tlb.c_str(), TextOf(registered, platform).c_str())) << Describe(registered);
    EXPECT_EQ(0, lstrcmpiA((directory.path() + "\\").c_str(), TextOf(registered, "1.0\\HELPDIR").c_str()))
        << Describe(registered);
    char shortCopy[MAX_PATH] = "";
    GetShortPathNameA(copy.c_str(), shortCopy, sizeof(shortCopy));
    EXPECT_EQ(shortCopy, TextOf(Dump(kClassKey), "LocalServer32"));
    // TearDown registers the real server again.
}

TEST(VersionResourceTest, VersionInformationOfTheServer) {
    const std::string path = HalvorinPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << path;
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);

    auto text = [&](const std::string& name, bool* present) {
        char* value = nullptr;
        UINT valueLength = 0;
        const std::string query = "\\StringFileInfo\\040904B0\\" + name;
        *present = VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &valueLength) &&
                   value != nullptr;
        return *present ? std::string(value) : std::string();
    };
    bool present = false;
    EXPECT_EQ("Halvorin Module", text("FileDescription", &present));
    EXPECT_EQ("Halvorin Module", text("ProductName", &present));
    EXPECT_EQ("Halvorin", text("InternalName", &present));
    EXPECT_EQ("Halvorin.EXE", text("OriginalFilename", &present));
    EXPECT_FALSE(text("LegalCopyright", &present).empty());
    // Self-registering files are recognised by this entry alone; its text is empty.
    EXPECT_EQ("", text("OLESelfRegister", &present));
    EXPECT_TRUE(present);
    text("NoSuchEntry", &present);
    EXPECT_FALSE(present);
}
