// KByteBuffer: a byte vector whose growth leaves the new bytes uninitialised. Payloads are sized
// and then filled by one read, so zeroing them first would only touch every byte twice.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/platform.h"

template <typename T>
class KUninitializedAllocator : public std::allocator<T> {
public:
    template <typename U>
    struct rebind {
        using other = KUninitializedAllocator<U>;
    };

    KUninitializedAllocator() = default;
    template <typename U>
    KUninitializedAllocator(const KUninitializedAllocator<U>&) noexcept
    {
    }

    // Value-initialisation (what resize asks for) becomes default-initialisation.
    template <typename U>
    void construct(U* place) noexcept
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

using KByteBuffer = std::vector<BYTE, KUninitializedAllocator<BYTE>>;
