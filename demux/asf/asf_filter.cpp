#include "demux/asf/asf_filter.h"

#include <cstring>

#include "demux/asf/asf_media_types.h"
#include "framework/class_ids.h"
#include "framework/com_out.h"

// ---- Pin ---------------------------------------------------------------------------------------

CAsfEx_OutputPin::CAsfEx_OutputPin(HRESULT* phr, CAsfEx_Filter* filter, LPCWSTR name, DWORD streamNumber, const CMediaType& type)
    : CDemuxOutputPinT<KPacket>(WSTR("AsfEx output pin"), phr, filter, name, streamNumber, {type}), m_asf(filter)
{
}

HRESULT CAsfEx_OutputPin::FillSample(IMediaSample*& sample)
{
    KPacket* packet = nullptr;
    if (const HRESULT taken = TakeHeldBack(packet); taken != S_OK)
        return taken;
    const HRESULT hr = FillFromPacket(sample, *packet, SampleRules{.syncOnRestart = true, .applyMediaType = false});
    if (SUCCEEDED(hr) && sample && !m_asf->MarkPreroll())
        sample->SetPreroll(FALSE);
    return hr;
}

// ---- Filter ------------------------------------------------------------------------------------

CAsfEx_Filter::CAsfEx_Filter(const WCHAR* name, IUnknown* outer, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name ? name : WSTR("Torvane AsfEx Source Filter"), outer, CLSID_VmxAsfExSource, phr,
                             QueueLimits::AsfEx)
{
}

CAsfEx_Filter::~CAsfEx_Filter() { m_handler.StopIndexer(); }

HRESULT CAsfEx_Filter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IVmxASFEX)
        return GetInterface(static_cast<IVmxASFEX*>(this), ppv);
    return CDemuxFilterT<KPacket>::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CAsfEx_Filter::GetIndexedDuration(LONGLONG* duration)
{
    if (!duration)
        return E_POINTER;
    *duration = m_handler.IndexedDuration();
    return *duration == 0 ? E_FAIL : S_OK;
}

HRESULT CAsfEx_Filter::SetPrerollOption(DWORD option)
{
    m_preroll = option;
    return S_OK;
}

HRESULT CAsfEx_Filter::GetPrerollOption(DWORD* option) { return AnswerThrough(option, m_preroll); }

HRESULT CAsfEx_Filter::LoadFile(LPCOLESTR fileName)
{
    m_handler.SetThreadless(Threadless());
    if (!m_handler.Open(fileName))
        return E_FAIL;
    SetDuration(m_handler.Duration());
    bool videoPin = false;
    for (size_t i = 0; i < m_handler.StreamCount(); ++i) {
        const KAsfEXReadStream& stream = m_handler.Stream(i);
        const auto type = stream.selected ? AsfStreamMediaType(stream) : std::nullopt;
        if (!type || (stream.kind == KAsfEXReadStream::kVideo && videoPin))
            continue;
        WString name;
        if (stream.kind == KAsfEXReadStream::kVideo) {
            videoPin = true;
            name = WSTR("Video Pin");
        } else {
            name = WSTR("Audio Pin");
            if (!stream.language.empty()) {
                name += WSTR(".");
                for (char16_t c : stream.language)
                    name.push_back(static_cast<WCHAR>(c));
            }
        }
        MakePin<CAsfEx_OutputPin>(this, name.c_str(), stream.number, *type);
    }
    return GetPinCount() > 0 ? S_OK : E_FAIL;
}

REFERENCE_TIME CAsfEx_Filter::PositionParser(REFERENCE_TIME target)
{
    m_handler.SeekTo(target);
    return target;
}

HRESULT CAsfEx_Filter::NextPacket(std::unique_ptr<KPacket>& packet)
{
    AsfObject object;
    while (!ReaderCommandPending()) {
        if (!m_handler.ReadNextObject(object))
            return S_FALSE;
        if (object.streamNumber == 0xFFFF || object.size == 0)
            continue;
        auto made = NewPacket();
        if (!m_handler.CopyObject(object.streamNumber, made->payload) || !PinForStream(object.streamNumber))
            continue;
        made->streamNumber = object.streamNumber;
        made->syncPoint = object.key;
        made->start = object.time;
        made->stop = object.time + 1;
        packet = std::move(made);
        return S_OK;
    }
    return S_FALSE;
}
