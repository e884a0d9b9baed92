// Used packets go back to the reader thread that cuts the next ones, with their payloads'
// capacity: a packet then costs no allocation, and no free on a worker thread, where it would
// contend with the reader for the allocator's lock.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

template <typename P>
class KPacketPoolT {
public:
    // What the pool keeps at most: packets, and the bytes their payloads hold on to.
    static constexpr std::size_t kMaxPackets = 1024;
    static constexpr std::size_t kMaxBytes = 8 << 20;

    // A packet as a new one is, its payload empty (and with room from its last use).
    std::unique_ptr<P> Take()
    {
        std::unique_ptr<P> packet;
        {
            std::lock_guard guard(lock_);
            if (!kept_.empty()) {
                packet = std::move(kept_.back());
                kept_.pop_back();
                keptBytes_ -= packet->payload.capacity();
            }
        }
        return packet ? std::move(packet) : std::make_unique<P>();
    }

    // Takes back a batch of used packets (the vector is left empty); what the pool has no room
    // for is freed.
    void Give(std::vector<std::unique_ptr<P>>& used)
    {
        for (auto& packet : used)
            packet->Recycle();
        {
            std::lock_guard guard(lock_);
            for (auto& packet : used) {
                const std::size_t bytes = packet->payload.capacity();
                if (kept_.size() >= kMaxPackets || keptBytes_ + bytes > kMaxBytes)
                    continue;
                keptBytes_ += bytes;
                kept_.push_back(std::move(packet));
            }
        }
        used.clear();
    }

private:
    std::mutex lock_;
    std::vector<std::unique_ptr<P>> kept_;
    std::size_t keptBytes_ = 0;
};
