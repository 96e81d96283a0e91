// Registry access class of the engine; halvorin.exe also exports it for other programs.
#pragma once
#include <windows.h>

#if defined(HALVORIN_EXPORTS_REGKEYHANDLER)
#define HALVORIN_REGKEY_API __declspec(dllexport)
#else
#define HALVORIN_REGKEY_API
#endif

class HALVORIN_REGKEY_API RegKeyHandler {
public:
    RegKeyHandler();
    // A copy refers to the same key through a handle of its own, so that each closes its own.
    RegKeyHandler(const RegKeyHandler& other);
    RegKeyHandler& operator=(const RegKeyHandler& other);
    virtual ~RegKeyHandler();

    // Nonzero on success. Both remember root and subKey (the caller's text, not copied).
    int Create(HKEY root, const char* subKey);
    int Open(HKEY root, const char* subKey);
    void Close();

    // The value as text, read into the instance's buffer (at most 250 bytes; a longer value
    // is cut to its first 249), or the default text (cut to 255 characters) when it cannot
    // be read. Valid until the next
    // call on this instance.
    const char* GetProfileStringA(const char* valueName, const char* defaultText);
    // Stores REG_SZ data without a terminating zero; returns the platform's result code.
    unsigned long WriteProfileStringA(const char* valueName, const char* text);
    // A REG_DWORD value, or the default for any other type or on failure.
    unsigned long GetProfileIntA(const char* valueName, unsigned long defaultValue);
    unsigned long WriteProfileInt(const char* valueName, unsigned long value);
    int DeleteValue(const char* valueName);
    int DeleteKey(const char* subKeyName);

private:
    void CopyFrom(const RegKeyHandler& other);

    const char* subKey_;
    HKEY root_;
    HKEY key_;
    char valueBuffer_[256];
};
