#include "tools/site/code_page.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace {

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

#ifdef _WIN32

bool Wide(const std::string& text, unsigned codePage, std::wstring* wide) {
    if (text.empty()) return true;
    const int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    if (length <= 0) return false;
    wide->resize(static_cast<size_t>(length));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &(*wide)[0],
                               length) == length;
}

bool Narrow(const std::wstring& wide, unsigned codePage, std::string* out) {
    out->clear();
    if (wide.empty()) return true;
    // UTF-8 has no default character and takes no flags of the kind.
    const bool utf8 = codePage == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, utf8 ? nullptr : &usedDefault);
    if (length <= 0 || usedDefault) return false;
    out->resize(static_cast<size_t>(length));
    return WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), &(*out)[0], length, nullptr,
                               utf8 ? nullptr : &usedDefault) == length &&
           !usedDefault;
}

bool Convert(const std::string& text, unsigned from, unsigned to, std::string* out) {
    std::wstring wide;
    return Wide(text, from, &wide) && Narrow(wide, to, out);
}

bool Known(unsigned codePage) {
    CPINFO info;
    return codePage == CP_UTF8 || GetCPInfo(codePage, &info);
}

const unsigned kUtf8 = CP_UTF8;

#else

std::string IconvName(unsigned codePage) { return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage); }

class Converter {
public:
    Converter(unsigned from, unsigned to) : handle_(iconv_open(IconvName(to).c_str(), IconvName(from).c_str())) {}
    ~Converter() {
        if (valid()) iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // Every byte converted, or false; a character without a form in the target stops it.
    bool Run(const std::string& text, std::string* out) {
        out->clear();
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        char buffer[256];
        while (inLeft > 0) {
            char* next = buffer;
            size_t outLeft = sizeof buffer;
            const size_t done = iconv(handle_, &in, &inLeft, &next, &outLeft);
            out->append(buffer, static_cast<size_t>(next - buffer));
            if (done == static_cast<size_t>(-1) && errno != E2BIG) return false;
        }
        char* next = buffer;
        size_t outLeft = sizeof buffer;
        if (iconv(handle_, nullptr, nullptr, &next, &outLeft) == static_cast<size_t>(-1)) return false;
        out->append(buffer, static_cast<size_t>(next - buffer));
        return true;
    }

private:
    iconv_t handle_;
};

bool Convert(const std::string& text, unsigned from, unsigned to, std::string* out) {
    Converter converter(from, to);
    return converter.valid() && converter.Run(text, out);
}

bool Known(unsigned codePage) {
    Converter there(65001, codePage);
    Converter back(codePage, 65001);
    return there.valid() && back.valid();
}

const unsigned kUtf8 = 65001;

#endif

}  // namespace

bool Utf8ToCodePage(const std::string& utf8, unsigned codePage, std::string* out) {
    // ASCII is the same in every code page an image may use; it needs no converter.
    if (IsAscii(utf8)) {
        *out = utf8;
        return true;
    }
    return Convert(utf8, kUtf8, codePage, out);
}

bool CodePageToUtf8(const std::string& text, unsigned codePage, std::string* out) {
    if (IsAscii(text)) {
        *out = text;
        return true;
    }
    return Convert(text, codePage, kUtf8, out);
}

bool CodePageKnown(unsigned codePage) { return Known(codePage); }
