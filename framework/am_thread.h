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
    // Waits for the thread to end (also one that has already marked itself gone) and closes it.
    void Close();
    BOOL ThreadExists() const { return m_hThread.load() != nullptr; }

    // Worker side.
    DWORD GetRequest();
    BOOL CheckRequest(DWORD* param);
    void Reply(DWORD value);
    // The worker takes no more commands. Called before its last Reply, so that the next caller
    // finds no thread and fails at once instead of waiting for a reply that never comes; the
    // handle is kept for Close to wait on.
    void MarkGone();

    CCritSec m_AccessLock;
    CCritSec m_WorkerLock;

private:
    static DWORD WINAPI InitialThreadProc(LPVOID parameter);

    HANDLE m_EventSend;      // manual reset: a command can be peeked without consuming it
    HANDLE m_EventComplete;  // auto reset
    DWORD m_dwParam = 0;
    DWORD m_dwReturnVal = 0;
    std::atomic<HANDLE> m_hThread{nullptr};
    std::atomic<HANDLE> m_hGone{nullptr};  // a thread that has marked itself gone, not yet waited for
};
