#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "framework/media_type.h"
#include "io/packet_pool.h"
#include "io/packet_queue.h"

namespace {

template <typename P>
std::unique_ptr<P> MakePacket(std::vector<BYTE> payload, LONGLONG start = PACKET_NO_TIME, BOOL continuation = FALSE)
{
    auto packet = std::make_unique<P>();
    packet->payload = std::move(payload);
    packet->start = start;
    packet->stop = start == PACKET_NO_TIME ? PACKET_NO_TIME : start + 1;
    packet->continuation = continuation;
    return packet;
}

template <typename P>
class PacketQueueTest : public ::testing::Test {};

using PacketKinds = ::testing::Types<KPacket, KPacket2>;
TYPED_TEST_SUITE(PacketQueueTest, PacketKinds);

TYPED_TEST(PacketQueueTest, EndMarkerIsAnEntryWithoutBytes)
{
    KPacketQueueT<TypeParam> queue;
    std::unique_ptr<TypeParam> packet = MakePacket<TypeParam>({1, 2, 3}, 0);
    queue.Push(packet);
    queue.Push(nullptr);
    EXPECT_EQ(queue.Count(), 2u);
    EXPECT_EQ(queue.Bytes(), 3u);
    EXPECT_FALSE(queue.TailIsPacket());

    std::unique_ptr<TypeParam> head = queue.Pop();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->payload, (std::vector<BYTE>{1, 2, 3}));
    EXPECT_EQ(queue.Bytes(), 0u);
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_EQ(queue.Count(), 0u);
    // Callers are meant to check Count first; an empty queue still answers safely.
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_EQ(queue.Count(), 0u);
}

enum class Tail { None, Timed, Untimed, EndMarker };

struct MergeCase {
    const char* name;
    Tail tail;
    BOOL continuation;
    BOOL discontinuity;
    bool withMediaType;
    bool timed;
    bool merges;
};

TYPED_TEST(PacketQueueTest, UntimedContinuationMergesOnlyIntoTimedTail)
{
    const MergeCase cases[] = {
        {"into an empty queue", Tail::None, TRUE, FALSE, false, false, false},
        {"after a timed packet", Tail::Timed, TRUE, FALSE, false, false, true},
        {"after an untimed packet", Tail::Untimed, TRUE, FALSE, false, false, false},
        {"after the end marker", Tail::EndMarker, TRUE, FALSE, false, false, false},
        {"with a discontinuity", Tail::Timed, TRUE, TRUE, false, false, false},
        {"with a media type", Tail::Timed, TRUE, FALSE, true, false, false},
        {"with a time of its own", Tail::Timed, TRUE, FALSE, false, true, false},
        {"not marked as continuation", Tail::Timed, FALSE, FALSE, false, false, false},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        KPacketQueueT<TypeParam> queue;
        if (c.tail == Tail::Timed)
            queue.Push(MakePacket<TypeParam>({1, 2, 3}, 1000));
        else if (c.tail == Tail::Untimed)
            queue.Push(MakePacket<TypeParam>({1, 2, 3}));
        else if (c.tail == Tail::EndMarker)
            queue.Push(nullptr);
        const DWORD countBefore = queue.Count();
        const DWORD bytesBefore = queue.Bytes();

        std::unique_ptr<TypeParam> fragment = MakePacket<TypeParam>({7, 8}, c.timed ? 2000 : PACKET_NO_TIME, c.continuation);
        fragment->discontinuity = c.discontinuity;
        if (c.withMediaType) {
            AM_MEDIA_TYPE type = {};
            fragment->mediaType.reset(CreateMediaType(&type));
            ASSERT_NE(fragment->mediaType, nullptr);
        }
        queue.Push(fragment);
        EXPECT_EQ(fragment, nullptr);
        EXPECT_EQ(queue.Bytes(), bytesBefore + 2);
        EXPECT_EQ(queue.Count(), countBefore + (c.merges ? 0 : 1));
        EXPECT_TRUE(queue.TailIsPacket());

        if (c.merges) {
            std::unique_ptr<TypeParam> merged = queue.Pop();
            ASSERT_NE(merged, nullptr);
            EXPECT_EQ(merged->payload, (std::vector<BYTE>{1, 2, 3, 7, 8}));
            EXPECT_EQ(merged->start, 1000);
            EXPECT_EQ(queue.Bytes(), 0u);
        }
    }
}

TYPED_TEST(PacketQueueTest, ContinuationAfterItsPacketLeftTravelsAlone)
{
    KPacketQueueT<TypeParam> queue;
    queue.Push(MakePacket<TypeParam>({1}, 500));
    ASSERT_NE(queue.Pop(), nullptr);
    queue.Push(MakePacket<TypeParam>({2, 3}, PACKET_NO_TIME, TRUE));
    EXPECT_EQ(queue.Count(), 1u);
    std::unique_ptr<TypeParam> alone = queue.Pop();
    ASSERT_NE(alone, nullptr);
    EXPECT_FALSE(alone->HasTime());
    EXPECT_EQ(alone->payload, (std::vector<BYTE>{2, 3}));
}

// The worker takes queued entries in batches; the newest stays behind for the reader, so a
// fragment still joins it exactly as if the worker had taken one entry at a time.
TYPED_TEST(PacketQueueTest, ABatchTakenByTheWorkerLeavesTheNewestEntryToMergeInto)
{
    KPacketQueueT<TypeParam> queue;
    for (LONGLONG start : {100, 200, 300})
        queue.Push(MakePacket<TypeParam>({static_cast<BYTE>(start / 100)}, start));
    std::unique_ptr<TypeParam> first = queue.Pop();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->start, 100);
    EXPECT_EQ(queue.Count(), 2u);
    EXPECT_TRUE(queue.TailIsPacket());

    queue.Push(MakePacket<TypeParam>({9, 9}, PACKET_NO_TIME, TRUE));
    EXPECT_EQ(queue.Count(), 2u);
    EXPECT_EQ(queue.Bytes(), 4u);
    queue.Push(nullptr);
    EXPECT_FALSE(queue.TailIsPacket());
    std::unique_ptr<TypeParam> second = queue.Pop();
    std::unique_ptr<TypeParam> third = queue.Pop();
    ASSERT_TRUE(second && third);
    EXPECT_EQ(second->payload, (std::vector<BYTE>{2}));
    EXPECT_EQ(third->payload, (std::vector<BYTE>{3, 9, 9}));
    EXPECT_EQ(queue.Count(), 1u);
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.Bytes(), 0u);

    // Clear reaches what the worker had taken too.
    for (LONGLONG start : {1, 2, 3})
        queue.Push(MakePacket<TypeParam>({1, 2}, start));
    ASSERT_NE(queue.Pop(), nullptr);
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.Bytes(), 0u);
    EXPECT_EQ(queue.Pop(), nullptr);
}

// A packet taken again from the pool is a new packet in all but its payload's room: no flag,
// time or media type of its last use survives; the pool keeps no more bytes than it may.
TYPED_TEST(PacketQueueTest, APooledPacketComesBackAsNewWithItsRoom)
{
    KPacketPoolT<TypeParam> pool;
    std::vector<std::unique_ptr<TypeParam>> used;
    used.push_back(MakePacket<TypeParam>(std::vector<BYTE>(1000, 7), 500, TRUE));
    used.back()->streamNumber = 3;
    used.back()->discontinuity = used.back()->syncPoint = TRUE;
    CMediaType type;
    type.majortype = MEDIATYPE_Audio;
    used.back()->mediaType.reset(CreateMediaType(&type));
    TypeParam* sent = used.back().get();
    used.push_back(MakePacket<TypeParam>(std::vector<BYTE>(KPacketPoolT<TypeParam>::kMaxBytes, 1), 0));
    pool.Give(used);
    EXPECT_TRUE(used.empty());

    std::unique_ptr<TypeParam> again = pool.Take();
    ASSERT_EQ(again.get(), sent);
    EXPECT_TRUE(again->payload.empty());
    EXPECT_GE(again->payload.capacity(), 1000u);
    EXPECT_EQ(again->streamNumber, 0u);
    EXPECT_FALSE(again->discontinuity || again->syncPoint || again->continuation);
    EXPECT_FALSE(again->HasTime());
    EXPECT_EQ(again->stop, PACKET_NO_TIME);
    EXPECT_EQ(again->mediaType, nullptr);
    // The second packet would have taken the pool past its bytes: it was freed, not kept.
    std::unique_ptr<TypeParam> fresh = pool.Take();
    EXPECT_EQ(fresh->payload.capacity(), 0u);
}

TYPED_TEST(PacketQueueTest, ClearDropsPacketsTheirMediaTypesAndTheMarker)
{
    KPacketQueueT<TypeParam> queue;
    std::unique_ptr<TypeParam> packet = MakePacket<TypeParam>(std::vector<BYTE>(100, 1), 0);
    CMediaType type(&MEDIATYPE_Video);
    BYTE format[16] = {};
    type.SetFormat(format, sizeof format);
    packet->mediaType.reset(CreateMediaType(&type));
    ASSERT_NE(packet->mediaType, nullptr);
    queue.Push(packet);
    queue.Push(MakePacket<TypeParam>(std::vector<BYTE>(50, 2)));
    queue.Push(nullptr);
    ASSERT_EQ(queue.Count(), 3u);

    queue.Clear();
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.Bytes(), 0u);
    EXPECT_FALSE(queue.TailIsPacket());
    queue.Push(MakePacket<TypeParam>({9}, 0));
    EXPECT_EQ(queue.Count(), 1u);
    EXPECT_EQ(queue.Bytes(), 1u);
}

TEST(PacketQueueThreads, EveryByteArrivesInOrderAcrossThreads)
{
    constexpr int kPackets = 20000;
    KPacketQueue queue;
    std::vector<BYTE> sent;

    // The producer keeps to 64 entries and the consumer waits for pushes, as the reader and a
    // pin's worker do; the waits are long, so a wake-up that got lost shows as a slow run.
    constexpr DWORD kLimit = 64;
    constexpr DWORD kLongWaitMs = 1000;
    const auto begin = std::chrono::steady_clock::now();
    std::thread producer([&queue] {
        unsigned counter = 0;
        for (int i = 0; i < kPackets; ++i) {
            while (queue.Count() >= kLimit)
                queue.WaitForRoom(0xFFFFFFFF, kLimit, kLongWaitMs);
            // Every third packet is an untimed fragment that may or may not merge, depending on
            // whether the consumer has already taken the packet before it.
            const bool fragment = i % 3 == 2;
            std::vector<BYTE> payload(1 + i % 37);
            for (BYTE& b : payload)
                b = static_cast<BYTE>(counter++);
            queue.Push(MakePacket<KPacket>(std::move(payload), fragment ? PACKET_NO_TIME : i, fragment));
        }
        queue.Push(nullptr);
    });
    {
        unsigned counter = 0;
        for (int i = 0; i < kPackets; ++i)
            for (int j = 0; j < 1 + i % 37; ++j)
                sent.push_back(static_cast<BYTE>(counter++));
    }

    std::vector<BYTE> received;
    for (;;) {
        if (queue.Count() == 0) {
            queue.WaitUntilTakeable(1, kLongWaitMs);
            continue;
        }
        std::unique_ptr<KPacket> packet = queue.Pop();
        if (!packet)
            break;
        received.insert(received.end(), packet->payload.begin(), packet->payload.end());
    }
    producer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.Bytes(), 0u);
}

// Each wait ends when the other side has acted, not at its timeout; a reader ahead of the worker
// is woken once half the queue is free, not for every packet taken.
TEST(PacketQueueThreads, WaitsEndWhenTheOtherSideActs)
{
    using namespace std::chrono_literals;
    constexpr DWORD kLongWaitMs = 20000;
    KPacketQueue queue;

    // A worker is woken by a batch of entries, or by the reader's WakeTaker once it can take
    // something (two entries for one that keeps the newest packet back); the end marker alone is
    // enough.
    const auto waitingWorker = [&](DWORD needs) {
        return std::async(std::launch::async, [&queue, needs] {
            queue.WaitUntilTakeable(needs, kLongWaitMs);
            return queue.Count();
        });
    };
    auto worker = waitingWorker(2);
    std::this_thread::sleep_for(20ms);
    queue.Push(MakePacket<KPacket>({1}, 0));
    queue.WakeTaker();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(worker.wait_for(0s), std::future_status::timeout) << "woken with one entry";
    queue.Push(MakePacket<KPacket>({2}, 1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(worker.wait_for(0s), std::future_status::timeout) << "woken by a push short of a batch";
    queue.WakeTaker();
    ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(worker.get(), 2u);
    queue.Clear();

    worker = waitingWorker(1);
    std::this_thread::sleep_for(20ms);
    for (DWORD i = 0; i + 1 < KPacketQueue::kWakeBatch; ++i)
        queue.Push(MakePacket<KPacket>({1}, i));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(worker.wait_for(0s), std::future_status::timeout) << "woken short of a batch";
    queue.Push(MakePacket<KPacket>({1}, KPacketQueue::kWakeBatch));
    ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(worker.get(), KPacketQueue::kWakeBatch);
    queue.Clear();
    queue.Push(nullptr);
    const auto begin = std::chrono::steady_clock::now();
    queue.WaitUntilTakeable(2, kLongWaitMs);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    queue.Clear();

    for (int i = 0; i < 10; ++i)
        queue.Push(MakePacket<KPacket>({1, 2}, i));
    std::atomic<bool> woken{false};
    auto reader = std::async(std::launch::async, [&] {
        queue.WaitForRoom(0xFFFFFFFF, 10, kLongWaitMs);
        woken = true;
    });
    while (!queue.ReaderWaits())
        std::this_thread::sleep_for(1ms);
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(queue.Pop(), nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(woken) << "woken with 6 of 10 entries queued";
    ASSERT_NE(queue.Pop(), nullptr);
    EXPECT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(woken);

    // Bytes count as well as entries, and a short timeout ends the wait of a full queue.
    queue.Clear();
    queue.Push(MakePacket<KPacket>(std::vector<BYTE>(100), 0));
    const auto shortBegin = std::chrono::steady_clock::now();
    queue.WaitForRoom(100, 1000, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - shortBegin, 10s);
    EXPECT_EQ(queue.Count(), 1u);
}

}  // namespace
