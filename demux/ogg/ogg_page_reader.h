// Ogg pages out of a file through a sync buffer, each with the file position it starts
// at; reads go in fixed-size refills so that a search never reads far past what it needs.
#pragma once

#include "demux/ogg/ogg_framing.h"
#include "io/file.h"

class KOggPageReader {
public:
    static constexpr DWORD kRefill = 4096;
    // For reading on through a file: fewer, larger reads see the same pages.
    static constexpr DWORD kStreamingRefill = 0x10000;

    explicit KOggPageReader(KFileBase* file, DWORD refill = kRefill);
    ~KOggPageReader();
    KOggPageReader(const KOggPageReader&) = delete;
    KOggPageReader& operator=(const KOggPageReader&) = delete;

    // Forgets what was buffered and reads on from the position.
    void Restart(LONGLONG position);
    // Reads up to count bytes more into the sync state; the bytes read.
    DWORD Feed(DWORD count);
    // The next complete page from what is buffered, refilling from the file unless told not to;
    // false when no page is complete (at the end of the file, or of the buffer).
    bool NextPage(OggPage* page, bool refill = true);
    // Where the page NextPage gave last starts.
    LONGLONG PagePosition() const { return m_pagePosition; }
    // The file position after the last byte a page or a skip consumed.
    LONGLONG ConsumedPosition() const { return m_consumed; }
    // The file position after the last byte fed.
    LONGLONG FedPosition() const { return m_fed; }

private:
    KFileBase* m_file;
    LONGLONG m_knownSize = 0;
    DWORD m_refill;
    KOggSync m_sync;
    LONGLONG m_consumed = 0;
    LONGLONG m_fed = 0;
    LONGLONG m_pagePosition = 0;
};

// Tracks, for a stream fed one page at a time, the position of the page where each packet it
// gives out began (a packet may run over several pages).
class KOggPacketOrigin {
public:
    // Call before taking the page's packets out.
    void PageIn(const OggPage& page, LONGLONG position);
    // The page position where the next packet taken out began; call once per packet.
    LONGLONG NextPacket();
    // Call after the page's packets are all out.
    void PageDone(const OggPage& page);

private:
    LONGLONG m_pending = 0;    // where the packet still incomplete after the last page began
    LONGLONG m_page = 0;
    bool m_continued = false;
    int m_taken = 0;
};
