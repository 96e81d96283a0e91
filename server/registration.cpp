#include "server/registration.h"

#include <oleauto.h>

#include <cstdio>
#include <map>
#include <string>

#include "common/com_ptr.h"
#include "common/win_handles.h"
#include "server/registrar.h"
#include "common/resource_ids.h"

namespace {

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH + 1] = "";
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int chars = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    wide.resize(chars > 0 ? static_cast<size_t>(chars - 1) : 0);
    return wide;
}

HRESULT ApplyScript(HMODULE module, int id, bool registering) {
    std::string script;
    if (!LoadRegistryScript(module, id, script)) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
    std::string modulePath;
    const HRESULT hr = ModuleReplacementFromPath(ModulePath(module), modulePath);
    if (FAILED(hr)) return hr;
    return ApplyRegistryScript(script, registering, {{"MODULE", modulePath}});
}

// The module's own type library, or the .tlb file beside it; path names the one that loaded.
HRESULT LoadServerTypeLibrary(HMODULE module, ComPtr<ITypeLib>& library, std::string& path) {
    path = ModulePath(module);
    HRESULT hr = LoadTypeLibEx(Widen(path).c_str(), REGKIND_NONE, library.Receive());
    if (SUCCEEDED(hr)) return hr;
    const size_t dot = path.find_last_of('.');
    const size_t separator = path.find_last_of("\\/:");
    if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) path.erase(dot);
    path += ".tlb";
    return LoadTypeLibEx(Widen(path).c_str(), REGKIND_NONE, library.Receive());
}

const char* SystemKindName(SYSKIND kind) { return kind == SYS_WIN64 ? "win64" : "win32"; }

// "TypeLib\{LIBID}\1.0\0" for the library's identifier and version.
std::string NeutralLocaleKey(const TLIBATTR& attributes) {
    wchar_t guid[40] = L"";
    StringFromGUID2(attributes.guid, guid, 40);
    char narrow[40] = "";
    WideCharToMultiByte(CP_ACP, 0, guid, -1, narrow, sizeof(narrow), nullptr, nullptr);
    char key[128];
    snprintf(key, sizeof(key), "TypeLib\\%s\\%x.%x\\0", narrow, attributes.wMajorVerNum, attributes.wMinorVerNum);
    return key;
}

// The runtime registers the library under its own locale (0x0409). Marshallers that ask
// for the library without a locale look under locale 0 only (Wine's does), and then the
// interface cannot cross the process boundary; a locale-neutral entry naming the same
// file lets them find it.
void RegisterNeutralLocalePath(ITypeLib* library, const std::string& path) {
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes)) || attributes == nullptr) return;
    if (attributes->lcid != 0) {
        const std::string key = NeutralLocaleKey(*attributes) + "\\" + SystemKindName(attributes->syskind);
        UniqueRegKey entry;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, entry.receive(), nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(entry.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>(path.size() + 1));
        }
    }
    library->ReleaseTLibAttr(attributes);
}

}  // namespace

HRESULT RegisterServer(HMODULE module) {
    ApplyScript(module, IDR_REGISTRY_ALL, true);  // its result does not decide the outcome
    HRESULT hr = ApplyScript(module, IDR_REGISTRY_APP, true);
    if (FAILED(hr)) return hr;

    ComPtr<ITypeLib> library;
    std::string path;
    hr = LoadServerTypeLibrary(module, library, path);
    if (FAILED(hr)) return hr;
    const std::string helpDirectory = path.substr(0, path.find_last_of("\\/:") + 1);
    std::wstring widePath = Widen(path);
    std::wstring wideHelp = Widen(helpDirectory);
    hr = RegisterTypeLib(library.Get(), &widePath[0], &wideHelp[0]);
    if (SUCCEEDED(hr)) RegisterNeutralLocalePath(library.Get(), path);
    return hr;
}

void UnregisterServer(HMODULE module) {
    ApplyScript(module, IDR_REGISTRY_ALL, false);
    ApplyScript(module, IDR_REGISTRY_APP, false);

    ComPtr<ITypeLib> library;
    std::string path;
    if (FAILED(LoadServerTypeLibrary(module, library, path))) return;
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes)) || attributes == nullptr) return;
    if (attributes->lcid != 0) RegDeleteTreeA(HKEY_CLASSES_ROOT, NeutralLocaleKey(*attributes).c_str());
    // Looked up now, so that a system without it simply skips this step.
    using UnRegisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    UniqueLibrary oleaut(LoadLibraryA("oleaut32.dll"));
    auto unregister = oleaut.valid() ? reinterpret_cast<UnRegisterTypeLibFunction>(reinterpret_cast<void*>(
                                           GetProcAddress(oleaut.get(), "UnRegisterTypeLib")))
                                     : nullptr;
    if (unregister != nullptr) {
        unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                   attributes->syskind);
    }
    library->ReleaseTLibAttr(attributes);
}
