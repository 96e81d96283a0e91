// A tree held in memory, for the tests and the fuzz target: the applier's whole view
// of the disk, with failures that can be switched on per operation.
#pragma once
#include <map>
#include <set>
#include <string>

#include "patchlib/tree_fs.h"

class MemoryTreeFileSystem : public TreeFileSystem {
public:
    std::map<std::string, std::vector<uint8_t>> files;
    std::set<std::string> directories;  // besides the root
    bool rootExists = true;
    // Moves (Rename and Replace) fail from this one on (counted from 1); 0: never.
    int failRenameFrom = 0;
    // Only this one move fails (counted from 1); 0: none.
    int failRenameOnly = 0;
    int renames = 0;
    bool failWrites = false;
    // Replacing these refuses, as Windows refuses for a running program's file;
    // renaming them still works.
    std::set<std::string> replaceRefused;

    // A tree of these files and the directories they lie in.
    static MemoryTreeFileSystem Holding(const std::map<std::string, std::vector<uint8_t>>& files) {
        MemoryTreeFileSystem tree;
        tree.files = files;
        for (const auto& f : files) {
            for (size_t slash = f.first.find('/'); slash != std::string::npos; slash = f.first.find('/', slash + 1)) {
                tree.directories.insert(f.first.substr(0, slash));
            }
        }
        return tree;
    }

    Kind Stat(const std::string& path, uint64_t* size) override {
        if (path.empty()) return rootExists ? Kind::kDirectory : Kind::kMissing;
        if (directories.count(path)) return Kind::kDirectory;
        auto it = files.find(path);
        if (it == files.end()) return Kind::kMissing;
        if (size) *size = it->second.size();
        return Kind::kFile;
    }
    bool ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) override {
        auto it = files.find(path);
        if (it == files.end() || it->second.size() > maxSize) return false;
        *bytes = it->second;
        return true;
    }
    bool ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) override {
        auto it = files.find(path);
        if (it == files.end()) return false;
        const std::vector<uint8_t>& data = it->second;
        for (size_t at = 0; at < data.size(); at += 1 << 20) {
            if (!sink(data.data() + at, std::min<size_t>(1 << 20, data.size() - at))) return false;
        }
        return true;
    }
    bool WriteNewFile(const std::string& path, const uint8_t* data, size_t size) override {
        if (failWrites || Stat(path, nullptr) != Kind::kMissing || !ParentExists(path)) return false;
        files[path].assign(data, data + size);
        return true;
    }
    bool Rename(const std::string& from, const std::string& to) override { return Move(from, to, false); }
    bool Replace(const std::string& from, const std::string& to) override {
        return !replaceRefused.count(to) && Move(from, to, true);
    }
    bool Preserve(const std::string& from, const std::string& to) override {
        auto it = files.find(from);
        if (it == files.end() || Stat(to, nullptr) != Kind::kMissing || !ParentExists(to)) return false;
        files[to] = it->second;
        return true;
    }
    bool RemoveFile(const std::string& path) override { return files.erase(path) == 1; }
    bool MakeDirectory(const std::string& path) override {
        if (Stat(path, nullptr) != Kind::kMissing || !ParentExists(path)) return false;
        directories.insert(path);
        return true;
    }
    bool RemoveEmptyDirectory(const std::string& path) override {
        const std::string prefix = path + "/";
        for (const auto& f : files) {
            if (f.first.compare(0, prefix.size(), prefix) == 0) return false;
        }
        for (const auto& d : directories) {
            if (d.compare(0, prefix.size(), prefix) == 0) return false;
        }
        return directories.erase(path) == 1;
    }
    bool ListFiles(std::vector<std::string>* paths) override {
        for (const auto& f : files) paths->push_back(f.first);
        return true;
    }

private:
    bool Move(const std::string& from, const std::string& to, bool replace) {
        ++renames;
        if ((failRenameFrom && renames >= failRenameFrom) || renames == failRenameOnly) return false;
        auto it = files.find(from);
        const Kind target = Stat(to, nullptr);
        if (it == files.end() || !ParentExists(to) || target == Kind::kDirectory || (!replace && target != Kind::kMissing)) {
            return false;
        }
        std::vector<uint8_t> content = std::move(it->second);
        files.erase(it);
        files[to] = std::move(content);
        return true;
    }
    bool ParentExists(const std::string& path) const {
        const size_t slash = path.rfind('/');
        return slash == std::string::npos || directories.count(path.substr(0, slash));
    }
};
