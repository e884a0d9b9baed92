#include "io/cache_file.h"

#include <algorithm>
#include <cstring>

// The window's memory is taken as reads fill it, never more than the file holds: a small file
// costs no more than its size, however large the window asked for.
KCacheFile::KCacheFile(DWORD capacity) : KFile(KFileKind::Cached), capacity_(capacity) {}

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
    lastPayloadSmall_ = false;
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
    capacity_ = std::max(capacity_, capacity);
}

DWORD KCacheFile::ReadPayload(void* buffer, DWORD count)
{
    // Small payloads that follow small payloads, within a window of the present one or of the
    // read before, are read ahead together: the tracks of an interleaved file move forward
    // together, one a little ahead of the other in the file. A small payload between large ones
    // (the audio between the pictures of a high-rate file) or after a far jump reads only itself:
    // a window read there would mostly carry the next large payload, which is read direct anyway.
    const bool small = count <= capacity_ / 16;
    const auto closeTo = [this](LONGLONG from, LONGLONG end) { return position_ + capacity_ >= from && position_ <= end + capacity_; };
    const bool nearby = closeTo(windowStart_, windowStart_ + windowLength_) || closeTo(lastReadEnd_, lastReadEnd_);
    const bool held = WindowHolds(position_) && WindowHolds(position_ + count - 1);
    const DWORD read = small && (held || (lastPayloadSmall_ && nearby)) ? Read(buffer, count) : ReadBypassingWindow(buffer, count);
    lastReadEnd_ = position_;
    lastPayloadSmall_ = small;
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
        if (window_.size() < chunk)
            window_.resize(chunk);
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
