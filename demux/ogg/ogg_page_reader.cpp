#include "demux/ogg/ogg_page_reader.h"

#include <cstring>

KOggPageReader::KOggPageReader(KFileBase* file) : m_file(file) { ogg_sync_init(&m_sync); }

KOggPageReader::~KOggPageReader() { ogg_sync_clear(&m_sync); }

void KOggPageReader::Restart(LONGLONG position)
{
    ogg_sync_reset(&m_sync);
    const LONGLONG landed = m_file->Seek(position);
    m_consumed = m_fed = m_pagePosition = landed < 0 ? 0 : landed;
}

DWORD KOggPageReader::Feed(DWORD count)
{
    char* buffer = ogg_sync_buffer(&m_sync, static_cast<long>(count));
    if (!buffer)
        return 0;
    const DWORD got = m_file->Read(buffer, count);
    ogg_sync_wrote(&m_sync, static_cast<long>(got));
    m_fed += got;
    return got;
}

bool KOggPageReader::NextPage(ogg_page* page, bool refill)
{
    for (;;) {
        const long result = ogg_sync_pageseek(&m_sync, page);
        if (result > 0) {
            m_pagePosition = m_consumed;
            m_consumed += result;
            return true;
        }
        if (result < 0) {
            m_consumed -= result;  // bytes skipped before a page could start
            continue;
        }
        if (!refill || Feed(kRefill) == 0)
            return false;
    }
}

void KOggPacketOrigin::PageIn(const ogg_page& page, LONGLONG position)
{
    m_page = position;
    m_continued = ogg_page_continued(&page) != 0;
    m_taken = 0;
}

LONGLONG KOggPacketOrigin::NextPacket()
{
    return m_taken++ == 0 && m_continued ? m_pending : m_page;
}

void KOggPacketOrigin::PageDone(const ogg_page& page)
{
    // A packet starts on this page when it is not a continuation or one ended on it; the last
    // lacing value 255 means the page's last packet goes on to the next page.
    const int segments = page.header_len > 26 ? page.header[26] : 0;
    const bool openTail = segments > 0 && page.header_len >= 27 + segments && page.header[26 + segments] == 255;
    if (openTail && (!m_continued || m_taken > 0))
        m_pending = m_page;
}
