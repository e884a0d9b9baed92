#include "demux/ogg/ogg_page_reader.h"

#include <cstring>

KOggPageReader::KOggPageReader(KFileBase* file, DWORD refill) : m_file(file), m_refill(refill) {}

KOggPageReader::~KOggPageReader() = default;

void KOggPageReader::Restart(LONGLONG position)
{
    m_sync.Reset();
    const LONGLONG landed = m_file->Seek(position);
    m_consumed = m_fed = m_pagePosition = landed < 0 ? 0 : landed;
}

DWORD KOggPageReader::Feed(DWORD count)
{
    // The sync buffer grows to what a refill asks for: asking no more than the file holds keeps a
    // small file from paying for a whole zeroed window on every reader. The size is asked of the
    // system only when a refill would pass the one known, so a file that grows is still read on.
    if (m_fed + static_cast<LONGLONG>(count) > m_knownSize)
        m_knownSize = m_file->GetSize();
    count = BytesHeld(count, m_fed, m_knownSize);
    if (count == 0)
        return 0;
    std::uint8_t* buffer = m_sync.Buffer(count);
    const DWORD got = m_file->Read(buffer, count);
    m_sync.Wrote(got);
    m_fed += got;
    return got;
}

bool KOggPageReader::NextPage(OggPage* page, bool refill)
{
    for (;;) {
        const long result = m_sync.PageSeek(page);
        if (result > 0) {
            m_pagePosition = m_consumed;
            m_consumed += result;
            return true;
        }
        if (result < 0) {
            m_consumed -= result;  // bytes skipped before a page could start
            continue;
        }
        if (!refill || Feed(m_refill) == 0)
            return false;
    }
}

void KOggPacketOrigin::PageIn(const OggPage& page, LONGLONG position)
{
    m_page = position;
    m_continued = page.Continued();
    m_taken = 0;
}

LONGLONG KOggPacketOrigin::NextPacket()
{
    return m_taken++ == 0 && m_continued ? m_pending : m_page;
}

void KOggPacketOrigin::PageDone(const OggPage& page)
{
    // A packet starts on this page when it is not a continuation or one ended on it; the last
    // lacing value 255 means the page's last packet goes on to the next page.
    const int segments = page.Segments();
    const bool openTail = segments > 0 && page.Lacing(segments - 1) == 255;
    if (openTail && (!m_continued || m_taken > 0))
        m_pending = m_page;
}
