// The lock-protected FIFO between a filter's reader thread (Push) and one pin's worker thread
// (Count, Pop, Clear). A null entry is the end-of-stream marker.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>

#include "io/packet.h"

template <typename P>
class KPacketQueueT {
public:
    KPacketQueueT() { InitializeCriticalSection(&lock_); }
    KPacketQueueT(const KPacketQueueT&) = delete;
    KPacketQueueT& operator=(const KPacketQueueT&) = delete;
    ~KPacketQueueT()
    {
        Clear();
        DeleteCriticalSection(&lock_);
    }

    // Takes the packet (or, when empty, queues the end marker); the caller's pointer is left
    // empty. An untimed continuation joins the timed packet still waiting at the tail.
    void Push(std::unique_ptr<P>& packet)
    {
        std::unique_ptr<P> incoming = std::move(packet);
        Locked guard(&lock_);
        if (!incoming) {
            entries_.push_back(nullptr);
            return;
        }
        bytes_ += incoming->GetSize();
        if (ShouldMerge(*incoming)) {
            auto& target = entries_.back()->payload;
            const size_t needed = target.size() + incoming->payload.size();
            // Fragments come in runs (a video frame may arrive as a hundred PES payloads):
            // growing geometrically keeps the copying linear in the frame's size.
            if (target.capacity() < needed)
                target.reserve(std::max(needed, 2 * target.capacity()));
            target.insert(target.end(), incoming->payload.begin(), incoming->payload.end());
            return;
        }
        entries_.push_back(std::move(incoming));
    }
    void Push(std::unique_ptr<P>&& packet) { Push(packet); }

    // The head entry (null for the end marker). Callers check Count first; an empty queue also
    // answers null.
    std::unique_ptr<P> Pop()
    {
        Locked guard(&lock_);
        if (entries_.empty())
            return nullptr;
        std::unique_ptr<P> head = std::move(entries_.front());
        entries_.pop_front();
        if (head)
            bytes_ -= head->GetSize();
        return head;
    }

    // Entries, end markers included.
    DWORD Count()
    {
        Locked guard(&lock_);
        return static_cast<DWORD>(entries_.size());
    }

    DWORD Bytes()
    {
        Locked guard(&lock_);
        return bytes_;
    }

    void Clear()
    {
        std::deque<std::unique_ptr<P>> dropped;
        {
            Locked guard(&lock_);
            dropped.swap(entries_);
            bytes_ = 0;
        }
    }

    // Whether the last entry is a packet rather than the end marker; false when empty.
    bool TailIsPacket()
    {
        Locked guard(&lock_);
        return !entries_.empty() && entries_.back() != nullptr;
    }

private:
    class Locked {
    public:
        explicit Locked(CRITICAL_SECTION* lock) : lock_(lock) { EnterCriticalSection(lock_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        ~Locked() { LeaveCriticalSection(lock_); }

    private:
        CRITICAL_SECTION* lock_;
    };

    bool ShouldMerge(const P& incoming) const
    {
        if (!incoming.continuation || incoming.discontinuity || incoming.mediaType || incoming.HasTime())
            return false;
        return !entries_.empty() && entries_.back() && entries_.back()->HasTime();
    }

    CRITICAL_SECTION lock_;
    std::deque<std::unique_ptr<P>> entries_;
    DWORD bytes_ = 0;
};

extern template class KPacketQueueT<KPacket>;
extern template class KPacketQueueT<KPacket2>;

using KPacketQueue = KPacketQueueT<KPacket>;
using KPacketQueue2 = KPacketQueueT<KPacket2>;
