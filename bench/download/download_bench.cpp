// Download benchmark program (run under Wine by run.sh): fetches one file through
// DownloadFile with the progress dialog open, as the engine does, and prints the time.
// Further modes take the transfer apart to show where the time goes:
//   download_bench engine  SITE REMOTE LOCAL SIZE   DownloadFile with the dialog
//   download_bench nodialog SITE REMOTE LOCAL SIZE  DownloadFile with no dialog open
//   download_bench read    SITE REMOTE LOCAL SIZE   WinInet reads of 16 KiB, nothing written
//   download_bench write   SITE REMOTE LOCAL SIZE   WinInet reads of 16 KiB written to the file
//   download_bench nocache SITE REMOTE LOCAL SIZE   WinInet reads of 16 KiB, not kept in its cache
//   download_bench bigread SITE REMOTE LOCAL SIZE   WinInet reads of 1 MiB, not kept in its cache
// Prints "mode seconds bytes".
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/win_handles.h"
#include "transfer/transfer_context.h"
#include "files/progress_dialog.h"
#include "common/resource_ids.h"
#include "tests/helpers/trusted_root.h"
#include "transfer/download.h"
#include "transfer/site_address.h"
#include "common/message_texts.h"

namespace {

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The transfer without the engine around it: the same WinInet calls and block size.
unsigned long long RawTransfer(const char* site, const char* remotePath, const char* localPath, bool write,
                               DWORD flags, DWORD blockSize) {
    const SiteAddress address = ParseSiteAddress(site);
    if (address.secure) flags |= INTERNET_FLAG_SECURE;
    InternetHandle internet(InternetOpenA("Halvorin", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    InternetHandle connection(InternetConnectA(internet.get(), address.host.c_str(), address.port, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    const char* acceptTypes[] = {"*", nullptr};
    InternetHandle request(HttpOpenRequestA(connection.get(), "GET", remotePath, nullptr, nullptr, acceptTypes, flags, 0));
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) return 0;
    UniqueHandle file;
    if (write) file.reset(CreateFileA(localPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    static char block[1 << 20];
    unsigned long long total = 0;
    for (;;) {
        DWORD n = 0;
        if (!InternetReadFile(request.get(), block, blockSize, &n) || n == 0) break;
        total += n;
        if (write) {
            DWORD written = 0;
            WriteFile(file.get(), block, n, &written, nullptr);
        }
    }
    return total;
}

unsigned long long FileSize(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int main(int argc, char** argv) {
    // For a secure site made with the test certificates: their root, trusted while this runs.
    std::unique_ptr<TrustedTestRoot> root;
    if (const char* pem = getenv("BENCH_TRUST_ROOT")) root = std::make_unique<TrustedTestRoot>(pem);
    if (argc != 6) {
        fprintf(stderr, "usage: download_bench engine|nodialog|read|write|nocache|bigread SITE REMOTE LOCAL SIZE\n");
        return 2;
    }
    const std::string mode = argv[1];
    const char* site = argv[2];
    const char* remotePath = argv[3];
    const char* localPath = argv[4];
    const uint32_t size = static_cast<uint32_t>(strtoul(argv[5], nullptr, 10));
    DeleteFileA(localPath);

    unsigned long long bytes = 0;
    double seconds = 0;
    if (mode == "engine" || mode == "nodialog") {
        LoadMessageTexts(GetModuleHandleA(nullptr));
        Diagnostics diagnostics;
        TransferContext context(diagnostics);
        if (mode == "engine" && !OpenProgressDialog()) {
            fprintf(stderr, "download_bench: no progress dialog\n");
            return 1;
        }
        context.bytesTotal = size;
        ResetProgressBar(IDC_PROGRESS_TOTAL_BAR, size);
        ImageFileEntry entry;
        entry.site = site;
        entry.remotePath = remotePath;
        entry.localPath = localPath;
        entry.downloadSize = size;
        entry.timestamp.year = 2001;
        entry.timestamp.month = 1;
        entry.timestamp.day = 1;
        const double start = Now();
        const bool ok = DownloadFile(context, entry);
        seconds = Now() - start;
        CloseProgressDialog();
        if (!ok) {
            fprintf(stderr, "download_bench: the download failed\n");
            return 1;
        }
        bytes = FileSize(localPath);
    } else if (mode == "read" || mode == "write" || mode == "nocache" || mode == "bigread") {
        const DWORD flags = mode == "nocache" || mode == "bigread" ? INTERNET_FLAG_NO_CACHE_WRITE : 0;
        const DWORD blockSize = mode == "bigread" ? 1 << 20 : 16384;
        const double start = Now();
        bytes = RawTransfer(site, remotePath, localPath, mode == "write", flags, blockSize);
        seconds = Now() - start;
    } else {
        fprintf(stderr, "download_bench: unknown mode %s\n", mode.c_str());
        return 2;
    }
    if (bytes != size) {
        fprintf(stderr, "download_bench: %llu bytes instead of %lu\n", bytes, static_cast<unsigned long>(size));
        return 1;
    }
    printf("%s %.6f %llu\n", mode.c_str(), seconds, bytes);
    return 0;
}
