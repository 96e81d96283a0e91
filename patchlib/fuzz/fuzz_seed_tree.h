// The tree that the fuzz target applies patches to; its seed corpus was made
// against exactly these files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "patchlib/tests/memory_tree_fs.h"

inline std::vector<uint8_t> FuzzOldProgram() {
    std::vector<uint8_t> bytes(4096);
    uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>((x >> 16) % 40);
    }
    return bytes;
}

// What the journal seeds expect under app.bin's temporary name.
inline std::vector<uint8_t> FuzzNewProgram() {
    std::vector<uint8_t> bytes = FuzzOldProgram();
    bytes.resize(3000);
    bytes[7] ^= 0x55;
    return bytes;
}

inline MemoryTreeFileSystem FuzzOldTree() {
    MemoryTreeFileSystem tree;
    tree.files["app.bin"] = FuzzOldProgram();
    const std::string text = "old settings\n";
    tree.files["conf/settings.txt"] = std::vector<uint8_t>(text.begin(), text.end());
    tree.directories.insert("conf");
    return tree;
}
