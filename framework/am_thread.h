// CAMThread: a worker thread with a one-slot mailbox. A caller posts a command and blocks until
// the worker replies; the worker can peek at a pending command without consuming it.
#pragma once

#include <atomic>

#include "framework/unknown.h"

class CAMThread {
public:
    CAMThread();
    virtual DWORD ThreadProc() = 0;
    virtual ~CAMThread();
    CAMThread(const CAMThread&) = delete;
    CAMThread& operator=(const CAMThread&) = delete;

    BOOL Create();
    // Posts a command and waits for the worker's reply; E_FAIL when no thread runs.
    DWORD CallWorker(DWORD param);
    // Waits for the thread to end and closes it.
    void Close();
    BOOL ThreadExists() const { return m_hThread.load() != nullptr; }

    // Worker side.
    DWORD GetRequest();
    BOOL CheckRequest(DWORD* param);
    void Reply(DWORD value);

    CCritSec m_AccessLock;
    CCritSec m_WorkerLock;

private:
    static DWORD WINAPI InitialThreadProc(LPVOID parameter);

    HANDLE m_EventSend;      // manual reset: a command can be peeked without consuming it
    HANDLE m_EventComplete;  // auto reset
    DWORD m_dwParam = 0;
    DWORD m_dwReturnVal = 0;
    std::atomic<HANDLE> m_hThread{nullptr};
};
