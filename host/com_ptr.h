// The one owner of COM references in the host: AddRef on copy, Release on destruction.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/com.h"

namespace vmx::host {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference; use Adopt for a pointer whose reference the caller already owns.
    explicit ComPtr(T* pointer) noexcept : pointer_(pointer)
    {
        if (pointer_)
            pointer_->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.pointer_) {}
    template <typename U>
        requires std::is_convertible_v<U*, T*>
    ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.Get()))
    {
    }
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    template <typename U>
        requires std::is_convertible_v<U*, T*>
    ComPtr(ComPtr<U>&& other) noexcept : pointer_(other.Detach())
    {
    }
    ~ComPtr() { Reset(); }

    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(pointer_, other.pointer_);
        return *this;
    }

    static ComPtr Adopt(T* pointer) noexcept
    {
        ComPtr result;
        result.pointer_ = pointer;
        return result;
    }

    T* Get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    T& operator*() const noexcept { return *pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    void Reset() noexcept
    {
        if (T* old = std::exchange(pointer_, nullptr))
            old->Release();
    }
    // Gives up the reference without releasing it.
    T* Detach() noexcept { return std::exchange(pointer_, nullptr); }

    // For out-parameters: drops the current reference and lends the slot.
    T** Receive() noexcept
    {
        Reset();
        return &pointer_;
    }
    void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }

    template <typename U>
    HRESULT QueryInterface(REFIID iid, ComPtr<U>* result) const
    {
        if (!result)
            return E_POINTER;
        if (!pointer_) {
            result->Reset();
            return E_POINTER;
        }
        return pointer_->QueryInterface(iid, result->ReceiveVoid());
    }

private:
    T* pointer_ = nullptr;
};

template <typename T, typename U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) noexcept
{
    return a.Get() == b.Get();
}

}  // namespace vmx::host
