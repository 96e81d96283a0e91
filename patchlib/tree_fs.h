// File operations on one directory tree, addressed by patch paths (UTF-8) relative to
// its root ("a/b.dll"; "" is the root itself). The patch applier and makepatch work only
// through this, so they run natively (tests, makepatch) and on Windows alike.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TreeFileSystem {
public:
    virtual ~TreeFileSystem() = default;

    enum class Kind { kMissing, kFile, kDirectory, kOther };
    // What the path names; for a file also its size. A link to a directory (a
    // junction on Windows) below the root is kOther, so nothing is written through it.
    virtual Kind Stat(const std::string& path, uint64_t* size) = 0;
    // Whole file; false when it cannot be read or is larger than maxSize.
    virtual bool ReadFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* bytes) = 0;
    // Hands the file to sink in pieces; stops (false) when sink returns false.
    virtual bool ReadPieces(const std::string& path, const std::function<bool(const uint8_t*, size_t)>& sink) = 0;
    // A new file with exactly these bytes, on disk when this returns; fails when the
    // path exists.
    virtual bool WriteNewFile(const std::string& path, const uint8_t* data, size_t size) = 0;

    // A new file written piece by piece, so that a large one is never held whole. It is
    // on disk once Finish returned true; destroyed before that, it removes what it wrote.
    class NewFile {
    public:
        virtual ~NewFile() = default;
        virtual bool Write(const uint8_t* data, size_t size) = 0;
        virtual bool Finish() = 0;
    };
    // Null when the file cannot be made (the path exists). The default gathers the
    // pieces and hands them to WriteNewFile at Finish.
    virtual std::unique_ptr<NewFile> CreateNewFile(const std::string& path);
    // Fails when to exists.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    // Renames the file from to to in one step, replacing to if it exists, so that
    // to never goes missing; on disk when this returns. May be refused where rename
    // works (on Windows: a file that a running program holds).
    virtual bool Replace(const std::string& from, const std::string& to) = 0;
    // Gives the file from the second name to without touching from: a hard link where
    // the file system has them, else a copy whose data is on disk. Fails when to
    // exists, and where from could not be moved away afterwards (on Windows: held
    // open without delete sharing), since a backup of it would be of no use.
    virtual bool Preserve(const std::string& from, const std::string& to) = 0;
    virtual bool RemoveFile(const std::string& path) = 0;
    // One level; fails when it exists.
    virtual bool MakeDirectory(const std::string& path) = 0;
    // Only an empty one.
    virtual bool RemoveEmptyDirectory(const std::string& path) = 0;
    // Every file below the root, as patch paths in no particular order; false when a
    // directory cannot be read.
    virtual bool ListFiles(std::vector<std::string>* paths) = 0;
};
