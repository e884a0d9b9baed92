// CSourceStream: an output pin with its own worker thread that obtains samples, has them
// filled and delivers them, driven by the CMD_* commands of its filter.
#pragma once

#include "framework/am_thread.h"
#include "framework/base_pin.h"

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
public:
    enum Command : DWORD { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };

    CSourceStream(const WCHAR* objectName, HRESULT* phr, CSource* filter, LPCWSTR pinName);
    ~CSourceStream() override;

    DWORD ThreadProc() override;
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    virtual HRESULT OnThreadCreate() { return S_OK; }
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    virtual HRESULT OnThreadStartPlay() { return S_OK; }
    virtual HRESULT DoBufferProcessingLoop();
    // Single-type pins answer here; the positional GetMediaType and CheckMediaType use it.
    virtual HRESULT GetMediaType(CMediaType*) { return E_UNEXPECTED; }

    HRESULT GetMediaType(int position, CMediaType* mt) override;
    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT Active() override;
    HRESULT Inactive() override;

    HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
    HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
    HRESULT Run() { return static_cast<HRESULT>(CallWorker(CMD_RUN)); }
    HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
    HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }
    using CBasePin::Run;

protected:
    // Answers a command that arrived while the delivery loop runs. False ends the loop (CMD_STOP,
    // which the thread procedure answers).
    bool ServeCommandInLoop();

    CSource* m_pFilter;
};
