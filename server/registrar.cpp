#include "server/registrar.h"

#include "common/win_handles.h"
#include "server/registry_script.h"

namespace {

constexpr REGSAM kKeyAccess = KEY_READ | KEY_WRITE;

HKEY RootHandle(RegScriptRoot root) {
    switch (root) {
        case RegScriptRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
        case RegScriptRoot::CurrentUser: return HKEY_CURRENT_USER;
        case RegScriptRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
        case RegScriptRoot::Users: return HKEY_USERS;
        case RegScriptRoot::CurrentConfig: return HKEY_CURRENT_CONFIG;
        case RegScriptRoot::DynData: return HKEY_DYN_DATA;
        case RegScriptRoot::PerformanceData: return HKEY_PERFORMANCE_DATA;
    }
    return nullptr;
}

bool IsAbsent(LONG result) {
    return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND;
}

bool IsSharedContainer(const std::string& name) {
    return lstrcmpiA(name.c_str(), "CLSID") == 0 || lstrcmpiA(name.c_str(), "TYPELIB") == 0;
}

// Deletes parent\name with everything under it; a key that is not there is no failure.
LONG DeleteKeyTree(HKEY parent, const std::string& name) {
    const LONG result = RegDeleteTreeA(parent, name.c_str());
    return IsAbsent(result) ? ERROR_SUCCESS : result;
}

LONG WriteValue(HKEY key, const std::string& name, const RegScriptValue& value) {
    const char* valueName = name.empty() ? nullptr : name.c_str();
    switch (value.type) {
        case RegScriptType::String:
            if (value.text.size() >= MAXDWORD) return ERROR_INVALID_DATA;
            return RegSetValueExA(key, valueName, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.text.c_str()),
                                  static_cast<DWORD>(value.text.size() + 1));
        case RegScriptType::Dword: {
            const DWORD number = value.number;
            return RegSetValueExA(key, valueName, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&number), sizeof(number));
        }
        case RegScriptType::Binary:
            if (value.bytes.size() > MAXDWORD) return ERROR_INVALID_DATA;
            return RegSetValueExA(key, valueName, 0, REG_BINARY,
                                  value.bytes.empty() ? nullptr : value.bytes.data(),
                                  static_cast<DWORD>(value.bytes.size()));
    }
    return ERROR_INVALID_DATA;
}

LONG RegisterKey(HKEY parent, const RegScriptKey& entry) {
    if (entry.flag == RegScriptFlag::Delete) return DeleteKeyTree(parent, entry.name);
    if (entry.flag == RegScriptFlag::ForceRemove) {
        const LONG result = DeleteKeyTree(parent, entry.name);
        if (result != ERROR_SUCCESS) return result;
    }
    UniqueRegKey key;
    LONG result = RegCreateKeyExA(parent, entry.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  kKeyAccess, nullptr, key.receive(), nullptr);
    if (result != ERROR_SUCCESS) return result;
    if (entry.hasDefault) {
        result = WriteValue(key.get(), std::string(), entry.defaultValue);
        if (result != ERROR_SUCCESS) return result;
    }
    for (const RegScriptNamedValue& value : entry.values) {
        result = WriteValue(key.get(), value.name, value.value);
        if (result != ERROR_SUCCESS) return result;
    }
    for (const RegScriptKey& subkey : entry.subkeys) {
        result = RegisterKey(key.get(), subkey);
        if (result != ERROR_SUCCESS) return result;
    }
    return ERROR_SUCCESS;
}

LONG UnregisterKey(HKEY parent, const RegScriptKey& entry);

// The script's own named values and subkeys of a key that itself may stay.
LONG UnregisterBlock(HKEY key, const RegScriptKey& entry) {
    LONG first = ERROR_SUCCESS;
    for (const RegScriptNamedValue& value : entry.values) {
        if (value.name.empty()) continue;  // the default value of a kept key stays
        const LONG result = RegDeleteValueA(key, value.name.c_str());
        if (first == ERROR_SUCCESS && !IsAbsent(result)) first = result;
    }
    for (const RegScriptKey& subkey : entry.subkeys) {
        const LONG result = UnregisterKey(key, subkey);
        if (first == ERROR_SUCCESS) first = result;
    }
    return first;
}

LONG UnregisterKey(HKEY parent, const RegScriptKey& entry) {
    const bool keep = entry.flag == RegScriptFlag::NoRemove;
    const bool shared = !keep && IsSharedContainer(entry.name);
    if (!keep && !shared) return DeleteKeyTree(parent, entry.name);

    UniqueRegKey key;
    LONG result = RegOpenKeyExA(parent, entry.name.c_str(), 0, kKeyAccess, key.receive());
    if (IsAbsent(result)) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) return result;
    LONG first = UnregisterBlock(key.get(), entry);
    if (shared) {
        DWORD subkeys = 0;
        result = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
        key.reset();
        if (result == ERROR_SUCCESS && subkeys == 0) result = DeleteKeyTree(parent, entry.name);
        if (first == ERROR_SUCCESS) first = result;
    }
    return first;
}

LONG Walk(const RegScript& script, bool registering) {
    LONG first = ERROR_SUCCESS;
    for (const RegScriptRootBlock& block : script.roots) {
        const HKEY root = RootHandle(block.root);
        for (const RegScriptKey& entry : block.keys) {
            if (registering) {
                const LONG result = RegisterKey(root, entry);
                if (result != ERROR_SUCCESS) return result;
            } else {
                const LONG result = UnregisterKey(root, entry);
                if (first == ERROR_SUCCESS) first = result;
            }
        }
    }
    return first;
}

}  // namespace

HRESULT ApplyRegistryScript(const std::string& scriptText, bool registering,
                            const std::map<std::string, std::string>& replacements) {
    RegScript script;
    RegScriptError error;
    if (!ParseRegistryScript(scriptText, replacements, script, error)) return kRegistryScriptInvalid;
    const LONG result = Walk(script, registering);
    if (result == ERROR_SUCCESS) return S_OK;
    // Leave nothing half-registered behind.
    if (registering) Walk(script, false);
    return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
}

HRESULT ModuleReplacementFromPath(const std::string& modulePath, std::string& value) {
    char shortPath[MAX_PATH];
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetShortPathNameA(modulePath.c_str(), shortPath, MAX_PATH);
    // Windows answers a short form that does not fit with the size it needs; Wine answers
    // it with ERROR_FILENAME_EXCED_RANGE. Either way the form does not fit.
    if (length >= MAX_PATH) return E_OUTOFMEMORY;
    if (length == 0 && GetLastError() == ERROR_FILENAME_EXCED_RANGE) return E_OUTOFMEMORY;
    value = DoubleSingleQuotes(length == 0 ? modulePath : std::string(shortPath, length));
    return S_OK;
}

bool LoadRegistryScript(HMODULE module, int id, std::string& text) {
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), "REGISTRY");
    if (resource == nullptr) return false;
    const DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) return false;
    const void* data = LockResource(loaded);
    if (size == 0) {
        text.clear();
        return true;
    }
    if (data == nullptr) return false;
    text.assign(static_cast<const char*>(data), size);
    return true;
}
