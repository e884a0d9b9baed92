#include "io/file.h"

KFile::KFile(KFileKind kind) : kind_(kind) {}

KFile::~KFile()
{
    KFile::Close();
}

std::unique_ptr<KFileBase> KFile::NewInstance() const
{
    return std::make_unique<KFile>();
}

BOOL KFile::OpenHandle(LPCWSTR path, DWORD access, DWORD disposition, DWORD flags)
{
    KFile::Close();
    if (!path)
        return FALSE;
    HANDLE handle = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE || !handle)
        return FALSE;
    handle_ = handle;
    // The copy is informational; the open itself used the whole path.
    int length = 0;
    while (path[length] && length < static_cast<int>(MAX_PATH) - 1) {
        path_[length] = path[length];
        ++length;
    }
    path_[length] = 0;
    return TRUE;
}

BOOL KFile::Open(LPCWSTR path)
{
    return OpenHandle(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
}

BOOL KFile::OpenWrite(LPCWSTR path)
{
    return OpenHandle(path, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

DWORD KFile::Read(void* buffer, DWORD count)
{
    if (!handle_)
        return 0;
    DWORD read = 0;
    ++systemReads_;
    if (!ReadFile(handle_, buffer, count, &read, nullptr))
        return 0;
    return read;
}

DWORD KFile::Write(const void* buffer, DWORD count)
{
    if (!handle_)
        return 0;
    DWORD written = 0;
    if (!WriteFile(handle_, buffer, count, &written, nullptr))
        return 0;
    return written;
}

LONGLONG KFile::Seek(LONGLONG position)
{
    if (!handle_)
        return 0;
    LARGE_INTEGER distance;
    distance.QuadPart = position;
    LARGE_INTEGER landed;
    if (!SetFilePointerEx(handle_, distance, &landed, FILE_BEGIN))
        return -1;
    return landed.QuadPart;
}

LONGLONG KFile::Tell()
{
    if (!handle_)
        return 0;
    LARGE_INTEGER distance;
    distance.QuadPart = 0;
    LARGE_INTEGER current;
    if (!SetFilePointerEx(handle_, distance, &current, FILE_CURRENT))
        return -1;
    return current.QuadPart;
}

LONGLONG KFile::GetSize()
{
    if (!handle_)
        return 0;
    LARGE_INTEGER size;
    // A size the system cannot tell reads as an empty file, so callers never clamp to garbage.
    if (!GetFileSizeEx(handle_, &size))
        return 0;
    return size.QuadPart;
}

BOOL KFile::Close()
{
    if (!handle_)
        return TRUE;
    BOOL closed = CloseHandle(handle_);
    handle_ = nullptr;
    ClearPath();
    return closed;
}

BOOL KFile::SystemReadAt(LONGLONG position, void* buffer, DWORD count, DWORD* read)
{
    *read = 0;
    if (!handle_ || position < 0)
        return FALSE;
    // The offset goes with the read: one system call per refill instead of a seek and a read.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<ULONGLONG>(position));
    at.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(position) >> 32);
    ++systemReads_;
    if (ReadFile(handle_, buffer, count, read, &at))
        return TRUE;
    // At the end the platform answers with a failure; the caller sees a short read, as before.
    return GetLastError() == ERROR_HANDLE_EOF;
}
