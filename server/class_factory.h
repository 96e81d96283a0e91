// The class object of Halvorin: makes a new automation object for every request.
#pragma once
#include <windows.h>
#include <unknwn.h>

class HalvorinClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    // The class object lives as long as the server; its own count does not keep it alive.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    // A client's lock counts like a live object.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};
