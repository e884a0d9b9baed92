#include "framework/am_thread.h"

CAMThread::CAMThread()
    : m_EventSend(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_EventComplete(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

CAMThread::~CAMThread()
{
    Close();
    CloseHandle(m_EventSend);
    CloseHandle(m_EventComplete);
}

BOOL CAMThread::Create()
{
    CAutoLock lock(&m_AccessLock);
    if (ThreadExists())
        return FALSE;
    // A worker that marked itself gone is at most returning from its procedure.
    if (HANDLE gone = m_hGone.exchange(nullptr)) {
        WaitForSingleObject(gone, INFINITE);
        CloseHandle(gone);
    }
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, InitialThreadProc, this, 0, &id);
    if (!thread)
        return FALSE;
    m_hThread.store(thread);
    return TRUE;
}

DWORD WINAPI CAMThread::InitialThreadProc(LPVOID parameter)
{
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
    DWORD result = static_cast<CAMThread*>(parameter)->ThreadProc();
    if (SUCCEEDED(init))
        CoUninitialize();
    return result;
}

DWORD CAMThread::CallWorker(DWORD param)
{
    CAutoLock lock(&m_AccessLock);
    if (!ThreadExists())
        return static_cast<DWORD>(E_FAIL);
    m_dwParam = param;
    SetEvent(m_EventSend);
    WaitForSingleObject(m_EventComplete, INFINITE);
    return m_dwReturnVal;
}

void CAMThread::Close()
{
    for (std::atomic<HANDLE>* slot : {&m_hThread, &m_hGone}) {
        if (HANDLE thread = slot->exchange(nullptr)) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
    }
}

void CAMThread::MarkGone()
{
    if (HANDLE thread = m_hThread.exchange(nullptr))
        m_hGone.store(thread);
}

DWORD CAMThread::GetRequest()
{
    WaitForSingleObject(m_EventSend, INFINITE);
    return m_dwParam;
}

BOOL CAMThread::CheckRequest(DWORD* param)
{
    if (WaitForSingleObject(m_EventSend, 0) != WAIT_OBJECT_0)
        return FALSE;
    if (param)
        *param = m_dwParam;
    return TRUE;
}

void CAMThread::Reply(DWORD value)
{
    m_dwReturnVal = value;
    ResetEvent(m_EventSend);
    SetEvent(m_EventComplete);
}
