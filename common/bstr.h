// Owner of one automation string, and the taking over of strings that a callee hands out.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    // From text in the ANSI code page.
    explicit Bstr(const std::string& text) : value_(nullptr) {
        std::vector<wchar_t> wide(text.size() + 1, L'\0');
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
        value_ = SysAllocString(wide.data());
    }
    explicit Bstr(const char* text) : Bstr(std::string(text)) {}
    explicit Bstr(const wchar_t* text) : Bstr(std::wstring(text)) {}
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    operator BSTR() const { return value_; }

private:
    BSTR value_;
};

// Takes over a string handed out by a callee (frees it) and returns its characters.
inline std::wstring TakeWide(BSTR value) {
    std::wstring text(value ? value : L"", value ? SysStringLen(value) : 0);
    SysFreeString(value);
    return text;
}

// The same, converted to the ANSI code page.
inline std::string TakeAnsi(BSTR value) {
    const std::wstring wide = TakeWide(value);
    if (wide.empty()) return std::string();
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string text(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &text[0], bytes, nullptr, nullptr);
    }
    return text;
}
