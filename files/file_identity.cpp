#include "files/file_identity.h"

#include "common/file_id.h"
#include "common/win_handles.h"

namespace {

class HandleSampleSource : public SampleSource {
public:
    explicit HandleSampleSource(HANDLE file) : file_(file) {}

    uint32_t Size() override { return GetFileSize(file_, nullptr); }

    size_t ReadFromStart(uint8_t* buffer, size_t size) override {
        SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
        return Read(buffer, size);
    }

    size_t ReadBeforeEnd(int64_t distance, uint8_t* buffer, size_t size) override {
        SetFilePointer(file_, static_cast<LONG>(-distance), nullptr, FILE_END);
        return Read(buffer, size);
    }

private:
    size_t Read(uint8_t* buffer, size_t size) {
        DWORD read = 0;
        if (!ReadFile(file_, buffer, static_cast<DWORD>(size), &read, nullptr)) return 0;
        return read;
    }

    HANDLE file_;
};

}  // namespace

uint32_t ChecksumFileSample(HANDLE file) {
    HandleSampleSource source(file);
    return ChecksumSample(source);
}

std::string ComputeFileId(HANDLE file) {
    const uint32_t checksum = ChecksumFileSample(file);
    FILETIME lastWrite = {};
    SYSTEMTIME calendar = {};
    GetFileTime(file, nullptr, nullptr, &lastWrite);
    FileTimeToSystemTime(&lastWrite, &calendar);
    return FormatFileId(checksum, calendar.wMinute);
}

FileCheck CheckFile(const std::string& path, uint32_t expectedSize, const std::string& expectedId, FileFacts* facts) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return FileCheck::kMissing;
    facts->size = GetFileSize(file.get(), nullptr);
    if (facts->size != expectedSize) return FileCheck::kWrongSize;
    facts->fileId = ComputeFileId(file.get());
    return FileIdsMatch(facts->fileId, expectedId) ? FileCheck::kMatches : FileCheck::kWrongId;
}
