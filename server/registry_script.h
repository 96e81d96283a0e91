// Registry scripts: the text form of the server's registration entries, parsed into a tree
// that the registrar applies. No Windows API here, so the grammar is tested natively.
//
// Grammar (keywords, root names and type letters without regard to case):
//   script   := { root block }
//   root     := HKCR | HKCU | HKLM | HKU | HKCC | HKDD | HKPD
//             | HKEY_CLASSES_ROOT | HKEY_CURRENT_USER | HKEY_LOCAL_MACHINE | HKEY_USERS
//             | HKEY_CURRENT_CONFIG | HKEY_DYN_DATA | HKEY_PERFORMANCE_DATA
//   block    := '{' { entry } '}'
//   entry    := [ForceRemove | NoRemove | Delete] name [ '=' type value ] [ block ]
//             | val name '=' type value          (only inside a key's block)
//   name, value := bare word | 'quoted text'     ('' inside quotes stands for one quote)
//   type     := s (REG_SZ) | d (REG_DWORD) | b (REG_BINARY)
// Tokens:
//   - A bare word runs up to blank space, '=', a quote or a '{' after its first character.
//     '}' also ends it, except that a word that begins with '{' keeps its first '}' (so
//     {GUID} is a plain key name).
//   - '{' opens a block when blank space, a brace, a quote or the end follows it; otherwise it
//     begins a bare word. '}' at the start of a token always closes a block.
//   - A key named val, ForceRemove, NoRemove or Delete must be written in quotes.
// Values:
//   - d: decimal digits, or 0x followed by one to eight hexadecimal digits; 0 to 4294967295.
//   - b: hexadecimal digits in pairs, first pair first; an odd count fails; empty is allowed.
// Key names are one key each: not empty, no '\', at most 255 characters. Blocks nest at most
// kRegScriptMaxDepth deep, so hostile input cannot exhaust the stack.
// Replacements: before parsing, %NAME% is replaced by the value of NAME (names compared
// without regard to case), the value inserted as it stands and not scanned again; "%%" is a
// literal "%". A name without a value or a "%" without its closing partner fails the script.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class RegScriptRoot {
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    CurrentConfig,
    DynData,
    PerformanceData,
};

enum class RegScriptType { String, Dword, Binary };

enum class RegScriptFlag { None, ForceRemove, NoRemove, Delete };

struct RegScriptValue {
    RegScriptType type = RegScriptType::String;
    std::string text;            // String
    uint32_t number = 0;         // Dword
    std::vector<uint8_t> bytes;  // Binary
};

struct RegScriptNamedValue {
    std::string name;
    RegScriptValue value;
};

struct RegScriptKey {
    RegScriptFlag flag = RegScriptFlag::None;
    std::string name;
    bool hasDefault = false;
    RegScriptValue defaultValue;
    std::vector<RegScriptNamedValue> values;
    std::vector<RegScriptKey> subkeys;
};

struct RegScriptRootBlock {
    RegScriptRoot root = RegScriptRoot::ClassesRoot;
    std::vector<RegScriptKey> keys;
};

struct RegScript {
    std::vector<RegScriptRootBlock> roots;
};

// Where and why a script failed. offset, line and column (both from 1) point into the text
// as given, before replacement; an error inside a replaced value points at its "%".
struct RegScriptError {
    size_t offset = 0;
    size_t line = 0;
    size_t column = 0;
    std::string message;
};

constexpr size_t kRegScriptMaxDepth = 64;       // nested blocks, the root block included
constexpr size_t kRegScriptMaxKeyName = 255;    // the registry's own limits
constexpr size_t kRegScriptMaxValueName = 16383;

// Replaces %NAME% and %% as described above.
bool ExpandRegScriptReplacements(const std::string& text,
                                 const std::map<std::string, std::string>& replacements,
                                 std::string& expanded, RegScriptError& error);

// Expands the replacements and parses the result. On failure the script is left empty.
bool ParseRegistryScript(const std::string& text,
                         const std::map<std::string, std::string>& replacements,
                         RegScript& script, RegScriptError& error);

// "line L, column C: message"
std::string DescribeRegScriptError(const RegScriptError& error);

// Every single quote doubled, so that the text can stand inside '...' in a script.
std::string DoubleSingleQuotes(const std::string& text);
