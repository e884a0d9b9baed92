#include "demux/avi/avi_read_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "io/byte_reader.h"

namespace {

constexpr double kUnitsPerSecond = 10000000.0;

std::uint32_t FormatU32(const std::vector<BYTE>& format, std::size_t at)
{
    return format.size() >= at + 4 ? ReadLE32(format.data() + at) : 0;
}

std::uint16_t FormatU16(const std::vector<BYTE>& format, std::size_t at)
{
    return format.size() >= at + 2 ? ReadLE16(format.data() + at) : 0;
}

}  // namespace

void KAvi2ReadStream::Finish(std::uint32_t streamNumber)
{
    if (IsAudio()) {
        // VBR MP3 with a block align of 1152 holds one frame of 1152 samples a chunk. Some muxers
        // still write a scale of 1 with a rate of samples (or bytes) per second, which would time
        // it by its bytes: the frame rule wins, also when the rate equals the sample rate.
        const std::uint32_t samplesPerSec = FormatU32(format, 4);
        if (FormatU16(format, 0) == 0x55 && FormatU16(format, 12) == 1152 && header.dwScale == 1) {
            header.dwScale = 1152;
            header.dwRate = samplesPerSec;
        }
    }
    rate = header.dwScale ? static_cast<double>(header.dwRate) / header.dwScale : 1.0;
    if (IsAudio() && header.dwSampleSize != 0)
        rate = FormatU32(format, 8);  // nAvgBytesPerSec
    number = streamNumber;
    if (streamNumber <= 100) {
        twoDigits = {static_cast<char>('0' + streamNumber / 10 % 10), static_cast<char>('0' + streamNumber % 10)};
        const auto digits = static_cast<std::uint32_t>(static_cast<unsigned char>(twoDigits[0]))
            | (static_cast<std::uint32_t>(static_cast<unsigned char>(twoDigits[1])) << 8);
        const auto suffix = [](char a, char b) {
            return (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 16)
                | (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 24);
        };
        // Uncompressed video is "db", compressed "dc", audio "wb".
        if (IsVideo())
            chunkId = digits | suffix('d', FormatU32(format, 16) == 0 ? 'b' : 'c');
        else if (IsAudio())
            chunkId = digits | suffix('w', 'b');
    }
}

void KAvi2ReadStream::Add(std::uint64_t offset, std::uint32_t size, bool key, bool repeats)
{
    CAutoLock lock(&m_lock);
    std::uint64_t before = 0;
    if (!m_index.empty()) {
        const AviIndexEntry& last = m_index.back();
        // Entries come in file order: one before the last is damage. An index entry at the same
        // offset is kept: muxers list a chunk again for a repeated frame, and dropping it would
        // make every later frame of the stream play one frame early.
        if (offset < last.offset || (offset == last.offset && !repeats))
            return;
        before = last.bytesBefore + last.size;
    }
    m_index.push_back({offset, size, key ? 1u : 0u, before});
}

std::size_t KAvi2ReadStream::Count()
{
    CAutoLock lock(&m_lock);
    return m_index.size();
}

REFERENCE_TIME KAvi2ReadStream::TimeOf(std::size_t k, std::uint64_t bytes) const
{
    const double unitsPerSecond = rate > 0 ? rate : 1.0;
    const double seconds = (ByteTimed() ? static_cast<double>(bytes) : static_cast<double>(k)) / unitsPerSecond;
    const double time = seconds * kUnitsPerSecond;
    return time < static_cast<double>(std::numeric_limits<REFERENCE_TIME>::max()) ? static_cast<REFERENCE_TIME>(time)
                                                                                  : std::numeric_limits<REFERENCE_TIME>::max();
}

REFERENCE_TIME KAvi2ReadStream::TimeAt(std::size_t k)
{
    CAutoLock lock(&m_lock);
    if (k < m_index.size())
        return TimeOf(k, m_index[k].bytesBefore);
    if (m_index.empty())
        return 0;
    return TimeOf(m_index.size(), m_index.back().bytesBefore + m_index.back().size);
}

bool KAvi2ReadStream::NextTime(REFERENCE_TIME* start)
{
    CAutoLock lock(&m_lock);
    if (m_position >= m_index.size())
        return false;
    *start = TimeOf(m_position, m_index[m_position].bytesBefore);
    return true;
}

bool KAvi2ReadStream::Take(AviIndexEntry* entry, REFERENCE_TIME* start, REFERENCE_TIME* stop)
{
    CAutoLock lock(&m_lock);
    if (m_position >= m_index.size())
        return false;
    *entry = m_index[m_position];
    *start = TimeOf(m_position, entry->bytesBefore);
    *stop = TimeOf(m_position + 1, entry->bytesBefore + entry->size);
    ++m_position;
    return true;
}

REFERENCE_TIME KAvi2ReadStream::SeekTo(REFERENCE_TIME t, bool forward)
{
    CAutoLock lock(&m_lock);
    const std::size_t count = m_index.size();
    if (count == 0 || t <= 0) {
        m_position = 0;
        return 0;
    }
    // Whole seconds of the target, in the stream's units (chunks, or bytes for byte-timed audio).
    const double units = std::floor(static_cast<double>(t / 10000000)) * (rate > 0 ? rate : 1.0);
    std::size_t p = 0;
    if (ByteTimed()) {
        const std::uint64_t total = m_index.back().bytesBefore + m_index.back().size;
        const double bytes = std::min(units, static_cast<double>(total));
        const auto target = static_cast<std::uint64_t>(bytes);
        p = total ? std::min<std::size_t>(static_cast<std::size_t>(bytes / static_cast<double>(total) * static_cast<double>(count)), count - 1) : 0;
        if (m_index[p].bytesBefore <= target) {
            while (p + 1 < count && m_index[p + 1].bytesBefore <= target)
                ++p;
        } else {
            while (p > 0 && m_index[p].bytesBefore >= target)
                --p;
        }
    } else {
        p = static_cast<std::size_t>(std::min(units, static_cast<double>(count - 1)));
    }
    if (IsVideo()) {
        if (forward) {
            while (p < count && !m_index[p].key)
                ++p;
        } else {
            std::size_t back = p + 1;
            while (back > 0 && !m_index[back - 1].key)
                --back;
            p = back > 0 ? back - 1 : count;
        }
    }
    m_position = std::min(p, count);
    return m_position < count ? TimeOf(m_position, m_index[m_position].bytesBefore)
                              : TimeOf(count, m_index.back().bytesBefore + m_index.back().size);
}

std::uint32_t KAvi2ReadStream::BufferSize() const
{
    std::uint64_t size = 0;
    if (IsVideo())
        size = static_cast<std::uint64_t>(FormatU32(format, 4)) * static_cast<std::uint32_t>(std::abs(static_cast<std::int32_t>(FormatU32(format, 8)))) * 4;
    else if (IsAudio())
        size = static_cast<std::uint64_t>(FormatU16(format, 2)) * FormatU32(format, 4) * 4;
    size = std::max<std::uint64_t>(size, 2ull * header.dwSuggestedBufferSize);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0x7FFFFFFF));
}
