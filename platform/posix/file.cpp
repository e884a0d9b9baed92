// Win32 file calls over POSIX descriptors. Sharing modes and the sequential hint are advice only.
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/kernel_object.h"
#include "platform/posix/text.h"

namespace vmx::posix {
FileObject::~FileObject()
{
    if (fd >= 0)
        ::close(fd);
}
}  // namespace vmx::posix

using namespace vmx::posix;

namespace {

DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_PARAMETER;
    }
}

FileObject* AsFile(HANDLE file) { return AsObject<FileObject>(file, KernelObject::Kind::File); }

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE)
{
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (disposition == CREATE_ALWAYS)
        flags |= O_CREAT | O_TRUNC;
    std::string name = ToUtf8(path);
    int fd = ::open(name.c_str(), flags, 0644);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return new FileObject(fd);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, OVERLAPPED* overlapped)
{
    if (read)
        *read = 0;
    FileObject* object = AsFile(file);
    if (!object || (!buffer && count)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD done = 0;
    while (done < count) {
        BYTE* target = static_cast<BYTE*>(buffer) + done;
        ssize_t n;
        if (overlapped) {
            // At an offset, as a synchronous read given an OVERLAPPED does: one call, no seek.
            const auto offset = static_cast<off_t>((static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
            n = ::pread(object->fd, target, count - done, offset + static_cast<off_t>(done));
        } else {
            n = ::read(object->fd, target, count - done);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetLastError(ErrorFromErrno(errno));
            return FALSE;
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    if (read)
        *read = done;
    // A read at an offset that finds only the end fails, as it does on the platform.
    if (overlapped && done == 0 && count > 0) {
        SetLastError(ERROR_HANDLE_EOF);
        return FALSE;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, OVERLAPPED*)
{
    if (written)
        *written = 0;
    FileObject* object = AsFile(file);
    if (!object || (!buffer && count)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD done = 0;
    while (done < count) {
        ssize_t n = ::write(object->fd, static_cast<const BYTE*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            SetLastError(ErrorFromErrno(errno));
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written)
        *written = done;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method)
{
    FileObject* object = AsFile(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int whence = method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : SEEK_SET;
    off_t position = ::lseek(object->fd, static_cast<off_t>(distance.QuadPart), whence);
    if (position < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (newPosition)
        newPosition->QuadPart = position;
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distanceLow, LONG* distanceHigh, DWORD method)
{
    LARGE_INTEGER distance;
    distance.QuadPart = distanceHigh ? (static_cast<LONGLONG>(*distanceHigh) << 32) | static_cast<DWORD>(distanceLow)
                                     : distanceLow;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(file, distance, &position, method))
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh)
        *distanceHigh = position.u.HighPart;
    SetLastError(ERROR_SUCCESS);
    return position.u.LowPart;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size)
{
    FileObject* object = AsFile(file);
    struct stat info {};
    if (!object || !size || ::fstat(object->fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    size->QuadPart = info.st_size;
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        return INVALID_FILE_SIZE;
    if (sizeHigh)
        *sizeHigh = static_cast<DWORD>(size.u.HighPart);
    SetLastError(ERROR_SUCCESS);
    return size.u.LowPart;
}

BOOL DeleteFileW(LPCWSTR path)
{
    if (!path || ::unlink(ToUtf8(path).c_str()) != 0) {
        SetLastError(path ? ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

DWORD GetTempPathW(DWORD capacity, LPWSTR buffer)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    if (path.back() != '/')
        path += '/';
    std::u16string wide = FromUtf8(path.data(), path.size());
    if (wide.size() + 1 > capacity || !buffer)
        return static_cast<DWORD>(wide.size() + 1);
    wide.copy(buffer, wide.size());
    buffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

UINT GetTempFileNameW(LPCWSTR directory, LPCWSTR prefix, UINT unique, LPWSTR name)
{
    if (!directory || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string pattern = ToUtf8(directory);
    if (!pattern.empty() && pattern.back() != '/')
        pattern += '/';
    pattern += ToUtf8(prefix).substr(0, 3);
    std::string path;
    if (unique) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%X.tmp", unique & 0xFFFF);
        path = pattern + suffix;
    } else {
        pattern += "XXXXXX";
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) {
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
        ::close(fd);
        path = pattern;
        unique = 1;
    }
    std::u16string wide = FromUtf8(path.data(), path.size());
    if (wide.size() + 1 > MAX_PATH) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    wide.copy(name, wide.size());
    name[wide.size()] = 0;
    return unique;
}
