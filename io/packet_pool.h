// Used packets go back from the pins' workers to the thread that cuts the next ones. A packet
// that can be reset comes out again with its payload's room; one that cannot (Matroska's, which
// hold their block) is freed there. Either way the workers free nothing that the reader
// allocated: a free on another thread contends with the reader for the allocator's lock.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

template <typename P>
class KPacketPoolT {
public:
    // What the pool keeps for reuse at most: packets, and the bytes their payloads hold on to.
    static constexpr std::size_t kMaxPackets = 1024;
    static constexpr std::size_t kMaxBytes = 8 << 20;

    // Reader: a packet as a new one is, its payload empty (and with room from its last use).
    std::unique_ptr<P> Take()
    {
        std::vector<std::unique_ptr<P>> dropped;  // freed on this thread, after the lock
        std::unique_ptr<P> packet;
        {
            std::lock_guard guard(lock_);
            if (kept_.empty())
                SortGiven(dropped);
            if (!kept_.empty()) {
                packet = std::move(kept_.back());
                kept_.pop_back();
                keptBytes_ -= Room(*packet);
            }
        }
        if (!packet)
            return std::make_unique<P>();
        if constexpr (kReusable)
            packet->Recycle();
        return packet;
    }

    // Reader: frees what the workers gave back and the pool does not keep.
    void FreeGiven()
    {
        std::vector<std::unique_ptr<P>> dropped;  // freed on this thread, after the lock
        std::lock_guard guard(lock_);
        SortGiven(dropped);
    }

    // Worker: takes back a batch of used packets (the vector is left empty).
    void Give(std::vector<std::unique_ptr<P>>& used)
    {
        std::lock_guard guard(lock_);
        for (auto& packet : used)
            given_.push_back(std::move(packet));
        used.clear();
    }

private:
    static constexpr bool kReusable = requires(P& packet) { packet.Recycle(); };

    static std::size_t Room(const P& packet)
    {
        if constexpr (kReusable)
            return packet.payload.capacity();
        return 0;
    }

    // Under the lock: what was given goes to the kept packets while they have room, the rest to
    // dropped.
    void SortGiven(std::vector<std::unique_ptr<P>>& dropped)
    {
        for (auto& packet : given_) {
            if (!packet)
                continue;
            const std::size_t bytes = Room(*packet);
            if (kReusable && kept_.size() < kMaxPackets && keptBytes_ + bytes <= kMaxBytes) {
                keptBytes_ += bytes;
                kept_.push_back(std::move(packet));
            } else {
                dropped.push_back(std::move(packet));
            }
        }
        given_.clear();
    }

    std::mutex lock_;
    std::vector<std::unique_ptr<P>> given_;  // from the workers, not yet sorted
    std::vector<std::unique_ptr<P>> kept_;
    std::size_t keptBytes_ = 0;
};
