#include "server/registry_script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "server/guids.h"

namespace {

using Replacements = std::map<std::string, std::string>;

RegScript Parse(const std::string& text, const Replacements& replacements = {}) {
    RegScript script;
    RegScriptError error;
    EXPECT_TRUE(ParseRegistryScript(text, replacements, script, error))
        << DescribeRegScriptError(error) << "\n" << text;
    return script;
}

RegScriptError ParseFailure(const std::string& text, const Replacements& replacements = {}) {
    RegScript script;
    RegScriptError error;
    EXPECT_FALSE(ParseRegistryScript(text, replacements, script, error)) << text;
    EXPECT_TRUE(script.roots.empty());
    EXPECT_FALSE(error.message.empty());
    return error;
}

void ExpectString(const RegScriptValue& value, const std::string& text) {
    EXPECT_EQ(value.type, RegScriptType::String);
    EXPECT_EQ(value.text, text);
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

TEST(RegistryScript, GrammarElementsFlagsAndNesting) {
    const RegScript script = Parse(
        "hkcu\n"
        "{\n"
        "  noREMOVE Software\n"
        "  {\n"
        "    FORCEREMOVE 'It''s here' = S 'Default ''quoted'''\n"
        "    {\n"
        "      VAL Text = s 'a b'\n"
        "      val 'Named value' = d 42\n"
        "      val Hex = D '0xFFFFFFFF'\n"
        "      val Max = d 4294967295\n"
        "      val Blob = B '00A1ff'\n"
        "      val Empty = b ''\n"
        "      val '' = s bare\n"
        "      delete Old\n"
        "      Inner { Deeper = s x }\n"
        "      'val' = s 'a key named val'\n"
        "      'NoRemove'\n"
        "    }\n"
        "    {AA-BB} = s '{CC}'\n"
        "    Plain\n"
        "  }\n"
        "}\n"
        "HKCR { } HKLM{'k'}\n");
    ASSERT_EQ(script.roots.size(), 3u);
    EXPECT_EQ(script.roots[0].root, RegScriptRoot::CurrentUser);
    EXPECT_EQ(script.roots[1].root, RegScriptRoot::ClassesRoot);
    EXPECT_TRUE(script.roots[1].keys.empty());
    EXPECT_EQ(script.roots[2].root, RegScriptRoot::LocalMachine);
    ASSERT_EQ(script.roots[2].keys.size(), 1u);
    EXPECT_EQ(script.roots[2].keys[0].name, "k");

    ASSERT_EQ(script.roots[0].keys.size(), 1u);
    const RegScriptKey& software = script.roots[0].keys[0];
    EXPECT_EQ(software.flag, RegScriptFlag::NoRemove);
    EXPECT_EQ(software.name, "Software");
    EXPECT_FALSE(software.hasDefault);
    ASSERT_EQ(software.subkeys.size(), 3u);

    const RegScriptKey& here = software.subkeys[0];
    EXPECT_EQ(here.flag, RegScriptFlag::ForceRemove);
    EXPECT_EQ(here.name, "It's here");
    ASSERT_TRUE(here.hasDefault);
    ExpectString(here.defaultValue, "Default 'quoted'");
    ASSERT_EQ(here.values.size(), 7u);
    EXPECT_EQ(here.values[0].name, "Text");
    ExpectString(here.values[0].value, "a b");
    EXPECT_EQ(here.values[1].name, "Named value");
    EXPECT_EQ(here.values[1].value.type, RegScriptType::Dword);
    EXPECT_EQ(here.values[1].value.number, 42u);
    EXPECT_EQ(here.values[2].value.number, 0xFFFFFFFFu);
    EXPECT_EQ(here.values[3].value.number, 4294967295u);
    EXPECT_EQ(here.values[4].value.type, RegScriptType::Binary);
    EXPECT_EQ(here.values[4].value.bytes, (std::vector<uint8_t>{0x00, 0xA1, 0xFF}));
    EXPECT_EQ(here.values[5].value.type, RegScriptType::Binary);
    EXPECT_TRUE(here.values[5].value.bytes.empty());
    EXPECT_EQ(here.values[6].name, "");
    ExpectString(here.values[6].value, "bare");

    ASSERT_EQ(here.subkeys.size(), 4u);
    EXPECT_EQ(here.subkeys[0].flag, RegScriptFlag::Delete);
    EXPECT_EQ(here.subkeys[0].name, "Old");
    EXPECT_EQ(here.subkeys[1].flag, RegScriptFlag::None);
    EXPECT_EQ(here.subkeys[1].name, "Inner");
    ASSERT_EQ(here.subkeys[1].subkeys.size(), 1u);
    EXPECT_EQ(here.subkeys[1].subkeys[0].name, "Deeper");
    ExpectString(here.subkeys[1].subkeys[0].defaultValue, "x");
    EXPECT_EQ(here.subkeys[2].name, "val");
    ExpectString(here.subkeys[2].defaultValue, "a key named val");
    EXPECT_EQ(here.subkeys[3].name, "NoRemove");
    EXPECT_EQ(here.subkeys[3].flag, RegScriptFlag::None);

    EXPECT_EQ(software.subkeys[1].name, "{AA-BB}");
    ExpectString(software.subkeys[1].defaultValue, "{CC}");
    EXPECT_EQ(software.subkeys[2].name, "Plain");
    EXPECT_TRUE(software.subkeys[2].subkeys.empty());
}

TEST(RegistryScript, EveryRootNameShortAndLong) {
    const struct {
        const char* shortName;
        const char* longName;
        RegScriptRoot root;
    } roots[] = {
        {"HKCR", "HKEY_CLASSES_ROOT", RegScriptRoot::ClassesRoot},
        {"HKCU", "HKEY_CURRENT_USER", RegScriptRoot::CurrentUser},
        {"HKLM", "HKEY_LOCAL_MACHINE", RegScriptRoot::LocalMachine},
        {"HKU", "HKEY_USERS", RegScriptRoot::Users},
        {"HKCC", "HKEY_CURRENT_CONFIG", RegScriptRoot::CurrentConfig},
        {"HKDD", "HKEY_DYN_DATA", RegScriptRoot::DynData},
        {"HKPD", "HKEY_PERFORMANCE_DATA", RegScriptRoot::PerformanceData},
    };
    for (const auto& entry : roots) {
        const RegScript script =
            Parse(std::string(entry.shortName) + " { a } " + entry.longName + "\n{\n}\n");
        ASSERT_EQ(script.roots.size(), 2u) << entry.shortName;
        EXPECT_EQ(script.roots[0].root, entry.root) << entry.shortName;
        EXPECT_EQ(script.roots[1].root, entry.root) << entry.longName;
    }
    EXPECT_TRUE(Parse("  \r\n\t").roots.empty());
    EXPECT_EQ(ParseFailure("HKEY_CLASSES { }").message, "expected a root key such as HKCR");
}

TEST(RegistryScript, ValueErrorsAreRejectedWithTheirPosition) {
    struct Case {
        const char* text;
        size_t line;
        size_t column;
    };
    const Case cases[] = {
        {"HKCU\n{\n  k = b '123'\n}", 3, 9},             // odd hexadecimal digit count
        {"HKCU {\n k { val v = b 0g } }", 2, 17},         // not a hexadecimal digit
        {"HKCU {\n k = d 4294967296 }", 2, 8},            // beyond 32 bits
        {"HKCU {\n k = d -1 }", 2, 8},
        {"HKCU {\n k = d 0x100000000 }", 2, 8},
        {"HKCU {\n k = d 0x }", 2, 8},
        {"HKCU {\n k = d '' }", 2, 8},
        {"HKCU {\n k = d 12a }", 2, 8},
        {"HKCU {\n k = x 'v' }", 2, 6},                    // unknown type letter
        {"HKCU {\n k = sz 'v' }", 2, 6},
        {"HKCU {\n k = s }", 2, 8},                        // no value
        {"HKCU {\n k { val v s 'x' } }", 2, 12},           // '=' missing
        {"HKCU {\n val v = s 'x' }", 2, 2},                // named value in a root block
        {"HKCU {\n k = s 'unterminated }", 2, 8},
        {"HKCU {\n k {\n  sub\n }", 1, 6},                 // root block never closed
        {"HKCU {\n k } }", 2, 6},                          // one brace too many
        {"HKCU k", 1, 6},                                  // no block after the root
        {"HKCU {\n '' }", 2, 2},                           // empty key name
        {"HKCU {\n 'a\\b' }", 2, 2},                       // more than one key
        {"HKCU {\n ForceRemove NoRemove k }", 2, 14},      // two flags
        {"HKCU {\n Delete = s 'x' }", 2, 9},               // keyword used as a bare name
        {"HKCU {\n k = s 'x' =  }", 2, 12},
        {"HKCU {\n k\x01 }", 2, 3},                        // control character
    };
    for (const Case& c : cases) {
        const RegScriptError error = ParseFailure(c.text);
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << DescribeRegScriptError(error);
        EXPECT_EQ(error.column, c.column) << c.text << " -> " << DescribeRegScriptError(error);
    }
    const RegScriptError odd = ParseFailure("HKCU\n{\n  k = b '123'\n}");
    EXPECT_EQ(DescribeRegScriptError(odd),
              "line 3, column 9: binary value with an odd number of hexadecimal digits");

    EXPECT_FALSE(ParseFailure(("HKCU { '" + std::string(256, 'n') + "' }").c_str()).message.empty());
    EXPECT_EQ(Parse("HKCU { '" + std::string(255, 'n') + "' }").roots[0].keys[0].name.size(), 255u);
}

TEST(RegistryScript, ReplacementsPercentEscapeAndFailures) {
    const Replacements replacements{
        {"MODULE", "C:\\It''s\\x.exe"}, {"Other", "%NOT%"}, {"Name", "It''s"}};
    const RegScript script = Parse(
        "HKCU { k = s '%module%' { val p = s '100%%' val o = s '%OTHER%' } '%NAME%x' }",
        replacements);
    ASSERT_EQ(script.roots.size(), 1u);
    ASSERT_EQ(script.roots[0].keys.size(), 2u);
    const RegScriptKey& key = script.roots[0].keys[0];
    ExpectString(key.defaultValue, "C:\\It's\\x.exe");
    ASSERT_EQ(key.values.size(), 2u);
    ExpectString(key.values[0].value, "100%");
    ExpectString(key.values[1].value, "%NOT%");  // a value is not scanned again
    EXPECT_EQ(script.roots[0].keys[1].name, "It'sx");

    RegScriptError error = ParseFailure("HKCU {\n k = s '%NOPE%' }", replacements);
    EXPECT_EQ(error.line, 2u);
    EXPECT_EQ(error.column, 9u);
    EXPECT_EQ(error.message, "no value for the replacement %NOPE%");
    error = ParseFailure("HKCU {\n k = s '50% off' }", replacements);
    EXPECT_EQ(error.line, 2u);
    EXPECT_EQ(error.column, 11u);
    EXPECT_EQ(error.message, "'%' without its closing '%'");

    // Errors after a replacement still point into the text as written.
    error = ParseFailure("HKCU { a = s '%MODULE%' }\nHKCU {\n b = b '%%1' }", replacements);
    EXPECT_EQ(error.line, 3u);
    EXPECT_EQ(error.column, 9u);
    error = ParseFailure("HKCU { a = d %MODULE% }", replacements);
    EXPECT_EQ(error.column, 14u);  // inside the replaced value: its '%'

    std::string expanded;
    EXPECT_TRUE(ExpandRegScriptReplacements("%%%MODULE%%%", replacements, expanded, error));
    EXPECT_EQ(expanded, "%C:\\It''s\\x.exe%");
    EXPECT_EQ(DoubleSingleQuotes("a'b''c"), "a''b''''c");
    EXPECT_EQ(DoubleSingleQuotes("plain"), "plain");
}

TEST(RegistryScript, NestingIsLimitedWithoutDeepRecursion) {
    std::string allowed = "HKCU ";
    for (size_t i = 1; i < kRegScriptMaxDepth; ++i) allowed += "{ k ";
    allowed += "{ } ";
    for (size_t i = 1; i < kRegScriptMaxDepth; ++i) allowed += "} ";
    Parse(allowed);

    std::string hostile = "HKCU ";
    for (int i = 0; i < 200000; ++i) hostile += "{ k ";
    const RegScriptError error = ParseFailure(hostile);
    EXPECT_EQ(error.message, "blocks nested too deep");
    EXPECT_EQ(error.offset, 5 + 4 * kRegScriptMaxDepth);
}

// What registration writes, as the table of registry entries lists it.
TEST(RegistryScript, ServerScriptsParseIntoTheRegistrationTree) {
    const Replacements replacements{{"MODULE", "C:\\PROGRA~1\\HALVOR~1\\HALVOR~1.EXE"}};
    const RegScript full = Parse(ReadSourceFile("server/resources/halvorin.rgs"), replacements);
    const RegScript app = Parse(ReadSourceFile("server/resources/halvorin_app.rgs"), replacements);
    ASSERT_EQ(full.roots.size(), 2u);
    ASSERT_EQ(app.roots.size(), 1u);

    for (const RegScriptRootBlock* block : {&full.roots[0], &app.roots[0]}) {
        EXPECT_EQ(block->root, RegScriptRoot::ClassesRoot);
        ASSERT_EQ(block->keys.size(), 1u);
        const RegScriptKey& appIdKey = block->keys[0];
        EXPECT_EQ(appIdKey.name, "AppID");
        EXPECT_EQ(appIdKey.flag, RegScriptFlag::NoRemove);
        EXPECT_FALSE(appIdKey.hasDefault);
        EXPECT_TRUE(appIdKey.values.empty());
        ASSERT_EQ(appIdKey.subkeys.size(), 2u);
        EXPECT_EQ(appIdKey.subkeys[0].name, HALVORIN_APPID_TEXT);
        EXPECT_EQ(appIdKey.subkeys[0].flag, RegScriptFlag::None);
        ExpectString(appIdKey.subkeys[0].defaultValue, "Halvorin");
        EXPECT_TRUE(appIdKey.subkeys[0].values.empty());
        EXPECT_TRUE(appIdKey.subkeys[0].subkeys.empty());
        const RegScriptKey& exe = appIdKey.subkeys[1];
        EXPECT_EQ(exe.name, "Halvorin.EXE");
        EXPECT_FALSE(exe.hasDefault);
        ASSERT_EQ(exe.values.size(), 1u);
        EXPECT_EQ(exe.values[0].name, "AppID");
        ExpectString(exe.values[0].value, HALVORIN_APPID_TEXT);
        EXPECT_TRUE(exe.subkeys.empty());
    }

    const RegScriptRootBlock& classes = full.roots[1];
    EXPECT_EQ(classes.root, RegScriptRoot::ClassesRoot);
    ASSERT_EQ(classes.keys.size(), 3u);
    const RegScriptKey& progId = classes.keys[0];
    EXPECT_EQ(progId.name, "Halvorin.Halvorin.1");
    EXPECT_EQ(progId.flag, RegScriptFlag::None);
    ExpectString(progId.defaultValue, "Halvorin Class");
    ASSERT_EQ(progId.subkeys.size(), 1u);
    EXPECT_EQ(progId.subkeys[0].name, "CLSID");
    ExpectString(progId.subkeys[0].defaultValue, HALVORIN_CLSID_TEXT);

    const RegScriptKey& independent = classes.keys[1];
    EXPECT_EQ(independent.name, "Halvorin.Halvorin");
    ExpectString(independent.defaultValue, "Halvorin Class");
    ASSERT_EQ(independent.subkeys.size(), 2u);
    EXPECT_EQ(independent.subkeys[0].name, "CLSID");
    ExpectString(independent.subkeys[0].defaultValue, HALVORIN_CLSID_TEXT);
    EXPECT_EQ(independent.subkeys[1].name, "CurVer");
    ExpectString(independent.subkeys[1].defaultValue, "Halvorin.Halvorin.1");

    const RegScriptKey& clsidKey = classes.keys[2];
    EXPECT_EQ(clsidKey.name, "CLSID");
    EXPECT_EQ(clsidKey.flag, RegScriptFlag::NoRemove);
    ASSERT_EQ(clsidKey.subkeys.size(), 1u);
    const RegScriptKey& server = clsidKey.subkeys[0];
    EXPECT_EQ(server.name, HALVORIN_CLSID_TEXT);
    EXPECT_EQ(server.flag, RegScriptFlag::ForceRemove);
    ExpectString(server.defaultValue, "Halvorin Class");
    ASSERT_EQ(server.values.size(), 1u);
    EXPECT_EQ(server.values[0].name, "AppID");
    ExpectString(server.values[0].value, HALVORIN_APPID_TEXT);
    ASSERT_EQ(server.subkeys.size(), 5u);
    EXPECT_EQ(server.subkeys[0].name, "ProgID");
    ExpectString(server.subkeys[0].defaultValue, "Halvorin.Halvorin.1");
    EXPECT_EQ(server.subkeys[1].name, "VersionIndependentProgID");
    ExpectString(server.subkeys[1].defaultValue, "Halvorin.Halvorin");
    EXPECT_EQ(server.subkeys[2].name, "Programmable");
    EXPECT_EQ(server.subkeys[2].flag, RegScriptFlag::ForceRemove);
    EXPECT_FALSE(server.subkeys[2].hasDefault);
    EXPECT_TRUE(server.subkeys[2].values.empty());
    EXPECT_EQ(server.subkeys[3].name, "LocalServer32");
    ExpectString(server.subkeys[3].defaultValue, "C:\\PROGRA~1\\HALVOR~1\\HALVOR~1.EXE");
    EXPECT_EQ(server.subkeys[4].name, "TypeLib");
    ExpectString(server.subkeys[4].defaultValue, HALVORIN_LIBID_TEXT);
    for (const RegScriptKey& key : server.subkeys) EXPECT_TRUE(key.subkeys.empty()) << key.name;

    // %MODULE% has no default: without it the script must not register at all.
    EXPECT_EQ(ParseFailure(ReadSourceFile("server/resources/halvorin.rgs")).message,
              "no value for the replacement %MODULE%");
}

}  // namespace
