#include "transfer/reg_key_handler.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
constexpr DWORD kMaxValueBytes = 250;
}

RegKeyHandler::RegKeyHandler() : subKey_(nullptr), root_(nullptr), key_(nullptr) { valueBuffer_[0] = '\0'; }

RegKeyHandler::RegKeyHandler(const RegKeyHandler& other) : subKey_(nullptr), root_(nullptr), key_(nullptr) {
    CopyFrom(other);
}

RegKeyHandler& RegKeyHandler::operator=(const RegKeyHandler& other) {
    if (this != &other) {
        Close();
        CopyFrom(other);
    }
    return *this;
}

RegKeyHandler::~RegKeyHandler() { Close(); }

void RegKeyHandler::CopyFrom(const RegKeyHandler& other) {
    subKey_ = other.subKey_;
    root_ = other.root_;
    memcpy(valueBuffer_, other.valueBuffer_, sizeof(valueBuffer_));
    key_ = nullptr;
    // Sharing the handle would close it twice; a second handle to the same key does not.
    if (other.key_ != nullptr) RegOpenKeyExA(other.key_, nullptr, 0, KEY_ALL_ACCESS, &key_);
}

int RegKeyHandler::Create(HKEY root, const char* subKey) {
    HKEY created = nullptr;
    const LONG result = RegCreateKeyExA(root, subKey, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, &created, nullptr);
    root_ = root;
    subKey_ = subKey;
    if (result != ERROR_SUCCESS) return 0;
    // The previous key would otherwise be lost without being closed.
    Close();
    key_ = created;
    return 1;
}

int RegKeyHandler::Open(HKEY root, const char* subKey) {
    Close();
    root_ = root;
    subKey_ = subKey;
    if (RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS) return 1;
    key_ = nullptr;
    return 0;
}

void RegKeyHandler::Close() {
    if (key_ != nullptr) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
}

const char* RegKeyHandler::GetProfileStringA(const char* valueName, const char* defaultText) {
    memset(valueBuffer_, 0, sizeof(valueBuffer_));
    DWORD size = kMaxValueBytes;
    LONG result = RegQueryValueExA(key_, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(valueBuffer_), &size);
    if (result == ERROR_MORE_DATA) {
        // A longer value is read whole and cut, not taken for a missing one: a resume
        // record that cannot be read would let another file's partial download pass.
        std::vector<char> whole(size + 1, '\0');
        result = RegQueryValueExA(key_, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(whole.data()), &size);
        memset(valueBuffer_, 0, sizeof(valueBuffer_));
        if (result == ERROR_SUCCESS) memcpy(valueBuffer_, whole.data(), std::min<size_t>(size, kMaxValueBytes - 1));
    }
    if (result != ERROR_SUCCESS) {
        // The default is cut to what the buffer holds, terminator included.
        memset(valueBuffer_, 0, sizeof(valueBuffer_));
        if (defaultText != nullptr) strncpy(valueBuffer_, defaultText, sizeof(valueBuffer_) - 1);
    }
    return valueBuffer_;
}

unsigned long RegKeyHandler::WriteProfileStringA(const char* valueName, const char* text) {
    return RegSetValueExA(key_, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), lstrlenA(text));
}

unsigned long RegKeyHandler::GetProfileIntA(const char* valueName, unsigned long defaultValue) {
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExA(key_, valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return defaultValue;
    std::vector<BYTE> data(size + 1, 0);
    if (RegQueryValueExA(key_, valueName, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return defaultValue;
    if (type != REG_DWORD) return defaultValue;
    unsigned long value = 0;
    for (DWORD i = 0; i < size && i < 4; ++i) value |= static_cast<unsigned long>(data[i]) << (8 * i);
    return value;
}

unsigned long RegKeyHandler::WriteProfileInt(const char* valueName, unsigned long value) {
    const DWORD data = value;
    return RegSetValueExA(key_, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

int RegKeyHandler::DeleteValue(const char* valueName) {
    return RegDeleteValueA(key_, valueName) == ERROR_SUCCESS ? 1 : 0;
}

int RegKeyHandler::DeleteKey(const char* subKeyName) {
    return RegDeleteKeyA(key_, subKeyName) == ERROR_SUCCESS ? 1 : 0;
}
