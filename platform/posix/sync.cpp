// Critical sections, events, threads and waits over the C++ thread library.
#include <cerrno>
#include <chrono>
#include <ctime>
#include <unistd.h>

#include "platform/posix/kernel_object.h"

namespace vmx::posix {

void EventObject::set()
{
    std::lock_guard lock(mutex_);
    signalled_ = true;
    if (manualReset_)
        changed_.notify_all();
    else
        changed_.notify_one();
}

void EventObject::reset()
{
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool EventObject::wait(DWORD milliseconds)
{
    std::unique_lock lock(mutex_);
    auto isSignalled = [this] { return signalled_; };
    // A poll must not enter the timed wait: that is a system call even with nothing to wait for.
    if (milliseconds == 0 && !signalled_)
        return false;
    if (milliseconds == INFINITE)
        changed_.wait(lock, isSignalled);
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignalled))
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

ThreadObject::~ThreadObject()
{
    if (!thread.joinable())
        return;
    // The last reference may be the thread's own, dropped as it ends.
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

}  // namespace vmx::posix

using namespace vmx::posix;

namespace {
thread_local DWORD lastError = 0;
}

void InitializeCriticalSection(CRITICAL_SECTION*) {}
void DeleteCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.lock(); }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.unlock(); }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR)
{
    return new EventObject(manualReset != FALSE, initialState != FALSE);
}

BOOL SetEvent(HANDLE event)
{
    auto* object = AsObject<EventObject>(event, KernelObject::Kind::Event);
    if (!object)
        return FALSE;
    object->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    auto* object = AsObject<EventObject>(event, KernelObject::Kind::Event);
    if (!object)
        return FALSE;
    object->reset();
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId)
{
    auto* object = new ThreadObject();
    object->addRef();  // held by the running thread until it ends
    try {
        object->thread = std::thread([object, start, parameter] {
            DWORD result = start(parameter);
            object->exitCode.store(result);
            object->finished_.set();
            object->release();
        });
    } catch (...) {
        object->release();
        object->release();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId)
        *threadId = static_cast<DWORD>(std::hash<std::thread::id>{}(object->thread.get_id()));
    return object;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    auto* object = AsObject<ThreadObject>(thread, KernelObject::Kind::Thread);
    if (!object || !exitCode)
        return FALSE;
    *exitCode = object->exitCode.load();
    return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(std::hash<std::thread::id>{}(std::this_thread::get_id())); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (auto* event = AsObject<EventObject>(handle, KernelObject::Kind::Event))
        return event->wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    if (auto* thread = AsObject<ThreadObject>(handle, KernelObject::Kind::Thread)) {
        if (thread->thread.get_id() == std::this_thread::get_id())
            return WAIT_TIMEOUT;  // a thread never sees itself end
        return thread->finished_.wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle)
{
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    static_cast<KernelObject*>(handle)->release();
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }
