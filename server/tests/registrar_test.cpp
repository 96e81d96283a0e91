// The registrar against the real registry, inside HKCU\Software\HalvorinRegistrarTest only.
#include "server/registrar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/win_handles.h"
#include "server/guids.h"
#include "tests/helpers/registry_dump.h"

using testing_support::DescribeTree;
using testing_support::DumpRegistry;
using testing_support::RegistryTree;
using testing_support::StoredValue;
using testing_support::Sz;

namespace {

const char kTestRoot[] = "Software\\HalvorinRegistrarTest";
const std::map<std::string, std::string> kNoReplacements;

StoredValue Dword(DWORD number) {
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof(number))};
}
StoredValue Binary(const std::string& bytes) { return {REG_BINARY, bytes}; }

RegistryTree Dump(const std::string& relative = std::string()) {
    const std::string path = relative.empty() ? kTestRoot : std::string(kTestRoot) + "\\" + relative;
    return DumpRegistry(HKEY_CURRENT_USER, path);
}

std::string Describe(const RegistryTree& tree) { return DescribeTree(tree); }

#define EXPECT_TREE(actual, expected)                                                     \
    do {                                                                                  \
        const RegistryTree actualTree = (actual);                                         \
        const RegistryTree expectedTree = (expected);                                     \
        EXPECT_TRUE(actualTree == expectedTree) << "actual:\n"                            \
                                                << Describe(actualTree) << "expected:\n"  \
                                                << Describe(expectedTree);                \
    } while (0)

// A script whose keys live under the private test root.
std::string InTestRoot(const std::string& body) {
    return "HKCU\n{\n NoRemove Software\n {\n  NoRemove HalvorinRegistrarTest\n  {\n" + body +
           "\n  }\n }\n}\n";
}

void CreateKey(const std::string& relative, DWORD options = REG_OPTION_NON_VOLATILE) {
    UniqueRegKey key;
    const std::string path = std::string(kTestRoot) + "\\" + relative;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, options, KEY_WRITE,
                              nullptr, key.receive(), nullptr),
              ERROR_SUCCESS)
        << relative;
}

void SetText(const std::string& relative, const char* name, const std::string& text) {
    CreateKey(relative);
    const std::string path = std::string(kTestRoot) + "\\" + relative;
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, path.c_str(), name, REG_SZ, text.c_str(),
                              static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}

void DeleteKey(const std::string& relative) {
    const std::string path = std::string(kTestRoot) + "\\" + relative;
    ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()), ERROR_SUCCESS) << relative;
}

std::string ReadSourceFile(const std::string& relative) {
    const char* dir = std::getenv("HALVORIN_SOURCE_DIR");
    EXPECT_NE(dir, nullptr) << "HALVORIN_SOURCE_DIR is not set";
    std::ifstream file(std::string(dir ? dir : ".") + "/" + relative, std::ios::binary);
    EXPECT_TRUE(file.good()) << relative;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class RegistrarTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
        UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestRoot, 0, nullptr, 0, KEY_WRITE, nullptr,
                                  key.receive(), nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot); }
};

TEST_F(RegistrarTest, RegistrationWritesExactlyTheScriptAndMergesOnRepeat) {
    const std::string script = InTestRoot(
        "App = s 'Default text'\n"
        "{\n"
        "  val Text = s 'it''s'\n"
        "  val Number = d 305419896\n"
        "  val Hex = d 0xFFFFFFFF\n"
        "  val Blob = b '00A1ff'\n"
        "  val Empty = b ''\n"
        "  Sub { Deeper = d 7 }\n"
        "  'With ''quote''' = s ''\n"
        "  {6C70D5C2-0000-0000-0000-000000000000}\n"
        "}\n"
        "Other = b 0102\n");
    const RegistryTree expected{
        {"", {}},
        {"App",
         {{"", Sz("Default text")},
          {"Text", Sz("it's")},
          {"Number", Dword(305419896)},
          {"Hex", Dword(0xFFFFFFFF)},
          {"Blob", Binary(std::string("\x00\xA1\xFF", 3))},
          {"Empty", Binary("")}}},
        {"App\\Sub", {}},
        {"App\\Sub\\Deeper", {{"", Dword(7)}}},
        {"App\\With 'quote'", {{"", Sz("")}}},
        {"App\\{6C70D5C2-0000-0000-0000-000000000000}", {}},
        {"Other", {{"", Binary("\x01\x02")}}},
    };
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), expected);
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), expected);

    // Keys without ForceRemove are opened, not replaced: what else they hold stays.
    SetText("App\\Extra", "x", "kept");
    SetText("App", "Text", "changed");
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    RegistryTree merged = expected;
    merged["App\\Extra"]["x"] = Sz("kept");
    EXPECT_TREE(Dump(), merged);

    ASSERT_EQ(ApplyRegistryScript(script, false, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), (RegistryTree{{"", {}}}));
}

TEST_F(RegistrarTest, ForceRemoveReplacesTheWholeSubtree) {
    const std::string script = InTestRoot(
        "ForceRemove Clean = s 'fresh'\n"
        "{\n"
        "  Keep = s 'k'\n"
        "  ForceRemove 'Inner'\n"
        "}\n");
    const RegistryTree expected{
        {"", {}},
        {"Clean", {{"", Sz("fresh")}}},
        {"Clean\\Keep", {{"", Sz("k")}}},
        {"Clean\\Inner", {}},
    };
    // Stale content from an earlier registration, at every level.
    SetText("Clean", "Old", "stale value");
    SetText("Clean\\Stale\\Deep", nullptr, "stale key");
    SetText("Clean\\Inner\\Below", "v", "stale");
    SetText("Clean\\Keep", "extra", "stale");
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), expected);

    SetText("Clean\\Inner", "Old", "stale again");
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), expected);
}

TEST_F(RegistrarTest, UnregistrationRemovesOwnKeysAndKeepsNoRemoveKeys) {
    const std::string script = InTestRoot(
        "Own = s 'x' { Child { val v = d 1 } }\n"
        "NoRemove Shared = s 'shared default'\n"
        "{\n"
        "  val Mine = s 'm'\n"
        "  Ours = s 'o'\n"
        "  NoRemove Common { Nested }\n"
        "}\n");
    // Nothing registered yet: keys that are not there are passed over.
    ASSERT_EQ(ApplyRegistryScript(script, false, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), (RegistryTree{{"", {}}}));

    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    SetText("Own\\Foreign", "f", "goes with its parent");
    SetText("Shared\\Foreign", "f", "not ours");
    SetText("Shared", "Other", "not ours");
    ASSERT_EQ(ApplyRegistryScript(script, false, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), (RegistryTree{
                            {"", {}},
                            {"Shared", {{"", Sz("shared default")}, {"Other", Sz("not ours")}}},
                            {"Shared\\Foreign", {{"f", Sz("not ours")}}},
                            {"Shared\\Common", {}},
                        }));
    ASSERT_EQ(ApplyRegistryScript(script, false, kNoReplacements), S_OK);
    EXPECT_EQ(Dump().size(), 4u);
}

TEST_F(RegistrarTest, ClsidAndTypelibKeysGoOnlyWhenEmpty) {
    const std::string script = InTestRoot(
        "CLSID { {AAAA} = s 'a' }\n"
        "typelib { {BBBB} { '1.0' } }\n"
        "Clsid2 { {CCCC} }\n");
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    SetText("CLSID\\{OTHER}", nullptr, "another class");
    ASSERT_EQ(ApplyRegistryScript(script, false, kNoReplacements), S_OK);
    // CLSID keeps the other class; TYPELIB had nothing else and went; Clsid2 is an ordinary key.
    EXPECT_TREE(Dump(), (RegistryTree{
                            {"", {}},
                            {"CLSID", {}},
                            {"CLSID\\{OTHER}", {{"", Sz("another class")}}},
                        }));

    DeleteKey("CLSID\\{OTHER}");
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    ASSERT_EQ(ApplyRegistryScript(script, false, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), (RegistryTree{{"", {}}}));
}

TEST_F(RegistrarTest, DeleteFlagRemovesTheKeyOnRegistration) {
    const std::string script = InTestRoot(
        "Delete Stale { Child = s 'never written' }\n"
        "Fresh { delete 'Gone' }\n");
    SetText("Stale\\Deep", "v", "old");
    SetText("Stale", "w", "old");
    SetText("Fresh\\Gone\\Below", nullptr, "old");
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), (RegistryTree{{"", {}}, {"Fresh", {}}}));
    // Nothing left to delete is no failure.
    ASSERT_EQ(ApplyRegistryScript(script, true, kNoReplacements), S_OK);
    EXPECT_TREE(Dump(), (RegistryTree{{"", {}}, {"Fresh", {}}}));
}

TEST_F(RegistrarTest, FailedRegistrationIsRolledBack) {
    // A volatile key cannot hold a lasting subkey: creating Child fails half-way through.
    CreateKey("Volatile", REG_OPTION_VOLATILE);
    SetText("Untouched", "v", "not named by the script");
    SetText("Second\\Earlier", "v", "removed by the roll-back too");
    const std::string script = InTestRoot(
        "First = s 'one' { Sub { val v = d 1 } }\n"
        "ForceRemove Second { val v = d 2 }\n"
        "Merged { Inside }\n"
        "NoRemove Volatile { Child }\n"
        "Third = s 'never'\n");
    EXPECT_EQ(ApplyRegistryScript(script, true, kNoReplacements),
              HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    EXPECT_TREE(Dump(), (RegistryTree{
                            {"", {}},
                            {"Untouched", {{"v", Sz("not named by the script")}}},
                            {"Volatile", {}},
                        }));

    // Errors found while parsing fail before anything is written.
    const std::string valid = "Written = s 'w'\n";
    EXPECT_EQ(ApplyRegistryScript(InTestRoot(valid + "Bad = b '123'"), true, kNoReplacements),
              kRegistryScriptInvalid);
    EXPECT_EQ(ApplyRegistryScript(InTestRoot(valid + "Bad = s '%NAME%'"), true, kNoReplacements),
              kRegistryScriptInvalid);
    EXPECT_EQ(ApplyRegistryScript(InTestRoot(valid + "Bad = s '50%'"), true, kNoReplacements),
              kRegistryScriptInvalid);
    EXPECT_EQ(ApplyRegistryScript(InTestRoot(valid + "Bad {"), true, kNoReplacements),
              kRegistryScriptInvalid);
    EXPECT_EQ(Dump().count("Written"), 0u);
}

class TempDirectory {
public:
    TempDirectory() {
        char temp[MAX_PATH];
        const DWORD length = GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp, length) + "halvorin-registrar-" +
                std::to_string(GetCurrentProcessId());
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~TempDirectory() { Remove(path_); }
    const std::string& path() const { return path_; }

private:
    static void Remove(const std::string& dir) {
        WIN32_FIND_DATAA data;
        UniqueFindHandle find(FindFirstFileA((dir + "\\*").c_str(), &data));
        if (find) {
            do {
                const std::string name = data.cFileName;
                if (name == "." || name == "..") continue;
                const std::string full = dir + "\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    Remove(full);
                } else {
                    DeleteFileA(full.c_str());
                }
            } while (FindNextFileA(find.get(), &data));
        }
        find.reset();
        RemoveDirectoryA(dir.c_str());
    }
    std::string path_;
};

std::string MakeFile(const std::string& dir, const std::string& name) {
    const std::string path = dir + "\\" + name;
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.valid()) << path;
    return path;
}

bool SamePathNoCase(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

TEST_F(RegistrarTest, ModuleReplacementUsesTheShortPathWithQuotesDoubled) {
    TempDirectory temp;
    const std::string quoted = temp.path() + "\\it's";
    ASSERT_TRUE(CreateDirectoryA(quoted.c_str(), nullptr));
    const std::string module = MakeFile(quoted, "halvorin server.exe");

    std::string value;
    ASSERT_EQ(ModuleReplacementFromPath(module, value), S_OK);
    ASSERT_NE(value.find("\\it''s\\"), std::string::npos) << value;
    EXPECT_EQ(value.find(' '), std::string::npos) << "not the short form: " << value;

    const std::string script = InTestRoot("Server = s '%MODULE%' { val Path = s '%module%' }");
    ASSERT_EQ(ApplyRegistryScript(script, true, {{"MODULE", value}}), S_OK);
    const RegistryTree tree = Dump();
    ASSERT_EQ(tree.count("Server"), 1u) << Describe(tree);
    const StoredValue stored = tree.at("Server").at("");
    EXPECT_EQ(stored, tree.at("Server").at("Path"));
    ASSERT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    const std::string shortPath = stored.data.substr(0, stored.data.size() - 1);
    EXPECT_NE(shortPath.find("\\it's\\"), std::string::npos) << shortPath;
    char longPath[MAX_PATH];
    const DWORD longLength = GetLongPathNameA(shortPath.c_str(), longPath, MAX_PATH);
    ASSERT_GT(longLength, 0u) << shortPath;
    EXPECT_TRUE(SamePathNoCase(std::string(longPath, longLength), module))
        << longPath << " vs " << module;

    // No short form from the system: the path as it stands.
    ASSERT_EQ(ModuleReplacementFromPath("C:\\No such dir\\Halvorin's copy\\it's.exe", value), S_OK);
    EXPECT_EQ(value, "C:\\No such dir\\Halvorin''s copy\\it''s.exe");
}

TEST_F(RegistrarTest, ModuleReplacementFailsWhenTheShortFormIsTooLong) {
    TempDirectory temp;
    // Each "a b" needs an eight-character short name, so the short form outgrows 260
    // characters while the path itself stays well below.
    std::string dir = temp.path();
    std::string fits;
    for (int level = 0; level < 40; ++level) {
        dir += "\\a b";
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
        if (level == 10) fits = MakeFile(dir, "x y.exe");
    }
    const std::string module = MakeFile(dir, "x y.exe");
    ASSERT_LT(module.size(), 260u);

    std::string value = "unchanged";
    EXPECT_EQ(ModuleReplacementFromPath(module, value), E_OUTOFMEMORY);
    EXPECT_EQ(value, "unchanged");

    ASSERT_EQ(ModuleReplacementFromPath(fits, value), S_OK);
    EXPECT_GT(value.size(), fits.size()) << value;  // the short names really are longer here
    EXPECT_EQ(value.find(' '), std::string::npos) << value;
}

// The server's own scripts, embedded as the server embeds them, applied to a private copy of
// HKEY_CLASSES_ROOT: every "HKCR" root becomes HKCU\Software\HalvorinRegistrarTest\Classes.
std::string UnderPrivateClasses(const std::string& script, int expectedRoots) {
    std::istringstream in(script);
    std::ostringstream out;
    std::string line;
    int opened = 0;
    int closed = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "HKCR") {
            out << "HKCU { NoRemove Software { NoRemove HalvorinRegistrarTest { NoRemove Classes\n";
            ++opened;
        } else if (line == "}") {  // only the root blocks close in the first column
            out << "} } } }\n";
            ++closed;
        } else {
            out << line << "\n";
        }
    }
    EXPECT_EQ(opened, expectedRoots);
    EXPECT_EQ(closed, expectedRoots);
    return out.str();
}

TEST_F(RegistrarTest, ServerScriptsWriteTheRegistrationTable) {
    std::string full;
    std::string app;
    ASSERT_TRUE(LoadRegistryScript(GetModuleHandleA(nullptr), 100, full));
    ASSERT_TRUE(LoadRegistryScript(GetModuleHandleA(nullptr), 101, app));
    EXPECT_EQ(full, ReadSourceFile("server/resources/halvorin.rgs"));
    EXPECT_EQ(app, ReadSourceFile("server/resources/halvorin_app.rgs"));
    std::string missing = "unchanged";
    EXPECT_FALSE(LoadRegistryScript(GetModuleHandleA(nullptr), 102, missing));

    const std::string fullScript = UnderPrivateClasses(full, 2);
    const std::string appScript = UnderPrivateClasses(app, 1);
    std::string module;
    ASSERT_EQ(ModuleReplacementFromPath("C:\\Program Files\\Tolbeck's\\Halvorin.exe", module), S_OK);
    const std::map<std::string, std::string> replacements{{"MODULE", module}};

    const std::string appId = HALVORIN_APPID_TEXT;
    const std::string clsid = HALVORIN_CLSID_TEXT;
    const RegistryTree table{
        {"", {}},
        {"AppID", {}},
        {"AppID\\" + appId, {{"", Sz("Halvorin")}}},
        {"AppID\\Halvorin.EXE", {{"AppID", Sz(appId)}}},
        {"Halvorin.Halvorin.1", {{"", Sz("Halvorin Class")}}},
        {"Halvorin.Halvorin.1\\CLSID", {{"", Sz(clsid)}}},
        {"Halvorin.Halvorin", {{"", Sz("Halvorin Class")}}},
        {"Halvorin.Halvorin\\CLSID", {{"", Sz(clsid)}}},
        {"Halvorin.Halvorin\\CurVer", {{"", Sz("Halvorin.Halvorin.1")}}},
        {"CLSID", {}},
        {"CLSID\\" + clsid, {{"", Sz("Halvorin Class")}, {"AppID", Sz(appId)}}},
        {"CLSID\\" + clsid + "\\ProgID", {{"", Sz("Halvorin.Halvorin.1")}}},
        {"CLSID\\" + clsid + "\\VersionIndependentProgID", {{"", Sz("Halvorin.Halvorin")}}},
        {"CLSID\\" + clsid + "\\Programmable", {}},
        {"CLSID\\" + clsid + "\\LocalServer32",
         {{"", Sz("C:\\Program Files\\Tolbeck's\\Halvorin.exe")}}},
        {"CLSID\\" + clsid + "\\TypeLib", {{"", Sz(HALVORIN_LIBID_TEXT)}}},
    };

    // Registration as the server does it: script 100, then 101 for the class.
    ASSERT_EQ(ApplyRegistryScript(fullScript, true, replacements), S_OK);
    ASSERT_EQ(ApplyRegistryScript(appScript, true, replacements), S_OK);
    EXPECT_TREE(Dump("Classes"), table);

    // Registering again rewrites the class subtree instead of merging into it.
    SetText("Classes\\CLSID\\" + clsid + "\\InprocServer32", nullptr, "stale");
    SetText("Classes\\CLSID\\" + clsid + "\\Programmable", "stale", "stale");
    SetText("Classes\\CLSID\\" + clsid, "stale", "stale");
    ASSERT_EQ(ApplyRegistryScript(fullScript, true, replacements), S_OK);
    ASSERT_EQ(ApplyRegistryScript(appScript, true, replacements), S_OK);
    EXPECT_TREE(Dump("Classes"), table);

    // Unregistration keeps the shared AppID and CLSID keys and removes the rest of the table.
    ASSERT_EQ(ApplyRegistryScript(fullScript, false, replacements), S_OK);
    ASSERT_EQ(ApplyRegistryScript(appScript, false, replacements), S_OK);
    EXPECT_TREE(Dump("Classes"), (RegistryTree{{"", {}}, {"AppID", {}}, {"CLSID", {}}}));

    // Other servers' entries under the shared keys survive both ways.
    SetText("Classes\\CLSID\\{OTHER}", nullptr, "other class");
    SetText("Classes\\AppID\\{OTHER}", nullptr, "other application");
    ASSERT_EQ(ApplyRegistryScript(fullScript, true, replacements), S_OK);
    ASSERT_EQ(ApplyRegistryScript(fullScript, false, replacements), S_OK);
    EXPECT_TREE(Dump("Classes"), (RegistryTree{
                                     {"", {}},
                                     {"AppID", {}},
                                     {"AppID\\{OTHER}", {{"", Sz("other application")}}},
                                     {"CLSID", {}},
                                     {"CLSID\\{OTHER}", {{"", Sz("other class")}}},
                                 }));

    // Without a value for %MODULE% the server script registers nothing.
    EXPECT_EQ(ApplyRegistryScript(fullScript, true, kNoReplacements), kRegistryScriptInvalid);
    EXPECT_EQ(Dump("Classes").count("Halvorin.Halvorin"), 0u);
}

}  // namespace
