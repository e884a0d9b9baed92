// Handles of events, threads and files share one reference-counted object behind HANDLE.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/win32.h"

namespace vmx::posix {

class KernelObject {
public:
    enum class Kind { Event, Thread, File };
    explicit KernelObject(Kind kind) : kind_(kind) {}
    virtual ~KernelObject() = default;
    Kind kind() const { return kind_; }
    void addRef() { refs_.fetch_add(1); }
    void release()
    {
        if (refs_.fetch_sub(1) == 1)
            delete this;
    }

private:
    Kind kind_;
    std::atomic<int> refs_{1};
};

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool signalled) : KernelObject(Kind::Event), manualReset_(manualReset), signalled_(signalled) {}
    void set();
    void reset();
    // True when signalled within the time; an auto-reset event is consumed by the waiter.
    bool wait(DWORD milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool manualReset_;
    bool signalled_;
};

class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(Kind::Thread), finished_(true, false) {}
    ~ThreadObject() override;
    std::thread thread;
    EventObject finished_;
    std::atomic<DWORD> exitCode{259};  // STILL_ACTIVE
};

class FileObject : public KernelObject {
public:
    explicit FileObject(int fd) : KernelObject(Kind::File), fd(fd) {}
    ~FileObject() override;
    int fd;
};

template <class T>
T* AsObject(HANDLE handle, KernelObject::Kind kind)
{
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind() == kind ? static_cast<T*>(object) : nullptr;
}

}  // namespace vmx::posix
