// The FIFO between a filter's reader thread (Push, WaitForRoom) and one pin's worker thread
// (Count, Pop, WaitUntilTakeable). A null entry is the end-of-stream marker.
//
// The hand-off costs no system call while the reader is ahead of the worker: the worker takes
// all but the newest entry under one lock and pops them without it, the counts are atomics, and
// either side wakes the other only when that one waits, and then for a batch: the worker for
// kWakeBatch entries or kWakeBytes (or what is there when the reader is about to wait), the
// reader for half a queue. The newest entry stays with the reader's side, where an untimed continuation can still
// join it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "io/packet.h"

template <typename P>
class KPacketQueueT {
public:
    KPacketQueueT() = default;
    KPacketQueueT(const KPacketQueueT&) = delete;
    KPacketQueueT& operator=(const KPacketQueueT&) = delete;
    ~KPacketQueueT() { Clear(); }

    // Takes the packet (or, when empty, queues the end marker); the caller's pointer is left
    // empty. An untimed continuation joins the timed packet still waiting at the tail.
    void Push(std::unique_ptr<P>& packet)
    {
        std::unique_ptr<P> incoming = std::move(packet);
        bool wake = false;
        {
            std::lock_guard guard(lock_);
            if (incoming)
                bytes_.fetch_add(incoming->GetSize(), std::memory_order_acq_rel);
            if (incoming && ShouldMerge(*incoming)) {
                auto& target = Tail()->payload;
                const size_t needed = target.size() + incoming->payload.size();
                // Fragments come in runs (a video frame may arrive as a hundred PES payloads):
                // growing geometrically keeps the copying linear in the frame's size.
                if (target.capacity() < needed)
                    target.reserve(std::max(needed, 2 * target.capacity()));
                target.insert(target.end(), incoming->payload.begin(), incoming->payload.end());
            } else {
                inbox_.push_back(std::move(incoming));
                count_.fetch_add(1, std::memory_order_acq_rel);
            }
            // A waiting worker is woken by a batch, not by each packet: a wake-up costs the
            // kernel more than a packet costs us. The reader wakes it with less (WakeTaker)
            // before it waits itself, and the worker's own wait is short.
            wake = takerWaits_ && (count_ >= takerNeeds_ + kWakeBatch - 1 || (count_ >= takerNeeds_ && bytes_ >= kWakeBytes)
                                   || (!inbox_.empty() && !inbox_.back()));
        }
        if (wake)
            pushed_.notify_one();
    }

    // Reader: wakes a waiting worker that can take what is queued, short of a batch. Called
    // before the reader waits or stops reading, so that no worker waits on packets that are there.
    void WakeTaker()
    {
        bool wake;
        {
            std::lock_guard guard(lock_);
            wake = takerWaits_ && Takeable(takerNeeds_);
        }
        if (wake)
            pushed_.notify_one();
    }
    void Push(std::unique_ptr<P>&& packet) { Push(packet); }

    // The head entry (null for the end marker). Callers check Count first; an empty queue also
    // answers null. Worker thread only.
    std::unique_ptr<P> Pop()
    {
        std::unique_ptr<P> head;
        bool taken = false;
        if (taken_.empty()) {
            std::lock_guard guard(lock_);
            if (inbox_.empty())
                return nullptr;
            if (inbox_.size() == 1) {
                head = std::move(inbox_.front());
                inbox_.pop_front();
                taken = true;
            } else {
                taken_.swap(inbox_);
                inbox_.push_back(std::move(taken_.back()));
                taken_.pop_back();
            }
        }
        if (!taken) {
            head = std::move(taken_.front());
            taken_.pop_front();
        }
        if (head)
            bytes_.fetch_sub(head->GetSize(), std::memory_order_acq_rel);
        count_.fetch_sub(1, std::memory_order_acq_rel);
        if (giverWaits_.load(std::memory_order_acquire))
            WakeGiverIfDrained();
        return head;
    }

    // Entries, end markers included.
    DWORD Count() const { return count_.load(std::memory_order_acquire); }
    DWORD Bytes() const { return bytes_.load(std::memory_order_acquire); }

    // Drops everything. Called by the worker, or by another thread while the worker is parked.
    void Clear()
    {
        std::deque<std::unique_ptr<P>> dropped;
        std::deque<std::unique_ptr<P>> droppedTaken;
        {
            std::lock_guard guard(lock_);
            dropped.swap(inbox_);
            droppedTaken.swap(taken_);
            bytes_ = 0;
            count_ = 0;
        }
    }

    // Whether the last entry is a packet rather than the end marker; false when empty.
    bool TailIsPacket()
    {
        std::lock_guard guard(lock_);
        const std::unique_ptr<P>* tail = TailEntry();
        return tail && *tail;
    }

    // What a push gathers before it wakes a waiting worker: entries, or bytes (large packets
    // go on at once: a batch of them would only be memory in flight, out of the caches).
    static constexpr DWORD kWakeBatch = 32;
    static constexpr DWORD kWakeBytes = 128 * 1024;

    // Worker: waits up to the timeout until it can take something: `needs` entries, or any once
    // the end marker is queued. A worker that keeps the newest packet back needs two. Pushes
    // wake it only once a batch is queued (or the end marker); WakeTaker wakes it with less.
    void WaitUntilTakeable(DWORD needs, DWORD timeoutMs)
    {
        std::unique_lock guard(lock_);
        if (Takeable(needs))
            return;
        takerNeeds_ = needs;
        takerWaits_ = true;
        pushed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return Takeable(needs); });
        takerWaits_ = false;
    }

    // Reader: waits up to the timeout while the queue holds bytes or count entries or more. The
    // worker wakes it once half of both is free, so that a reader ahead of the worker wakes once
    // per half queue rather than once per packet.
    void WaitForRoom(DWORD bytes, DWORD count, DWORD timeoutMs)
    {
        std::unique_lock guard(lock_);
        if (!Full(bytes, count))
            return;
        wakeBytes_ = bytes / 2;
        wakeCount_ = count / 2;
        giverWaits_ = true;
        drained_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !Full(bytes, count) && Drained(); });
        giverWaits_ = false;
    }

    // Whether a reader is in WaitForRoom now.
    bool ReaderWaits() const { return giverWaits_.load(std::memory_order_acquire); }

private:
    bool Takeable(DWORD needs) const { return count_ >= needs || (!inbox_.empty() && !inbox_.back()); }
    bool Full(DWORD bytes, DWORD count) const { return bytes_ >= bytes || count_ >= count; }
    bool Drained() const { return bytes_ <= wakeBytes_ && count_ <= wakeCount_; }

    // The newest entry: the inbox keeps it whenever the queue is not empty (the worker takes
    // the last inbox entry only when nothing else is queued).
    std::unique_ptr<P>* TailEntry() { return inbox_.empty() ? nullptr : &inbox_.back(); }
    P* Tail()
    {
        std::unique_ptr<P>* tail = TailEntry();
        return tail ? tail->get() : nullptr;
    }

    void WakeGiverIfDrained()
    {
        bool wake;
        {
            // Under the lock, so that a reader between its check and its wait is not missed.
            std::lock_guard guard(lock_);
            wake = giverWaits_ && Drained();
        }
        if (wake)
            drained_.notify_one();
    }

    bool ShouldMerge(const P& incoming)
    {
        if (!incoming.continuation || incoming.discontinuity || incoming.mediaType || incoming.HasTime())
            return false;
        const P* tail = Tail();
        return tail && tail->HasTime();
    }

    std::mutex lock_;
    std::condition_variable pushed_;
    std::condition_variable drained_;
    std::deque<std::unique_ptr<P>> inbox_;  // the reader's side, newest last
    std::deque<std::unique_ptr<P>> taken_;  // older entries the worker took in one go; its own
    std::atomic<DWORD> bytes_{0};
    std::atomic<DWORD> count_{0};
    bool takerWaits_ = false;
    DWORD takerNeeds_ = 1;
    std::atomic<bool> giverWaits_{false};
    DWORD wakeBytes_ = 0;
    DWORD wakeCount_ = 0;
};

extern template class KPacketQueueT<KPacket>;
extern template class KPacketQueueT<KPacket2>;

using KPacketQueue = KPacketQueueT<KPacket>;
using KPacketQueue2 = KPacketQueueT<KPacket2>;
