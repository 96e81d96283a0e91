// Reference counting for the COM objects that this code implements: the one place where
// such an object is allocated and freed.
#pragma once
#include <windows.h>

#include <new>
#include <utility>

template <typename T>
class ComObject final : public T {
public:
    // A new object with a reference count of 1, or null when memory is short.
    template <typename... Args>
    static ComObject* Create(Args&&... args) {
        return new (std::nothrow) ComObject(std::forward<Args>(args)...);
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

private:
    template <typename... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {}
    volatile LONG references_ = 1;
};
