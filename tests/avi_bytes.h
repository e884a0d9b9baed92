// RIFF/AVI bytes built inline for the AVI tests: stream headers and formats, and a file of one
// "movi" list whose chunks an "idx1" or a standard index per stream lists in the order a test
// chooses (repeats and all).
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vmx::test::avi {

using Bytes = std::vector<BYTE>;

inline Bytes LE(std::uint64_t value, int width)
{
    Bytes out;
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
    return out;
}
inline Bytes U16(std::uint32_t value) { return LE(value, 2); }
inline Bytes U32(std::uint32_t value) { return LE(value, 4); }
inline Bytes Id(const char (&id)[5]) { return Bytes(id, id + 4); }

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A chunk with its data padded to an even length.
inline Bytes Chunk(const Bytes& id, const Bytes& data)
{
    Bytes out = Cat({id, U32(static_cast<std::uint32_t>(data.size())), data});
    if (data.size() & 1)
        out.push_back(0);
    return out;
}
inline Bytes List(const char (&type)[5], const Bytes& body) { return Chunk(Id("LIST"), Cat({Id(type), body})); }

// The 56-byte "strh".
inline Bytes StreamHeader(const char (&type)[5], std::uint32_t scale, std::uint32_t rate, std::uint32_t sampleSize = 0)
{
    return Cat({Id(type), U32(0), U32(0), U16(0), U16(0), U32(0), U32(scale), U32(rate), U32(0), U32(0), U32(0),
                U32(0xFFFFFFFF), U32(sampleSize), Bytes(8, 0)});
}

inline Bytes BitmapFormat(std::uint32_t compression, std::int32_t width, std::int32_t height)
{
    return Cat({U32(40), U32(static_cast<std::uint32_t>(width)), U32(static_cast<std::uint32_t>(height)), U16(1), U16(24),
                U32(compression), U32(static_cast<std::uint32_t>(width * height * 3)), Bytes(16, 0)});
}

inline Bytes WaveFormat(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint32_t bytesPerSecond,
                        std::uint16_t blockAlign, std::uint16_t bits)
{
    return Cat({U16(tag), U16(channels), U32(rate), U32(bytesPerSecond), U16(blockAlign), U16(bits), U16(0)});
}

class AviFile {
public:
    struct Listed {
        std::size_t chunk;  // position in the movi list
        bool key = true;
    };
    enum class Index { Idx1, StandardIndex };

    // Returns the stream's number.
    int AddStream(Bytes header, Bytes format)
    {
        m_streams.push_back({std::move(header), std::move(format)});
        return static_cast<int>(m_streams.size()) - 1;
    }
    // Returns the chunk's position in the movi list.
    std::size_t AddChunk(int stream, const char (&suffix)[3], Bytes payload)
    {
        const Bytes id = {static_cast<BYTE>('0' + stream / 10), static_cast<BYTE>('0' + stream % 10),
                          static_cast<BYTE>(suffix[0]), static_cast<BYTE>(suffix[1])};
        m_chunks.push_back({stream, id, std::move(payload)});
        return m_chunks.size() - 1;
    }
    // Lists a chunk in its stream's index; without any listing every chunk is listed once, as a
    // key frame, in file order.
    void List(std::size_t chunk, bool key = true) { m_listed.push_back({chunk, key}); }

    // An "idx1" after the movi list (offsets counted from the list's type), or a standard index
    // per stream in its "strl"; the latter is read only from files that go on past their RIFF,
    // so a chunk follows it.
    Bytes Build(Index index = Index::Idx1) const
    {
        std::vector<Listed> listed = m_listed;
        if (listed.empty())
            for (std::size_t i = 0; i < m_chunks.size(); ++i)
                listed.push_back({i, true});
        // The header's size does not depend on the offsets it lists: lay the file out once to
        // find the movi list, then again with the chunks' offsets.
        const Bytes probe = Header(index, listed, {});
        const std::size_t moviType = 12 + probe.size() + 8;
        std::vector<std::size_t> chunkAt;  // of each chunk's header
        std::size_t at = moviType + 4;
        Bytes movi;
        for (const MoviChunk& chunk : m_chunks) {
            chunkAt.push_back(at);
            const Bytes bytes = Chunk(chunk.id, chunk.payload);
            movi.insert(movi.end(), bytes.begin(), bytes.end());
            at += bytes.size();
        }
        Bytes body = Cat({Header(index, listed, chunkAt), avi::List("movi", movi)});
        if (index == Index::Idx1) {
            Bytes entries;
            for (const Listed& entry : listed)
                entries = Cat({entries, m_chunks[entry.chunk].id, U32(entry.key ? 0x10 : 0),
                               U32(static_cast<std::uint32_t>(chunkAt[entry.chunk] - moviType)),
                               U32(static_cast<std::uint32_t>(m_chunks[entry.chunk].payload.size()))});
            body = Cat({body, Chunk(Id("idx1"), entries)});
        }
        Bytes file = Cat({Id("RIFF"), U32(static_cast<std::uint32_t>(body.size() + 4)), Id("AVI "), body});
        if (index == Index::StandardIndex)
            file = Cat({file, Chunk(Id("JUNK"), Bytes(4, 0))});
        return file;
    }

    std::string Save(const std::string& path, Index index = Index::Idx1) const
    {
        const Bytes bytes = Build(index);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

private:
    struct Stream {
        Bytes header;
        Bytes format;
    };
    struct MoviChunk {
        int stream;
        Bytes id;
        Bytes payload;
    };

    // The "hdrl" list; chunkAt empty while the layout is being found.
    Bytes Header(Index index, const std::vector<Listed>& listed, const std::vector<std::size_t>& chunkAt) const
    {
        const Bytes avih = Cat({U32(40000), U32(0), U32(0), U32(0x10), U32(0), U32(0),
                                U32(static_cast<std::uint32_t>(m_streams.size())), Bytes(28, 0)});
        Bytes lists = Chunk(Id("avih"), avih);
        for (std::size_t s = 0; s < m_streams.size(); ++s) {
            Bytes strl = Cat({Chunk(Id("strh"), m_streams[s].header), Chunk(Id("strf"), m_streams[s].format)});
            if (index == Index::StandardIndex) {
                // Offsets from a base of 0: each entry names its chunk's data directly.
                Bytes entries;
                Bytes chunkId(4, 0);
                std::uint32_t count = 0;
                for (const Listed& entry : listed) {
                    const MoviChunk& chunk = m_chunks[entry.chunk];
                    if (chunk.stream != static_cast<int>(s))
                        continue;
                    if (count++ == 0)
                        chunkId = chunk.id;
                    const std::size_t data = chunkAt.empty() ? 0 : chunkAt[entry.chunk] + 8;
                    entries = Cat({entries, U32(static_cast<std::uint32_t>(data)),
                                   U32(static_cast<std::uint32_t>(chunk.payload.size()) | (entry.key ? 0 : 0x80000000u))});
                }
                strl = Cat({strl, Chunk(Id("indx"), Cat({U16(2), Bytes{0, 1}, U32(count), chunkId, LE(0, 8), U32(0), entries}))});
            }
            lists = Cat({lists, avi::List("strl", strl)});
        }
        return avi::List("hdrl", lists);
    }

    std::vector<Stream> m_streams;
    std::vector<MoviChunk> m_chunks;
    std::vector<Listed> m_listed;
};

}  // namespace vmx::test::avi
