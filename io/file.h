// Readers every demuxer reads its input through: an abstract interface with 64-bit positions
// and an unbuffered reader (and writer) over a system file handle.
#pragma once

#include <algorithm>
#include <memory>

#include "platform/platform.h"

// At most `wanted` bytes, and no more than a file of `size` bytes holds from `position`: a
// reader sizes its buffers by this, never by what a length in the file claims.
constexpr DWORD BytesHeld(DWORD wanted, LONGLONG position, LONGLONG size)
{
    return static_cast<DWORD>(std::clamp<LONGLONG>(size - position, 0, wanted));
}

class KFileBase {
public:
    KFileBase() = default;
    KFileBase(const KFileBase&) = delete;
    KFileBase& operator=(const KFileBase&) = delete;
    virtual ~KFileBase() = default;

    // A new, unopened reader of the same kind; used where a second cursor over the same file is
    // needed (an index scan running beside playback).
    virtual std::unique_ptr<KFileBase> NewInstance() const { return nullptr; }
    virtual BOOL Open(LPCWSTR path) = 0;
    // Bytes actually delivered; 0 at the end, on failure, or when closed.
    virtual DWORD Read(void* buffer, DWORD count) = 0;
    // Moves to an absolute position and returns where the reader now stands.
    virtual LONGLONG Seek(LONGLONG position) = 0;
    virtual BOOL IsReadable() const { return TRUE; }
    virtual BOOL IsWritable() const { return FALSE; }
    virtual LONGLONG Tell() = 0;
    virtual LONGLONG GetSize() = 0;
    virtual BOOL Close() = 0;
};

enum class KFileKind : LONG {
    Plain = 0,
    Cached = 3,
};

class KFile : public KFileBase {
public:
    KFile() : KFile(KFileKind::Plain) {}
    ~KFile() override;

    std::unique_ptr<KFileBase> NewInstance() const override;
    // Opens an existing file for reading, closing any file open before; others may keep reading,
    // writing or deleting it meanwhile.
    BOOL Open(LPCWSTR path) override;
    DWORD Read(void* buffer, DWORD count) override;
    // -1 when the system refuses the position (a negative one, say).
    LONGLONG Seek(LONGLONG position) override;
    LONGLONG Tell() override;
    LONGLONG GetSize() override;
    BOOL Close() override;
    // Creates or truncates the file for writing.
    virtual BOOL OpenWrite(LPCWSTR path);

    // Bytes written at the file pointer; 0 when closed or on failure.
    DWORD Write(const void* buffer, DWORD count);

    KFileKind Kind() const { return kind_; }
    bool IsOpen() const { return handle_ != nullptr; }
    // The opened path, cut to MAX_PATH - 1 characters; empty when closed.
    LPCWSTR Path() const { return path_; }
    // Number of system reads issued so far, by Read or by a derived reader's window refills.
    std::uint64_t SystemReads() const { return systemReads_; }

protected:
    explicit KFile(KFileKind kind);

    // Reads at the position in one system call; *read gets the bytes delivered (0 at the end).
    // FALSE for a negative position or a failed read. Where the system file pointer is left
    // afterwards differs between platforms: a reader using this keeps its own position.
    BOOL SystemReadAt(LONGLONG position, void* buffer, DWORD count, DWORD* read);

private:
    BOOL OpenHandle(LPCWSTR path, DWORD access, DWORD disposition, DWORD flags);
    void ClearPath() { path_[0] = 0; }

    WCHAR path_[MAX_PATH] = {};
    KFileKind kind_;
    HANDLE handle_ = nullptr;
    std::uint64_t systemReads_ = 0;
};
