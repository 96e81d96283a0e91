// Registry subtrees read back whole, for tests that compare what was written.
#pragma once
#include <windows.h>

#include <map>
#include <ostream>
#include <string>

namespace testing_support {

struct StoredValue {
    DWORD type = REG_NONE;
    std::string data;
    bool operator==(const StoredValue& other) const { return type == other.type && data == other.data; }
};

std::ostream& operator<<(std::ostream& out, const StoredValue& value);

// A REG_SZ value as the registry keeps it, terminator included.
inline StoredValue Sz(const std::string& text) { return {REG_SZ, text + '\0'}; }

// Every key of a subtree by its path below the subtree's root ("" is the root itself),
// each with its values by name ("" is the default value).
using RegistryTree = std::map<std::string, std::map<std::string, StoredValue>>;

// The subtree at root\path in the given registry view; empty when the key is not there.
RegistryTree DumpRegistry(HKEY root, const std::string& path, REGSAM view = 0);

std::string DescribeTree(const RegistryTree& tree);

}  // namespace testing_support
