#include "tests/helpers/registry_dump.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "common/win_handles.h"

namespace testing_support {

namespace {

void DumpKey(HKEY key, const std::string& path, REGSAM view, RegistryTree& tree) {
    auto& values = tree[path];
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD nameLength = sizeof(name);
        DWORD type = 0;
        std::vector<BYTE> data(65536);
        DWORD dataLength = static_cast<DWORD>(data.size());
        const LONG result = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data.data(), &dataLength);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot read a value of " << path << " (" << result << ")";
            break;
        }
        values[std::string(name, nameLength)] =
            StoredValue{type, std::string(reinterpret_cast<const char*>(data.data()), dataLength)};
    }
    std::vector<std::string> subkeys;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof(name);
        const LONG result = RegEnumKeyExA(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot list the subkeys of " << path << " (" << result << ")";
            break;
        }
        subkeys.push_back(std::string(name, nameLength));
    }
    for (const std::string& subkey : subkeys) {
        UniqueRegKey child;
        const LONG result = RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ | view, child.receive());
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot open " << path << "\\" << subkey << " (" << result << ")";
            continue;
        }
        DumpKey(child.get(), path.empty() ? subkey : path + "\\" + subkey, view, tree);
    }
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const StoredValue& value) {
    out << "type " << value.type << " [";
    for (unsigned char c : value.data) {
        if (c >= 0x20 && c < 0x7F) {
            out << c;
        } else {
            out << "\\x" << std::hex << static_cast<int>(c) << std::dec;
        }
    }
    return out << "]";
}

RegistryTree DumpRegistry(HKEY root, const std::string& path, REGSAM view) {
    RegistryTree tree;
    UniqueRegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.receive()) == ERROR_SUCCESS) {
        DumpKey(key.get(), std::string(), view, tree);
    }
    return tree;
}

std::string DescribeTree(const RegistryTree& tree) {
    std::ostringstream out;
    for (const auto& key : tree) {
        out << "[" << key.first << "]\n";
        for (const auto& value : key.second) out << "  \"" << value.first << "\" = " << value.second << "\n";
    }
    return out.str();
}

}  // namespace testing_support
