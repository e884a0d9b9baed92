#include "framework/source_stream.h"

#include "framework/base_filter.h"

CSourceStream::CSourceStream(const WCHAR* objectName, HRESULT* phr, CSource* filter, LPCWSTR pinName)
    : CBaseOutputPin(objectName, filter, filter->pStateLock(), phr, pinName), m_pFilter(filter)
{
    HRESULT hr = filter->AddPin(this);
    if (phr && FAILED(hr))
        *phr = hr;
}

CSourceStream::~CSourceStream()
{
    // A filter destroyed without being stopped still ends its workers before the pin goes.
    if (ThreadExists()) {
        if (m_pAllocator)
            m_pAllocator->Decommit();
        CallWorker(CMD_STOP);
        CallWorker(CMD_EXIT);
        Close();
    }
    m_pFilter->RemovePin(this);
}

HRESULT CSourceStream::Active()
{
    CAutoLock lock(m_pFilter->pStateLock());
    if (m_pFilter->IsActive())
        return S_FALSE;
    if (!IsConnected())
        return S_OK;
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr))
        return hr;
    if (!Create())
        return E_FAIL;
    hr = Init();
    if (FAILED(hr))
        return hr;
    return Pause();
}

HRESULT CSourceStream::Inactive()
{
    CAutoLock lock(m_pFilter->pStateLock());
    if (!IsConnected())
        return S_OK;
    // Decommitting first releases a worker blocked in GetDeliveryBuffer.
    HRESULT result = CBaseOutputPin::Inactive();
    if (ThreadExists()) {
        HRESULT hr = Stop();
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
        hr = Exit();
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
        Close();
    }
    return result;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* mt)
{
    const HRESULT offered = OfferedPosition(position, 1, mt);
    return offered == S_OK ? GetMediaType(mt) : offered;
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* mt)
{
    if (!mt)
        return E_POINTER;
    CMediaType own;
    if (FAILED(GetMediaType(&own)))
        return E_FAIL;
    return own == *mt ? S_OK : E_FAIL;
}

DWORD CSourceStream::ThreadProc()
{
    DWORD command;
    while ((command = GetRequest()) != CMD_INIT)
        Reply(static_cast<DWORD>(E_UNEXPECTED));

    HRESULT hr = OnThreadCreate();
    if (FAILED(hr)) {
        OnThreadDestroy();
        MarkGone();
        Reply(static_cast<DWORD>(hr));
        return 1;
    }
    Reply(S_OK);

    for (;;) {
        command = GetRequest();
        if (command == CMD_EXIT) {
            MarkGone();
            Reply(S_OK);
            break;
        }
        if (command == CMD_PAUSE || command == CMD_RUN) {
            Reply(S_OK);
            DoBufferProcessingLoop();
        } else if (command == CMD_STOP) {
            Reply(S_OK);
        } else {
            Reply(static_cast<DWORD>(E_NOTIMPL));
        }
    }
    return FAILED(OnThreadDestroy()) ? 1 : 0;
}

bool CSourceStream::ServeCommandInLoop()
{
    DWORD command = GetRequest();
    if (command == CMD_STOP)
        return false;
    Reply(command == CMD_RUN || command == CMD_PAUSE ? S_OK : static_cast<DWORD>(E_UNEXPECTED));
    return true;
}

HRESULT CSourceStream::DoBufferProcessingLoop()
{
    OnThreadStartPlay();
    for (;;) {
        while (!CheckRequest(nullptr)) {
            IMediaSample* sample = nullptr;
            HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
            if (FAILED(hr)) {
                Sleep(1);
                continue;
            }
            hr = FillBuffer(sample);
            if (hr == S_OK) {
                hr = Deliver(sample);
                sample->Release();
                if (hr != S_OK)
                    return S_OK;
            } else if (hr == S_FALSE) {
                sample->Release();
                DeliverEndOfStream();
                return S_OK;
            } else {
                sample->Release();
                DeliverEndOfStream();
                m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
                return hr;
            }
        }
        if (!ServeCommandInLoop())
            return S_FALSE;
    }
}
