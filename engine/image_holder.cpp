#include "engine/image_holder.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <vector>

#include "common/win_handles.h"
#include "engine/image_parser.h"
#include "server/resources/resource_ids.h"
#include "transfer/message_texts.h"
#include "transfer/site_connection.h"

namespace {

constexpr DWORD kImageBufferSize = 65536;  // at most 65,535 bytes of text and a zero
constexpr DWORD kImageRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

void ShowFetchFailure(unsigned code, const std::string& text) {
    char caption[32];
    snprintf(caption, sizeof caption, "Error %u", code);
    MessageBoxA(nullptr, text.c_str(), caption, MB_ICONERROR);
}

std::unique_ptr<UpdateImage> NewImage(const std::string& site, const std::string& imagePath,
                                      const std::string& userName, const std::string& userPassword) {
    auto image = std::make_unique<UpdateImage>();
    image->site = site;
    image->imagePath = imagePath;
    image->userName = userName;
    image->password = userPassword;
    return image;
}

const char* TextOrNone(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

UpdateImage& GetImage(ImageHolder& holder, const std::string& site, const std::string& imagePath,
                      const std::string& referer, const std::string& userName,
                      const std::string& userPassword) {
    const UpdateImage* cached = holder.get();
    if (!cached || cached->site != site || cached->imagePath != imagePath) {
        holder.reset(NewImage(site, imagePath, userName, userPassword));
        FetchImage(*holder.get(), referer);
    }
    return *holder.get();
}

void FetchImage(UpdateImage& image, const std::string& referer) {
    SiteConnection connection;  // closed after the request
    if (!connection.Open(image.site, image.userName, image.password)) {
        const DWORD error = GetLastError();
        ShowFetchFailure(error, FormatMessageText(IDS_CANNOT_OPEN_SITE, image.site.c_str()));
        return;
    }
    const char* acceptTypes[] = {"*", nullptr};
    InternetHandle request(HttpOpenRequestA(connection.get(), "GET", image.imagePath.c_str(), nullptr,
                                            TextOrNone(referer), acceptTypes, kImageRequestFlags, 0));
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
        const DWORD error = GetLastError();
        ShowFetchFailure(error, FormatMessageText(IDS_CANNOT_GET_FILE, image.imagePath.c_str(), image.site.c_str()));
        return;
    }
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr);
    if (status != 200) {
        ShowFetchFailure(status, FormatMessageText(IDS_CANNOT_DOWNLOAD, image.imagePath.c_str(), image.site.c_str()));
        return;
    }
    // One read: a synchronous WinInet read waits until the buffer is full or the answer
    // has ended, so a longer image is cut at 65,535 bytes and parsed that far.
    std::vector<char> text(kImageBufferSize);
    DWORD length = 0;
    if (!InternetReadFile(request.get(), text.data(), kImageBufferSize - 1, &length) || length == 0) return;
    text[length] = '\0';
    image.mandatoryFiles.clear();
    image.patchSteps.clear();
    image.modules.clear();
    image.engineFiles.clear();
    image.deleteFiles.clear();
    ParseImage(image, text.data(), length);
}
