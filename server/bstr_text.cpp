#include "server/bstr_text.h"

#include <cwchar>
#include <vector>

std::string TextFromBstr(BSTR value) {
    if (value == nullptr) return std::string();
    char buffer[kTextBufferChars] = "";
    const size_t length = wcsnlen(value, SysStringLen(value));
    int chars = static_cast<int>(length < kTextBufferChars - 1 ? length : kTextBufferChars - 1);
    // A multibyte code page may need more bytes than characters: give up characters
    // from the end until the rest fits the buffer with its terminator.
    while (chars > 0) {
        const int bytes = WideCharToMultiByte(CP_ACP, 0, value, chars, buffer, kTextBufferChars - 1, nullptr, nullptr);
        if (bytes > 0) {
            buffer[bytes] = '\0';
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            buffer[0] = '\0';
            break;
        }
        --chars;
    }
    return buffer;
}

BSTR BstrFromText(const std::string& text, size_t bufferChars) {
    std::vector<wchar_t> buffer(bufferChars, L'\0');
    int bytes = static_cast<int>(text.size() < bufferChars - 1 ? text.size() : bufferChars - 1);
    while (bytes > 0) {
        const int chars = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, buffer.data(),
                                              static_cast<int>(bufferChars - 1));
        if (chars > 0) {
            buffer[chars] = L'\0';
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            buffer[0] = L'\0';
            break;
        }
        --bytes;
    }
    return SysAllocString(buffer.data());
}
