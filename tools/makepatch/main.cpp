// makepatch: makes patches for patchw32.dll, and applies them for checks and timing.
// Usage and exit codes in README.md beside this file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "patchlib/file_apply.h"
#include "patchlib/patch_maker.h"
#include "patchlib/tree_apply.h"
#include "tools/makepatch/tool_io.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kUnreadable = 2, kUnwritable = 3, kCannotMake = 4, kNotApplied = 5 };

const char kUsageText[] =
    "usage: makepatch OLD_DIR NEW_DIR OUT [options]   patch turning the tree OLD_DIR into NEW_DIR\n"
    "       makepatch --file OLD NEW OUT [options]    patch of one file, named after NEW\n"
    "       makepatch --apply DIR PATCH               apply a patch to the tree DIR\n"
    "       makepatch --apply-file OLD PATCH OUT      apply a one-file patch to OLD, result in OUT\n"
    "options: --comment TEXT  --copyright TEXT  --x86-filter  --plain  --level 1..9  --format 1|2  --no-verify\n";

int Usage(const std::string& problem) {
    if (!problem.empty()) PrintText(stderr, "makepatch: " + problem + "\n");
    fputs(kUsageText, stderr);
    return kUsage;
}

int Fail(int code, const std::string& text) {
    PrintText(stderr, "makepatch: " + text + "\n");
    return code;
}

int Report(const MakeResult& result, const std::string& oldName, const std::string& newName) {
    switch (result.status) {
    case MakeStatus::kOk: return kOk;
    case MakeStatus::kOldUnreadable:
        return Fail(kUnreadable, "cannot read " + oldName + (result.detail.empty() ? "" : ": " + result.detail));
    case MakeStatus::kNewUnreadable:
        return Fail(kUnreadable, "cannot read " + newName + (result.detail.empty() ? "" : ": " + result.detail));
    case MakeStatus::kUnsafeName: return Fail(kCannotMake, "a patch cannot carry the file name " + result.detail);
    case MakeStatus::kNameConflict:
        return Fail(kCannotMake, "a file and a directory share the name " + result.detail);
    case MakeStatus::kTooLarge: return Fail(kCannotMake, "too large: " + result.detail);
    case MakeStatus::kFailed: return Fail(kCannotMake, result.detail);
    }
    return kCannotMake;
}

int Write(const std::string& out, const std::vector<uint8_t>& bytes, const MakeResult& result) {
    if (!WriteOutputFile(out, bytes)) return Fail(kUnwritable, "cannot write " + out);
    PrintText(stdout, "makepatch: " + out + ": " + std::to_string(result.patched) + " patched, " +
                          std::to_string(result.added) + " added, " + std::to_string(result.deleted) +
                          " deleted, " + std::to_string(result.unchanged) + " unchanged; " +
                          std::to_string(bytes.size()) + " bytes\n");
    return kOk;
}

// Prints what the library would tell its callers (the texts in UTF-8, as stored).
class Printer : public PatchMessages {
public:
    bool Send(uint32_t id, void* parameter) override {
        const char* text = static_cast<const char*>(parameter);
        switch (id) {
        case PATCHLIB_MSG_COMMENT: PrintText(stdout, std::string("comment: ") + text + "\n"); break;
        case PATCHLIB_MSG_COPYRIGHT: PrintText(stdout, std::string("copyright: ") + text + "\n"); break;
        case PATCHLIB_MSG_FILE_START: PrintText(stdout, std::string("  ") + text + "\n"); break;
        case PATCHLIB_MSG_ERROR_TEXT: PrintText(stderr, std::string("makepatch: ") + text + "\n"); break;
        case PATCHLIB_MSG_INVALID_PATCH: fprintf(stderr, "makepatch: not a valid patch file\n"); break;
        default: break;
        }
        return true;
    }
};

int ApplyTree(const std::string& directory, const std::string& patchFile) {
    std::vector<uint8_t> patch;
    if (!ReadInputFile(patchFile, &patch)) return Fail(kUnreadable, "cannot read " + patchFile);
    if (!IsDirectory(directory)) return Fail(kUnreadable, "not a directory: " + directory);
    const std::unique_ptr<TreeFileSystem> tree = OpenTree(directory);
    if (!tree) return Fail(kUnreadable, "not a directory: " + directory);
    Printer printer;
    const uint32_t code = ApplyPatchToTree(patch.data(), patch.size(), *tree, printer);
    if (code != PATCHLIB_OK) return Fail(kNotApplied, "patch not applied (code " + std::to_string(code) + ")");
    return kOk;
}

// The result goes to a temporary file as it is made and replaces OUT only once it
// matched its checksum.
class FileSink : public DeltaSink {
public:
    explicit FileSink(OutputFile& file) : file_(file) {}
    bool Take(const uint8_t* data, size_t size) override { return file_.Write(data, size); }

private:
    OutputFile& file_;
};

int ApplyFile(const std::string& oldFile, const std::string& patchFile, const std::string& out) {
    std::vector<uint8_t> old, patch;
    if (!ReadInputFile(oldFile, &old)) return Fail(kUnreadable, "cannot read " + oldFile);
    if (!ReadInputFile(patchFile, &patch)) return Fail(kUnreadable, "cannot read " + patchFile);
    OutputFile result;
    if (!result.Open(out)) return Fail(kUnwritable, "cannot write " + out);
    FileSink sink(result);
    std::string name;
    const uint32_t code = ApplyPatchToSink(patch.data(), patch.size(), old, &sink, &name);
    switch (code) {
    case PATCHLIB_OK: break;
    case PATCHLIB_ERR_WRONG_VERSION:
        return Fail(kNotApplied, oldFile + " is not the version the patch was made from");
    case PATCHLIB_ERR_INVALID_PATCH: return Fail(kNotApplied, patchFile + " is not a valid one-file patch");
    case PATCHLIB_ERR_NO_MEMORY:
        // The sink refuses a piece only when the disk does.
        if (result.Failed()) return Fail(kUnwritable, "cannot write " + out);
        [[fallthrough]];
    default: return Fail(kNotApplied, "patch not applied (code " + std::to_string(code) + ")");
    }
    if (!result.Commit()) return Fail(kUnwritable, "cannot write " + out);
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    if (!ProgramArguments(argc, argv, &args)) return Fail(kUsage, "cannot read the command line");
    std::vector<std::string> positional;
    MakeOptions options;
    std::string mode;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--comment" || arg == "--copyright" || arg == "--level" || arg == "--format") {
            if (i + 1 == args.size()) return Usage(arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "--comment") options.comment = value;
            if (arg == "--copyright") options.copyright = value;
            if (arg == "--level") {
                options.delta.level = atoi(value.c_str());
                if (options.delta.level < 1 || options.delta.level > 9) return Usage("--level takes 1 to 9");
            }
            if (arg == "--format") {
                if (value != "1" && value != "2") return Usage("--format takes 1 or 2");
                options.format = static_cast<uint8_t>(value[0] - '0');
            }
        } else if (arg == "--x86-filter") {
            options.delta.filter = DeltaFilter::kX86;
        } else if (arg == "--plain") {
            options.delta.executables = false;
        } else if (arg == "--no-verify") {
            options.verify = false;
        } else if (arg == "--file" || arg == "--apply" || arg == "--apply-file") {
            if (!mode.empty()) return Usage("only one of --file, --apply, --apply-file");
            mode = arg;
        } else if (arg == "--help" || arg == "-h") {
            fputs(kUsageText, stdout);
            return kOk;
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            return Usage("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }

    if (mode == "--apply") {
        if (positional.size() != 2) return Usage("--apply takes DIR PATCH");
        return ApplyTree(positional[0], positional[1]);
    }
    if (mode == "--apply-file") {
        if (positional.size() != 3) return Usage("--apply-file takes OLD PATCH OUT");
        return ApplyFile(positional[0], positional[1], positional[2]);
    }
    if (positional.size() != 3) return Usage("");
    const std::string& oldName = positional[0];
    const std::string& newName = positional[1];
    const std::string& out = positional[2];
    std::vector<uint8_t> patch;

    if (mode == "--file") {
        std::vector<uint8_t> oldContent, newContent;
        if (!ReadInputFile(oldName, &oldContent)) return Fail(kUnreadable, "cannot read " + oldName);
        if (!ReadInputFile(newName, &newContent)) return Fail(kUnreadable, "cannot read " + newName);
        const MakeResult result = MakeFilePatch(&oldContent, newContent, BaseName(newName), options, &patch);
        if (result.status != MakeStatus::kOk) return Report(result, oldName, newName);
        return Write(out, patch, result);
    }

    if (!IsDirectory(oldName)) return Fail(kUnreadable, "not a directory: " + oldName);
    if (!IsDirectory(newName)) return Fail(kUnreadable, "not a directory: " + newName);
    const std::unique_ptr<TreeFileSystem> oldTree = OpenTree(oldName), newTree = OpenTree(newName);
    if (!oldTree || !newTree) return Fail(kUnreadable, "not a directory: " + (oldTree ? newName : oldName));
    const MakeResult result = MakeTreePatch(*oldTree, *newTree, options, &patch);
    if (result.status != MakeStatus::kOk) return Report(result, oldName, newName);
    return Write(out, patch, result);
}
