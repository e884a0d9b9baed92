// A file reader with one read-ahead window in memory, so that the many 1-to-8-byte reads of
// header parsing cost a memory copy each rather than a system call.
#pragma once

#include <vector>

#include "io/file.h"

class KCacheFile : public KFile {
public:
    static constexpr DWORD kDefaultCapacity = 2048;
    // The window a demuxer reads its packets through once the headers are parsed: packets of a
    // few hundred bytes then cost a copy each, a system read serving a thousand of them.
    static constexpr DWORD kPlaybackCapacity = 256 * 1024;

    // capacity is the window size in bytes; 0 turns every Read into one direct system read.
    explicit KCacheFile(DWORD capacity = kDefaultCapacity);
    ~KCacheFile() override;

    // Always a default-sized window, whatever this reader's capacity.
    std::unique_ptr<KFileBase> NewInstance() const override;
    BOOL Open(LPCWSTR path) override;
    // Returns the count it set out to copy (cut at the end of the file), even when a system read
    // fails part-way; the bytes past the failure are then left as they were in the buffer.
    DWORD Read(void* buffer, DWORD count) override;
    // Read, except that what the window does not hold is read straight into the buffer and the
    // window is left as it is: a large payload then costs one copy instead of two.
    DWORD ReadBypassingWindow(void* buffer, DWORD count);
    // A packet's payload, read in the file's order: small ones in a row refill the window, so
    // that many packets cost one system read; a large one, a small one among large ones, or a
    // far jump is read as ReadBypassingWindow reads.
    DWORD ReadPayload(void* buffer, DWORD count);
    // A window of this many bytes from now on (none smaller than the present one): the readers
    // of the demuxers take a large one for playback once their headers are parsed.
    void EnlargeWindow(DWORD capacity);
    // The size last asked of the system, without asking again; GetSize asks.
    LONGLONG KnownSize() const { return knownSize_; }
    // Moves the logical position only, clamped to [0, size].
    LONGLONG Seek(LONGLONG position) override;
    LONGLONG Tell() override { return position_; }
    LONGLONG GetSize() override;
    BOOL Close() override;

    DWORD Capacity() const { return capacity_; }
    bool WindowHolds(LONGLONG position) const
    {
        return position >= windowStart_ && position < windowStart_ + windowLength_;
    }
    LONGLONG WindowStart() const { return windowStart_; }
    LONGLONG WindowLength() const { return windowLength_; }

private:
    void ResetWindow();
    // Copies from the window what it holds at the position; returns the bytes copied.
    DWORD CopyFromWindow(BYTE* target, DWORD wanted);

    LONGLONG position_ = 0;
    LONGLONG knownSize_ = 0;
    std::vector<BYTE> window_;
    DWORD capacity_;
    LONGLONG windowStart_ = 0;
    LONGLONG windowLength_ = 0;
    LONGLONG lastReadEnd_ = -1;  // where the last ReadPayload ended
    bool lastPayloadSmall_ = false;
};
