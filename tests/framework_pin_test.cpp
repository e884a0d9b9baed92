// The demuxer pin and filter contracts that need no running graph: media-type offers, the
// enumerators, seeking arguments, pin lookup and the Load frame.
#include <gtest/gtest.h>

#include "host/com_ptr.h"
#include "tests/test_demuxer.h"

using vmx::host::ComPtr;
using namespace vmx::test;

namespace {

Script TwoStreamScript()
{
    Script script;
    script.streams.push_back({1, u"Video", VideoType(640, 480)});
    script.streams.push_back({2, u"Audio", AudioType()});
    script.duration = 50000000;
    return script;
}

struct LoadedFilter {
    LoadedFilter() : filter(new CTestDemuxFilter(TwoStreamScript()))
    {
        filter->AddRef();
        EXPECT_EQ(filter->Load(u"script", nullptr), S_OK);
    }
    ~LoadedFilter() { filter->Release(); }
    ComPtr<IPin> Pin(int n) { return ComPtr<IPin>(static_cast<IPin*>(filter->TestPin(n))); }
    ComPtr<IMediaSeeking> Seeking(int n)
    {
        ComPtr<IMediaSeeking> seeking;
        EXPECT_EQ(Pin(n)->QueryInterface(IID_IMediaSeeking, seeking.ReceiveVoid()), S_OK);
        return seeking;
    }
    CTestDemuxFilter* filter;
};

}  // namespace

TEST(FrameworkPin, OffersExactlyItsTypesByPosition)
{
    LoadedFilter loaded;
    CTestDemuxPin* pin = loaded.filter->TestPin(0);
    CMediaType mt;
    EXPECT_EQ(pin->GetMediaType(-1, &mt), E_INVALIDARG);
    EXPECT_EQ(pin->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
    ASSERT_EQ(pin->GetMediaType(0, &mt), S_OK);
    EXPECT_TRUE(mt == VideoType(640, 480));

    EXPECT_EQ(pin->CheckMediaType(&mt), S_OK);
    CMediaType changed(mt);
    changed.Format()[changed.FormatLength() - 1] ^= 1;  // one byte of the format block
    EXPECT_EQ(pin->CheckMediaType(&changed), E_INVALIDARG);
    CMediaType audio = AudioType();
    EXPECT_EQ(pin->CheckMediaType(&audio), E_INVALIDARG);
    EXPECT_EQ(static_cast<IPin*>(pin)->QueryAccept(&changed), S_FALSE);
    EXPECT_EQ(static_cast<IPin*>(pin)->QueryAccept(&mt), S_OK);
}

TEST(FrameworkPin, MediaTypeEnumeratorCopiesAndDetectsChanges)
{
    LoadedFilter loaded;
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(loaded.Pin(1)->EnumMediaTypes(types.Receive()), S_OK);
    AM_MEDIA_TYPE* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(types->Next(2, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_TRUE(CMediaType(*got[0]) == AudioType());
    EXPECT_NE(got[0]->pbFormat, nullptr);
    DeleteMediaType(got[0]);
    EXPECT_EQ(types->Skip(1), S_FALSE);
    EXPECT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Skip(1), S_OK);

    ComPtr<IEnumMediaTypes> clone;
    ASSERT_EQ(types->Clone(clone.Receive()), S_OK);
    EXPECT_EQ(clone->Next(1, got, &fetched), S_FALSE);  // the clone keeps the position

    loaded.filter->TestPin(1)->IncrementTypeVersion();
    EXPECT_EQ(types->Next(1, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Clone(clone.Receive()), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Next(1, got, &fetched), S_OK);
    DeleteMediaType(got[0]);
}

TEST(FrameworkPin, PinEnumeratorGoesOutOfSyncWhenLoadAddsPins)
{
    auto* filter = new CTestDemuxFilter(TwoStreamScript());
    filter->AddRef();
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(filter->EnumPins(pins.Receive()), S_OK);
    ASSERT_EQ(filter->Load(u"script", nullptr), S_OK);
    IPin* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(pins->Next(3, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i)
        got[i]->Release();
    pins.Reset();
    EXPECT_EQ(filter->Release(), 0u);
}

TEST(FrameworkPin, IdentifiesItselfByPositionAndName)
{
    LoadedFilter loaded;
    LPWSTR id = nullptr;
    ASSERT_EQ(loaded.Pin(1)->QueryId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), u"2");
    CoTaskMemFree(id);

    // Ids are read as the C runtime's _wtoi reads them; -1 expects no pin.
    const struct {
        const char16_t* id;
        int pin;
    } kIds[] = {
        {u"1", 0},  {u"2", 1},  {u"1abc", 0}, {u" 1", 0}, {u"\t+2", 1}, {u"02", 1},
        {u"3", -1}, {u"0", -1}, {u"-1", -1},  {u"", -1},  {u"x", -1},    {u"+", -1},
        {u"4294967297", -1}, {u"99999999999999999999999", -1},
    };
    for (const auto& c : kIds) {
        SCOPED_TRACE(std::string(c.id, c.id + std::char_traits<char16_t>::length(c.id)));
        ComPtr<IPin> found;
        EXPECT_EQ(loaded.filter->FindPin(c.id, found.Receive()), c.pin < 0 ? VFW_E_NOT_FOUND : S_OK);
        EXPECT_EQ(found.Get(), c.pin < 0 ? nullptr : loaded.Pin(c.pin).Get());
    }

    PIN_INFO info{};
    ASSERT_EQ(loaded.Pin(0)->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), u"Video");
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(loaded.filter));
    info.pFilter->Release();

    // An output pin refuses the calls meant for an input pin.
    EXPECT_EQ(loaded.Pin(0)->EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(loaded.Pin(0)->BeginFlush(), E_UNEXPECTED);
    ComPtr<IPin> connected;
    EXPECT_EQ(loaded.Pin(0)->ConnectedTo(connected.Receive()), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(loaded.Pin(0)->Disconnect(), S_FALSE);
}

TEST(FrameworkPin, SeekingValidatesFlagsAndKeepsPositions)
{
    LoadedFilter loaded;
    ComPtr<IMediaSeeking> seeking = loaded.Seeking(0);
    LONGLONG duration = 0, start = 0, stop = 0;
    ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 50000000);
    ASSERT_EQ(seeking->GetPositions(&start, &stop), S_OK);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(stop, 50000000);
    DWORD caps = 0;
    seeking->GetCapabilities(&caps);
    EXPECT_EQ(caps, 0x37u);
    DWORD ask = AM_SEEKING_CanGetCurrentPos;
    EXPECT_EQ(seeking->CheckCapabilities(&ask), S_FALSE);

    LONGLONG value = 10000000, stopValue = 30000000;
    EXPECT_EQ(seeking->SetPositions(&value, AM_SEEKING_IncrementalPositioning, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(seeking->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, 0), E_POINTER);
    EXPECT_EQ(seeking->SetPositions(nullptr, 0, &stopValue, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame),
              E_INVALIDARG);
    EXPECT_EQ(seeking->SetPositions(nullptr, 0, nullptr, AM_SEEKING_AbsolutePositioning), E_POINTER);

    ASSERT_EQ(seeking->SetPositions(&value, AM_SEEKING_AbsolutePositioning, &stopValue,
                                    AM_SEEKING_IncrementalPositioning), S_OK);
    seeking->GetPositions(&start, &stop);
    EXPECT_EQ(start, 10000000);
    EXPECT_EQ(stop, 40000000);  // incremental: start + value
    LONGLONG back = -2000000;
    ASSERT_EQ(seeking->SetPositions(&back, AM_SEEKING_RelativePositioning, &back, AM_SEEKING_RelativePositioning), S_OK);
    seeking->GetPositions(&start, &stop);
    EXPECT_EQ(start, 8000000);
    EXPECT_EQ(stop, 38000000);
    // Without a reader thread the seek is only recorded; the next start begins there.
    EXPECT_EQ(loaded.filter->SeekTarget(), 8000000);

    GUID format = TIME_FORMAT_SAMPLE;
    EXPECT_EQ(seeking->SetTimeFormat(&format), E_INVALIDARG);
    EXPECT_EQ(seeking->IsFormatSupported(&format), S_FALSE);
    LONGLONG converted = 0;
    EXPECT_EQ(seeking->ConvertTimeFormat(&converted, nullptr, 123, &TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(converted, 123);
    EXPECT_EQ(seeking->ConvertTimeFormat(&converted, &format, 123, nullptr), E_INVALIDARG);
    EXPECT_EQ(seeking->GetCurrentPosition(&converted), E_NOTIMPL);
}

TEST(FrameworkFilter, LoadsOnceAndReportsItsFile)
{
    auto* filter = new CTestDemuxFilter(TwoStreamScript());
    filter->AddRef();
    LPOLESTR name = reinterpret_cast<LPOLESTR>(1);
    ASSERT_EQ(filter->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(filter->GetCurFile(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(filter->Load(nullptr, nullptr), E_POINTER);
    ASSERT_EQ(filter->Load(u"first", nullptr), S_OK);
    EXPECT_EQ(filter->Load(u"second", nullptr), E_FAIL);
    ASSERT_EQ(filter->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"first");
    CoTaskMemFree(name);
    EXPECT_EQ(filter->GetPinCount(), 2);

    // A parse failure leaves no pins and no file.
    auto* empty = new CTestDemuxFilter(Script{});
    empty->AddRef();
    EXPECT_EQ(empty->Load(u"file", nullptr), E_FAIL);
    EXPECT_EQ(empty->GetPinCount(), 0);
    empty->Release();

    LONG objects = CBaseObject::ObjectsActive();
    EXPECT_EQ(filter->Release(), 0u);
    // The filter, its two pins and their seeking parts are gone.
    EXPECT_EQ(CBaseObject::ObjectsActive(), objects - 5);
}
