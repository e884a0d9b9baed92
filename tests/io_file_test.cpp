#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "io/cache_file.h"
#include "io/file.h"

namespace {

namespace fs = std::filesystem;

class FileReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device entropy;
        dir_ = fs::temp_directory_path() /
               ("vmx-io-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        ASSERT_TRUE(fs::create_directory(dir_));
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Random bytes, so that a copy from a wrong offset never matches by accident.
    static std::vector<BYTE> Content(size_t size, unsigned seed = 7)
    {
        std::mt19937 generator(seed);
        std::vector<BYTE> bytes(size);
        for (BYTE& b : bytes)
            b = static_cast<BYTE>(generator());
        return bytes;
    }

    // Writes the bytes to a file of that name and opens it with the reader.
    template <class Reader>
    testing::AssertionResult WriteAndOpen(Reader& file, const std::string& name, const std::vector<BYTE>& bytes)
    {
        if (file.Open(Write(name, bytes).c_str()))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "cannot open " << name;
    }

    // A one-byte read, so that the window holds what follows the position.
    static void FillWindowAt(KCacheFile& file, LONGLONG position)
    {
        BYTE one = 0;
        file.Seek(position);
        file.Read(&one, 1);
    }

    std::u16string Write(const std::string& name, const std::vector<BYTE>& bytes, bool append = false)
    {
        fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good());
        return path.u16string();
    }

    static std::vector<BYTE> Slice(const std::vector<BYTE>& bytes, size_t offset, size_t count)
    {
        return {bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                bytes.begin() + static_cast<std::ptrdiff_t>(offset + count)};
    }

    fs::path dir_;
};

// ---- KFile ----

TEST_F(FileReaderTest, PlainFileReadsSeeksAndReportsSize)
{
    std::vector<BYTE> content = Content(3000);
    std::u16string path = Write("plain.bin", content);
    KFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_EQ(file.Kind(), KFileKind::Plain);
    EXPECT_EQ(std::u16string(file.Path()), path);
    EXPECT_EQ(file.GetSize(), 3000);

    EXPECT_EQ(file.Seek(1000), 1000);
    std::vector<BYTE> buffer(64);
    EXPECT_EQ(file.Read(buffer.data(), 64), 64u);
    EXPECT_EQ(buffer, Slice(content, 1000, 64));
    EXPECT_EQ(file.Tell(), 1064);

    EXPECT_EQ(file.Seek(2990), 2990);
    EXPECT_EQ(file.Read(buffer.data(), 64), 10u);
    EXPECT_EQ(file.Read(buffer.data(), 64), 0u);
    EXPECT_EQ(file.SystemReads(), 3u);
    EXPECT_EQ(file.Seek(-1), -1);
}

TEST_F(FileReaderTest, PlainFileClosedOrFailedOpenAnswersZero)
{
    KFile file;
    std::u16string missing = (dir_ / "missing.bin").u16string();
    EXPECT_FALSE(file.Open(missing.c_str()));
    EXPECT_FALSE(file.Open(nullptr));
    EXPECT_FALSE(file.Open(dir_.u16string().c_str()));
    BYTE byte = 0;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_EQ(file.Seek(10), 0);
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(file.GetSize(), 0);
    EXPECT_EQ(file.Path()[0], u'\0');
    EXPECT_TRUE(file.Close());

    std::u16string path = Write("a.bin", Content(10));
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(file.Path()[0], u'\0');
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_TRUE(file.Close());
}

TEST_F(FileReaderTest, OpenWriteTruncatesAndWritesRawBytes)
{
    std::u16string path = Write("out.bin", Content(500));
    std::vector<BYTE> replacement = Content(40, 99);
    KFile writer;
    ASSERT_TRUE(writer.OpenWrite(path.c_str()));
    EXPECT_EQ(writer.Write(replacement.data(), 40), 40u);
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(writer.Write(replacement.data(), 40), 0u);

    KFile reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
    EXPECT_EQ(reader.GetSize(), 40);
    std::vector<BYTE> back(40);
    EXPECT_EQ(reader.Read(back.data(), 40), 40u);
    EXPECT_EQ(back, replacement);
}

TEST_F(FileReaderTest, OverlongPathOpensAndKeepsFirst259Characters)
{
    fs::path deep = dir_ / std::string(200, 'd');
    ASSERT_TRUE(fs::create_directory(deep));
    fs::path file = deep / (std::string(100, 'f') + ".bin");
    std::ofstream(file, std::ios::binary) << "xyz";
    std::u16string path = file.u16string();
    ASSERT_GT(path.size(), 259u);

    KFile reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
    EXPECT_EQ(std::u16string(reader.Path()), path.substr(0, 259));
    EXPECT_EQ(reader.GetSize(), 3);
}

TEST_F(FileReaderTest, NewInstanceIsAnUnopenedReaderOfTheSameKind)
{
    std::u16string path = Write("a.bin", Content(10));
    KFile plain;
    KCacheFile cached(512000);
    ASSERT_TRUE(plain.Open(path.c_str()));
    ASSERT_TRUE(cached.Open(path.c_str()));

    std::unique_ptr<KFileBase> plainCopy = plain.NewInstance();
    std::unique_ptr<KFileBase> cachedCopy = cached.NewInstance();
    auto* asPlain = dynamic_cast<KFile*>(plainCopy.get());
    auto* asCached = dynamic_cast<KCacheFile*>(cachedCopy.get());
    ASSERT_NE(asPlain, nullptr);
    ASSERT_NE(asCached, nullptr);
    EXPECT_EQ(asPlain->Kind(), KFileKind::Plain);
    EXPECT_EQ(asCached->Kind(), KFileKind::Cached);
    EXPECT_FALSE(asPlain->IsOpen());
    EXPECT_FALSE(asCached->IsOpen());
    EXPECT_EQ(asCached->Capacity(), 2048u);
}

// ---- KCacheFile ----

struct WindowStep {
    LONGLONG position;
    DWORD count;
    std::uint64_t systemReadsAfter;  // cumulative
    LONGLONG windowStartAfter;
    LONGLONG windowLengthAfter;
};

struct WindowCase {
    const char* name;
    std::vector<WindowStep> steps;
};

TEST_F(FileReaderTest, CacheWindowRefillsOnlyWhereARequestLeavesIt)
{
    const std::vector<BYTE> content = Content(10000);
    std::u16string path = Write("window.bin", content);
    const WindowCase cases[] = {
        {"small reads inside one window", {{0, 1, 1, 0, 2048}, {2047, 1, 1, 0, 2048}, {2048, 1, 2, 2048, 2048}}},
        {"large read bypasses the window for whole chunks", {{100, 5000, 3, 4196, 2048}}},
        {"read exactly the capacity uses the window", {{0, 2048, 1, 0, 2048}}},
        {"one byte over the capacity reads one chunk direct", {{10, 2049, 2, 2058, 2048}}},
        {"window head, direct middle, refilled tail", {{0, 1, 1, 0, 2048}, {1000, 5000, 3, 4096, 2048}}},
        {"window shrinks to what is left at the end", {{9900, 10, 1, 9900, 100}, {9950, 50, 1, 9900, 100}}},
        {"backward read outside the window refills", {{4000, 8, 1, 4000, 2048}, {3999, 2, 2, 3999, 2048}}},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(c.name);
        KCacheFile file(2048);
        ASSERT_TRUE(file.Open(path.c_str()));
        for (const WindowStep& step : c.steps) {
            std::vector<BYTE> buffer(step.count);
            EXPECT_EQ(file.Seek(step.position), step.position);
            EXPECT_EQ(file.Read(buffer.data(), step.count), step.count);
            EXPECT_EQ(buffer, Slice(content, static_cast<size_t>(step.position), step.count));
            EXPECT_EQ(file.Tell(), step.position + step.count);
            EXPECT_EQ(file.SystemReads(), step.systemReadsAfter);
            EXPECT_EQ(file.WindowStart(), step.windowStartAfter);
            EXPECT_EQ(file.WindowLength(), step.windowLengthAfter);
        }
    }
}

TEST_F(FileReaderTest, CacheReadBypassingWindowTakesWhatTheWindowHoldsAndReadsTheRestDirect)
{
    const std::vector<BYTE> content = Content(10000);
    KCacheFile file(2048);
    ASSERT_TRUE(WriteAndOpen(file, "bypass.bin", content));
    std::vector<BYTE> buffer(3000);
    // Window empty: one direct read, the window stays empty.
    file.Seek(500);
    EXPECT_EQ(file.ReadBypassingWindow(buffer.data(), 3000), 3000u);
    EXPECT_EQ(buffer, Slice(content, 500, 3000));
    EXPECT_EQ(file.SystemReads(), 1u);
    EXPECT_EQ(file.WindowLength(), 0);
    // Window at 4000: its part is copied, the rest read direct, the window left where it was.
    FillWindowAt(file, 4000);
    file.Seek(5500);
    EXPECT_EQ(file.ReadBypassingWindow(buffer.data(), 3000), 3000u);
    EXPECT_EQ(buffer, Slice(content, 5500, 3000));
    EXPECT_EQ(file.SystemReads(), 3u);
    EXPECT_EQ(file.WindowStart(), 4000);
    EXPECT_EQ(file.Tell(), 8500);
    // Cut at the end of the file.
    file.Seek(9000);
    EXPECT_EQ(file.ReadBypassingWindow(buffer.data(), 3000), 1000u);
    EXPECT_EQ(Slice(buffer, 0, 1000), Slice(content, 9000, 1000));
}

// Small packets read in order cost a system read per window, not one each, also right after a
// jump away from the window (an index at the end of the file) and when two tracks interleave a
// little out of file order; a far jump, a large payload and a small one after it read only
// what they need.
TEST_F(FileReaderTest, CacheSmallPayloadsReadInOrderGoThroughTheWindow)
{
    const std::vector<BYTE> content = Content(20000);
    KCacheFile file(2048);
    ASSERT_TRUE(WriteAndOpen(file, "packets.bin", content));
    FillWindowAt(file, 18000);
    struct Step {
        LONGLONG position;
        DWORD count;
        std::uint64_t systemReadsAfter;
        LONGLONG windowStartAfter;
    };
    const Step steps[] = {
        {5000, 100, 2, 18000},  // far from the window: read direct, the window kept
        {5100, 100, 3, 5100},   // on from the read before: the window fills from here
        {5200, 100, 3, 5100}, {5900, 120, 3, 5100}, {7000, 100, 3, 5100},
        {4900, 100, 4, 4900},   // the other track, a little behind: one refill
        {5300, 100, 4, 4900},
        {7200, 600, 5, 4900},   // large against the window: direct
        {7800, 100, 6, 4900},   // small after a large one: direct, the window kept
        {12000, 100, 7, 4900},  // a far jump: direct
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.position);
        std::vector<BYTE> buffer(step.count);
        file.Seek(step.position);
        EXPECT_EQ(file.ReadPayload(buffer.data(), step.count), step.count);
        EXPECT_EQ(buffer, Slice(content, static_cast<size_t>(step.position), step.count));
        EXPECT_EQ(file.SystemReads(), step.systemReadsAfter);
        EXPECT_EQ(file.WindowStart(), step.windowStartAfter);
    }
}

TEST_F(FileReaderTest, CacheSeekAndReadAreClampedToTheFile)
{
    const std::vector<BYTE> content = Content(1000);
    KCacheFile file;
    ASSERT_TRUE(WriteAndOpen(file, "clamp.bin", content));
    EXPECT_EQ(file.GetSize(), 1000);

    EXPECT_EQ(file.Seek(-5), 0);
    EXPECT_EQ(file.Tell(), 0);

    EXPECT_EQ(file.Seek(1100), 1000);
    BYTE buffer[10] = {};
    EXPECT_EQ(file.Read(buffer, 10), 0u);
    EXPECT_EQ(file.Tell(), 1000);

    EXPECT_EQ(file.Seek(996), 996);
    EXPECT_EQ(file.Read(buffer, 10), 4u);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 4), Slice(content, 996, 4));
    EXPECT_EQ(file.Tell(), 1000);
}

TEST_F(FileReaderTest, CacheSeesBytesAppendedAfterOpen)
{
    const std::vector<BYTE> content = Content(6000);
    KCacheFile file;
    ASSERT_TRUE(WriteAndOpen(file, "grow.bin", Slice(content, 0, 3000)));
    std::vector<BYTE> buffer(100);
    ASSERT_EQ(file.Seek(2950), 2950);
    ASSERT_EQ(file.Read(buffer.data(), 100), 50u);

    Write("grow.bin", Slice(content, 3000, 2000), true);
    // A request straddling the old end sees the new bytes, even with the old tail still in the window.
    ASSERT_EQ(file.Seek(2990), 2990);
    EXPECT_EQ(file.Read(buffer.data(), 100), 100u);
    EXPECT_EQ(buffer, Slice(content, 2990, 100));

    // A seek past the size last seen lands in the grown file rather than on its old end.
    Write("grow.bin", Slice(content, 5000, 1000), true);
    EXPECT_EQ(file.Seek(5500), 5500);
    EXPECT_EQ(file.Read(buffer.data(), 100), 100u);
    EXPECT_EQ(buffer, Slice(content, 5500, 100));
}

TEST_F(FileReaderTest, CacheWithoutWindowMakesOneSystemReadPerRequest)
{
    const std::vector<BYTE> content = Content(6000);
    KCacheFile file(0);
    ASSERT_TRUE(WriteAndOpen(file, "direct.bin", content));
    std::vector<BYTE> buffer(5000);
    ASSERT_EQ(file.Seek(50), 50);
    EXPECT_EQ(file.Read(buffer.data(), 5000), 5000u);
    EXPECT_EQ(buffer, Slice(content, 50, 5000));
    EXPECT_EQ(file.SystemReads(), 1u);
    EXPECT_EQ(file.Tell(), 5050);
    EXPECT_EQ(file.Read(buffer.data(), 1), 1u);
    EXPECT_EQ(buffer[0], content[5050]);
    EXPECT_EQ(file.SystemReads(), 2u);
    EXPECT_EQ(file.WindowLength(), 0);
}

TEST_F(FileReaderTest, CacheShortSystemReadStopsAfterTheLastWholeChunk)
{
    const std::vector<BYTE> content = Content(10000);
    KCacheFile file;
    ASSERT_TRUE(WriteAndOpen(file, "shrink.bin", content));
    fs::resize_file(dir_ / "shrink.bin", 3000);

    // The reader still believes in 10000 bytes: it reports the count it set out to copy, but only
    // the first chunk is good and the position has moved past it alone.
    std::vector<BYTE> buffer(5000, 0xEE);
    ASSERT_EQ(file.Seek(100), 100);
    EXPECT_EQ(file.Read(buffer.data(), 5000), 5000u);
    EXPECT_EQ(Slice(buffer, 0, 2048), Slice(content, 100, 2048));
    EXPECT_EQ(file.Tell(), 2148);
    EXPECT_EQ(Slice(buffer, 2900, 2100), std::vector<BYTE>(2100, 0xEE));
}

TEST_F(FileReaderTest, CacheClosedOrNullBufferReadsNothing)
{
    KCacheFile file;
    BYTE byte = 0;
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_EQ(file.Seek(100), 0);
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(file.GetSize(), 0);

    std::u16string path = Write("a.bin", Content(3000));
    ASSERT_TRUE(file.Open(path.c_str()));
    ASSERT_EQ(file.Seek(10), 10);
    EXPECT_EQ(file.Read(nullptr, 5), 0u);
    EXPECT_EQ(file.Tell(), 10);
    EXPECT_EQ(file.Read(&byte, 1), 1u);

    EXPECT_TRUE(file.Close());
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(file.WindowLength(), 0);
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_EQ(file.Seek(100), 0);

    std::u16string missing = (dir_ / "missing.bin").u16string();
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_FALSE(file.Open(missing.c_str()));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Read(&byte, 1), 0u);
}

TEST_F(FileReaderTest, CacheReopenDropsTheOldWindow)
{
    const std::vector<BYTE> first = Content(4000, 1);
    const std::vector<BYTE> second = Content(4000, 2);
    std::u16string firstPath = Write("first.bin", first);
    std::u16string secondPath = Write("second.bin", second);
    KCacheFile file;
    std::vector<BYTE> buffer(16);
    ASSERT_TRUE(file.Open(firstPath.c_str()));
    ASSERT_EQ(file.Read(buffer.data(), 16), 16u);
    ASSERT_EQ(file.Seek(500), 500);

    ASSERT_TRUE(file.Open(secondPath.c_str()));
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(file.Read(buffer.data(), 16), 16u);
    EXPECT_EQ(buffer, Slice(second, 0, 16));
}

}  // namespace
