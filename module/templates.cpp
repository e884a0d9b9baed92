#include "module/templates.h"

#include <new>

#include "demux/asf/asf_filter.h"
#include "demux/asf_wm/asf_filter.h"
#include "demux/audio/aac_filter.h"
#include "demux/audio/mp3_filter.h"
#include "demux/avi/avi_filter.h"
#include "demux/flv/flv_filter.h"
#include "demux/mkv/mkv_filter.h"
#include "demux/mp4/mp4_filter.h"
#include "demux/mpeg_ps/mpeg_filter.h"
#include "demux/mpeg_ts/mpeg2_filter.h"
#include "demux/ogg/ogg2_filter.h"
#include "demux/ogg/ogg_filter.h"

namespace {

// Every filter registers the same shape: one "Output" pin and no media types, at a merit that
// keeps graph building from picking it by itself.
const AMOVIESETUP_PIN kOutputPin = {
    const_cast<LPWSTR>(WSTR("Output")), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 0, nullptr,
};

#define VMX_SETUP(var, clsid, name) const AMOVIESETUP_FILTER var = {&clsid, name, MERIT_DO_NOT_USE, 1, &kOutputPin}

constexpr const WCHAR* kAviName = WSTR("Torvane AVI Source Filter");
constexpr const WCHAR* kOggName = WSTR("Torvane OGG Source Filter");
constexpr const WCHAR* kMpegName = WSTR("Torvane MPEG Source Filter");
constexpr const WCHAR* kMkvName = WSTR("Torvane MKV Source Filter");
constexpr const WCHAR* kMp4Name = WSTR("Torvane MP4 Source Filter");
constexpr const WCHAR* kAsfName = WSTR("Torvane ASF Source Filter");
constexpr const WCHAR* kFlvName = WSTR("Torvane FLV Source Filter");
constexpr const WCHAR* kAsfExName = WSTR("Torvane AsfEx Source Filter");
constexpr const WCHAR* kOgg2Name = WSTR("Torvane OGG Source Filter2");
constexpr const WCHAR* kMp3Name = WSTR("Torvane MP3 Source Filter");
constexpr const WCHAR* kAacName = WSTR("Torvane AAC Source Filter");
constexpr const WCHAR* kMpeg2Name = WSTR("Torvane MPEG Source Filter2");

VMX_SETUP(kAviSetup, CLSID_VmxAviSource, kAviName);
VMX_SETUP(kOggSetup, CLSID_VmxOggSource, kOggName);
VMX_SETUP(kMpegSetup, CLSID_VmxMpegSource, kMpegName);
VMX_SETUP(kMkvSetup, CLSID_VmxMkvSource, kMkvName);
VMX_SETUP(kMp4Setup, CLSID_VmxMp4Source, kMp4Name);
VMX_SETUP(kAsfSetup, CLSID_VmxAsfSource, kAsfName);
VMX_SETUP(kFlvSetup, CLSID_VmxFlvSource, kFlvName);
VMX_SETUP(kAsfExSetup, CLSID_VmxAsfExSource, kAsfExName);
VMX_SETUP(kOgg2Setup, CLSID_VmxOgg2Source, kOgg2Name);
VMX_SETUP(kMp3Setup, CLSID_VmxMp3Source, kMp3Name);
VMX_SETUP(kAacSetup, CLSID_VmxAacSource, kAacName);
VMX_SETUP(kMpeg2Setup, CLSID_VmxMpeg2Source, kMpeg2Name);

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {kAviName, &CLSID_VmxAviSource, CreateFilterInstance<CAVI2_Filter>, nullptr, &kAviSetup},
    {kOggName, &CLSID_VmxOggSource, CreateFilterInstance<COGG_Filter>, nullptr, &kOggSetup},
    {kMpegName, &CLSID_VmxMpegSource, CreateFilterInstance<CMPG_Filter>, nullptr, &kMpegSetup},
    {kMkvName, &CLSID_VmxMkvSource, CreateFilterInstance<CMKV_Filter>, nullptr, &kMkvSetup},
    {kMp4Name, &CLSID_VmxMp4Source, CreateFilterInstance<CMP4_Filter>, nullptr, &kMp4Setup},
    {kAsfName, &CLSID_VmxAsfSource, CreateFilterInstance<CASF_Filter>, nullptr, &kAsfSetup},
    {kFlvName, &CLSID_VmxFlvSource, CreateFilterInstance<CFLV_Filter>, nullptr, &kFlvSetup},
    {kAsfExName, &CLSID_VmxAsfExSource, CreateFilterInstance<CAsfEx_Filter>, nullptr, &kAsfExSetup},
    {kOgg2Name, &CLSID_VmxOgg2Source, CreateFilterInstance<COGG2_Filter>, nullptr, &kOgg2Setup},
    {kMp3Name, &CLSID_VmxMp3Source, CreateFilterInstance<CMP3_Filter>, nullptr, &kMp3Setup},
    {kAacName, &CLSID_VmxAacSource, CreateFilterInstance<CAAC_Filter>, nullptr, &kAacSetup},
    {kMpeg2Name, &CLSID_VmxMpeg2Source, CreateFilterInstance<CMPG2_Filter>, nullptr, &kMpeg2Setup},
};

const int g_cTemplates = static_cast<int>(sizeof g_Templates / sizeof g_Templates[0]);
static_assert(sizeof g_Templates / sizeof g_Templates[0] == 12);

const CFactoryTemplate* FindTemplate(REFCLSID clsid)
{
    for (int i = 0; i < g_cTemplates; ++i)
        if (g_Templates[i].IsClassID(clsid))
            return &g_Templates[i];
    return nullptr;
}

const AMOVIESETUP_FILTER* FindFilterSetup(REFCLSID clsid)
{
    const CFactoryTemplate* tmpl = FindTemplate(clsid);
    return tmpl ? tmpl->m_pAMovieSetup_Filter : nullptr;
}
