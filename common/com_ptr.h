// Owner of one COM interface reference: released exactly once, on every path.
#pragma once
#include <windows.h>
#include <unknwn.h>

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr& other) : ptr_(other.ptr_) {
        if (ptr_) ptr_->AddRef();
    }
    ComPtr& operator=(const ComPtr& other) {
        if (this != &other) {
            if (other.ptr_) other.ptr_->AddRef();
            Reset();
            ptr_ = other.ptr_;
        }
        return *this;
    }
    ComPtr(ComPtr&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
        }
        return *this;
    }

    // Takes over a reference that the caller already owns.
    static ComPtr Attach(T* ptr) {
        ComPtr result;
        result.ptr_ = ptr;
        return result;
    }

    T* Get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // For calls that hand out a new reference through a pointer.
    T** Receive() {
        Reset();
        return &ptr_;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

    T* Detach() {
        T* ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    void Reset() {
        if (ptr_) {
            T* ptr = ptr_;
            ptr_ = nullptr;
            ptr->Release();
        }
    }

private:
    T* ptr_ = nullptr;
};
