// Tries, one call at a time, what the ASF filter asks of the platform's Windows Media reader, and
// prints each call's result: where a platform (Wine, say) lacks one, the Windows check can say
// which call failed instead of only that the file did not load.
//
//   vmx_wm_probe FILE
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/wmsdk.h"

namespace {

int g_failed = 0;

bool Step(HRESULT hr, const char* what)
{
    std::printf("# %s: %s (0x%08lX)\n", SUCCEEDED(hr) ? "ok" : "FAILED", what, static_cast<unsigned long>(hr));
    if (FAILED(hr))
        ++g_failed;
    return SUCCEEDED(hr);
}

class Callback final : public IWMReaderCallback, public IWMReaderCallbackAdvanced {
public:
    HANDLE status = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> lastStatus{-1};
    std::atomic<HRESULT> lastResult{S_OK};
    std::atomic<int> samples{0};
    std::atomic<int> times{0};
    IWMReaderAdvanced* advanced = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IWMReaderCallback || riid == IID_IWMStatusCallback)
            *ppv = static_cast<IWMReaderCallback*>(this);
        else if (riid == IID_IWMReaderCallbackAdvanced)
            *ppv = static_cast<IWMReaderCallbackAdvanced*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnStatus(WMT_STATUS s, HRESULT hr, WMT_ATTR_DATATYPE, BYTE*, void*) override
    {
        lastStatus = s;
        lastResult = hr;
        if (s == WMT_STARTED && advanced)
            advanced->DeliverTime(10000000);
        SetEvent(status);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnSample(DWORD, QWORD, QWORD, DWORD, INSSBuffer*, void*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStreamSample(WORD, QWORD, QWORD, DWORD, INSSBuffer*, void*) override
    {
        ++samples;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnTime(QWORD time, void*) override
    {
        ++times;
        return advanced ? advanced->DeliverTime(time + 10000000) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStreamSelection(WORD, WORD*, WMT_STREAM_SELECTION*, void*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnOutputPropsChanged(DWORD, WM_MEDIA_TYPE*, void*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE AllocateForStream(WORD, DWORD, INSSBuffer**, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AllocateForOutput(DWORD, DWORD, INSSBuffer**, void*) override { return E_NOTIMPL; }

    // The next status of the kind, within the time.
    bool WaitFor(int wanted, DWORD ms)
    {
        const DWORD until = GetTickCount() + ms;
        while (WaitForSingleObject(status, 100) != WAIT_OBJECT_0 || lastStatus != wanted)
            if (GetTickCount() > until)
                return false;
        return true;
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    CoInitialize(nullptr);
    Callback callback;
    IWMReader* reader = nullptr;
    IWMReaderAdvanced* advanced = nullptr;
    if (Step(WMCreateReader(nullptr, 0, &reader), "WMCreateReader") &&
        Step(reader->QueryInterface(IID_IWMReaderAdvanced, reinterpret_cast<void**>(&advanced)), "IWMReader -> IWMReaderAdvanced")) {
        callback.advanced = advanced;
        if (Step(reader->Open(argv[1], &callback, nullptr), "IWMReader::Open") &&
            Step(callback.WaitFor(WMT_OPENED, 20000) ? callback.lastResult.load() : HRESULT(E_FAIL), "the reader reports WMT_OPENED")) {
            IWMHeaderInfo* header = nullptr;
            if (Step(reader->QueryInterface(IID_IWMHeaderInfo, reinterpret_cast<void**>(&header)), "IWMReader -> IWMHeaderInfo")) {
                WORD stream = 0, length = sizeof(QWORD);
                WMT_ATTR_DATATYPE type;
                QWORD duration = 0;
                Step(header->GetAttributeByName(&stream, L"Duration", &type, reinterpret_cast<BYTE*>(&duration), &length),
                     "IWMHeaderInfo::GetAttributeByName(Duration)");
                header->Release();
            }
            IWMProfile* profile = nullptr;
            DWORD count = 0;
            Step(advanced->SetManualStreamSelection(FALSE), "IWMReaderAdvanced::SetManualStreamSelection");
            if (Step(reader->QueryInterface(IID_IWMProfile, reinterpret_cast<void**>(&profile)), "IWMReader -> IWMProfile") &&
                Step(profile->GetStreamCount(&count), "IWMProfile::GetStreamCount")) {
                for (DWORD i = 0; i < count; ++i) {
                    IWMStreamConfig* config = nullptr;
                    WORD number = 0;
                    WMT_STREAM_SELECTION selection = WMT_OFF;
                    WCHAR name[260];
                    WORD nameLength = 260;
                    IWMMediaProps* props = nullptr;
                    DWORD size = 0;
                    if (Step(profile->GetStream(i, &config), "IWMProfile::GetStream") &&
                        Step(config->GetStreamNumber(&number), "IWMStreamConfig::GetStreamNumber") &&
                        Step(config->GetStreamName(name, &nameLength), "IWMStreamConfig::GetStreamName") &&
                        Step(config->QueryInterface(IID_IWMMediaProps, reinterpret_cast<void**>(&props)), "IWMStreamConfig -> IWMMediaProps") &&
                        Step(props->GetMediaType(nullptr, &size), "IWMMediaProps::GetMediaType (size)") &&
                        Step(advanced->GetStreamSelected(number, &selection), "IWMReaderAdvanced::GetStreamSelected"))
                        Step(advanced->SetReceiveStreamSamples(number, TRUE), "IWMReaderAdvanced::SetReceiveStreamSamples");
                    if (props)
                        props->Release();
                    if (config)
                        config->Release();
                }
                profile->Release();
            }
            if (Step(advanced->SetUserProvidedClock(TRUE), "IWMReaderAdvanced::SetUserProvidedClock") &&
                Step(reader->Start(0, 0, 1.0f, nullptr), "IWMReader::Start") &&
                Step(callback.WaitFor(WMT_STARTED, 10000) ? S_OK : HRESULT(E_FAIL), "the reader reports WMT_STARTED")) {
                for (int i = 0; i < 100 && callback.samples == 0; ++i)
                    Sleep(50);
                Step(callback.samples > 0 ? S_OK : HRESULT(E_FAIL), "IWMReaderCallbackAdvanced::OnStreamSample delivers compressed samples");
                Step(callback.times > 0 ? S_OK : HRESULT(E_FAIL), "IWMReaderCallbackAdvanced::OnTime paces by the user clock");
                Step(reader->Stop(), "IWMReader::Stop");
            }
            Step(reader->Close(), "IWMReader::Close");
        }
        advanced->Release();
        reader->Release();
    }
    std::printf("%d calls failed\n", g_failed);
    CoUninitialize();
    return g_failed == 0 ? 0 : 1;
}
