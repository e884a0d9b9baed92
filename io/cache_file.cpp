#include "io/cache_file.h"

#include <algorithm>
#include <cstring>

KCacheFile::KCacheFile(DWORD capacity) : KFile(KFileKind::Cached), window_(capacity), capacity_(capacity) {}

KCacheFile::~KCacheFile()
{
    KCacheFile::Close();
}

std::unique_ptr<KFileBase> KCacheFile::NewInstance() const
{
    return std::make_unique<KCacheFile>();
}

void KCacheFile::ResetWindow()
{
    windowStart_ = 0;
    windowLength_ = 0;
    lastReadEnd_ = -1;
}

BOOL KCacheFile::Open(LPCWSTR path)
{
    KCacheFile::Close();
    BOOL opened = KFile::Open(path);
    if (opened)
        knownSize_ = KFile::GetSize();
    return opened;
}

BOOL KCacheFile::Close()
{
    ResetWindow();
    position_ = 0;
    knownSize_ = 0;
    return KFile::Close();
}

LONGLONG KCacheFile::GetSize()
{
    knownSize_ = KFile::GetSize();
    return knownSize_;
}

LONGLONG KCacheFile::Seek(LONGLONG position)
{
    // The file may have grown since the size was last asked.
    if (position >= knownSize_)
        knownSize_ = KFile::GetSize();
    position_ = std::clamp<LONGLONG>(position, 0, knownSize_);
    return position_;
}

DWORD KCacheFile::CopyFromWindow(BYTE* target, DWORD wanted)
{
    if (windowLength_ == 0 || position_ < windowStart_ || position_ >= windowStart_ + windowLength_)
        return 0;
    LONGLONG offset = position_ - windowStart_;
    DWORD copied = static_cast<DWORD>(std::min<LONGLONG>(wanted, windowLength_ - offset));
    std::memcpy(target, window_.data() + offset, copied);
    position_ += copied;
    return copied;
}

void KCacheFile::EnlargeWindow(DWORD capacity)
{
    if (capacity <= capacity_)
        return;
    window_.resize(capacity);
    capacity_ = capacity;
}

DWORD KCacheFile::ReadPayload(void* buffer, DWORD count)
{
    // A payload small against the window that lies within a window of the present one or of the
    // read before is read ahead with its neighbours: the tracks of an interleaved file move
    // forward together, one a little ahead of the other in the file. A jump farther (the first
    // payload after an index at the file's end, another track's data far away) reads only what
    // it needs and keeps the window; the payload after it then fills the window from there.
    const auto closeTo = [this](LONGLONG from, LONGLONG end) { return position_ + capacity_ >= from && position_ <= end + capacity_; };
    const bool nearby = closeTo(windowStart_, windowStart_ + windowLength_) || closeTo(lastReadEnd_, lastReadEnd_);
    // Larger payloads cost a system read each at no loss: their bytes outweigh the call.
    const bool small = count <= capacity_ / 16;
    const DWORD read = small && (windowLength_ == 0 || nearby) ? Read(buffer, count) : ReadBypassingWindow(buffer, count);
    lastReadEnd_ = position_;
    return read;
}

DWORD KCacheFile::ReadBypassingWindow(void* buffer, DWORD count)
{
    if (position_ + static_cast<LONGLONG>(count) >= knownSize_)
        knownSize_ = KFile::GetSize();
    KCacheFile::Seek(position_);
    const DWORD n = static_cast<DWORD>(std::min<LONGLONG>(count, knownSize_ - position_));
    if (!IsOpen() || !buffer || n == 0)
        return 0;
    BYTE* target = static_cast<BYTE*>(buffer);
    const DWORD done = CopyFromWindow(target, n);
    if (done < n) {
        DWORD read = 0;
        if (SystemReadAt(position_, target + done, n - done, &read) && read == n - done)
            position_ += n - done;
    }
    return n;
}

DWORD KCacheFile::Read(void* buffer, DWORD count)
{
    if (position_ + static_cast<LONGLONG>(count) >= knownSize_)
        knownSize_ = KFile::GetSize();
    KCacheFile::Seek(position_);
    const DWORD n = static_cast<DWORD>(std::min<LONGLONG>(count, knownSize_ - position_));
    if (!IsOpen() || !buffer)
        return 0;
    if (n == 0)
        return 0;

    BYTE* target = static_cast<BYTE*>(buffer);
    if (capacity_ == 0) {
        DWORD read = 0;
        if (SystemReadAt(position_, target, n, &read) && read == n)
            position_ += n;
        return n;
    }

    DWORD done = CopyFromWindow(target, n);
    // Large reads go straight to the caller's buffer; only the tail passes through the window.
    while (n - done > capacity_) {
        DWORD read = 0;
        if (!SystemReadAt(position_, target + done, capacity_, &read) || read != capacity_)
            return n;
        position_ += capacity_;
        done += capacity_;
    }
    while (done < n) {
        const DWORD chunk = static_cast<DWORD>(std::min<LONGLONG>(capacity_, knownSize_ - position_));
        DWORD read = 0;
        BOOL ok = SystemReadAt(position_, window_.data(), chunk, &read);
        // Whatever did arrive is valid file content; a failed read may have left the buffer torn.
        windowStart_ = ok ? position_ : 0;
        windowLength_ = ok ? read : 0;
        if (!ok || read != chunk)
            return n;
        done += CopyFromWindow(target + done, n - done);
    }
    return n;
}
