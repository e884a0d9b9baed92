#include "host/filter_options.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "demux/asf/ivmx_asfex.h"
#include "demux/avi/ivmx_avi.h"
#include "demux/mkv/ivmx_mkv.h"
#include "demux/mp4/ivmx_mp4.h"
#include "demux/ogg/ivmx_ogg.h"
#include "demux/ogg/ivmx_ogg2.h"
#include "host/com_ptr.h"

namespace vmx::host {

namespace {

template <typename Interface>
ComPtr<Interface> Query(IBaseFilter* filter, REFIID iid)
{
    ComPtr<Interface> found;
    if (filter && FAILED(filter->QueryInterface(iid, found.ReceiveVoid())))
        found.Reset();
    return found;
}

std::string FailureText(HRESULT hr)
{
    char text[32];
    std::snprintf(text, sizeof text, "error 0x%08X", static_cast<unsigned>(hr));
    return text;
}

FilterProperty Number(std::string name, HRESULT hr, std::uint64_t value)
{
    if (FAILED(hr))
        return {std::move(name), FailureText(hr), std::nullopt, std::nullopt};
    return {std::move(name), std::to_string(value), std::nullopt, value};
}

FilterProperty Time(std::string name, HRESULT hr, LONGLONG value)
{
    if (FAILED(hr))
        return {std::move(name), FailureText(hr), std::nullopt, std::nullopt};
    char text[48];
    std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(value) / 1e7);
    return {std::move(name), text, value, std::nullopt};
}

// ---- Setters, by filter ----

enum class ValueKind { Flag, Number, Wide };  // Wide: 64 bits

struct Setter {
    std::string_view name;
    ValueKind kind;
    LoadStage stage;
    // Calls the interface's setter; the filter's answer.
    HRESULT (*apply)(IBaseFilter* filter, std::uint64_t value);
};

struct FilterSetters {
    std::string_view shortName;
    std::string_view interfaceName;
    std::vector<Setter> setters;
};

template <typename Interface>
HRESULT WithInterface(IBaseFilter* filter, REFIID iid, const std::function<HRESULT(Interface*)>& call)
{
    ComPtr<Interface> found = Query<Interface>(filter, iid);
    return found ? call(found.Get()) : E_NOINTERFACE;
}

// The Matroska filter's Load makes its first seek with the key-frame flag a host set before it;
// every other filter reads its options while playing, so they are set once the file is loaded.
const std::vector<FilterSetters>& SetterTable()
{
    static const std::vector<FilterSetters> kTable = {
        {"mkv", "IVmxMKV",
         {{"seek-key-frame", ValueKind::Flag, LoadStage::BeforeLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxMKV>(f, IID_IVmxMKV, [v](IVmxMKV* i) { return i->SetSeekKeyFrame(v != 0); });
           }},
          {"preroll", ValueKind::Wide, LoadStage::BeforeLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxMKV>(f, IID_IVmxMKV,
                                             [v](IVmxMKV* i) { return i->SetPreroll(static_cast<LONGLONG>(v)); });
           }}}},
        {"mp4", "IVmxMP4",
         {{"seek-key-frame", ValueKind::Flag, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxMP4>(f, IID_IVmxMP4, [v](IVmxMP4* i) { return i->SetSeekKeyFrame(v != 0); });
           }},
          {"user-value", ValueKind::Number, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxMP4>(f, IID_IVmxMP4,
                                             [v](IVmxMP4* i) { return i->SetUserValue(static_cast<DWORD>(v)); });
           }}}},
        {"avi", "IVmxAVI",
         {{"seek-key-frame", ValueKind::Flag, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxAVI>(f, IID_IVmxAVI, [v](IVmxAVI* i) { return i->SetSeekKeyFrame(v != 0); });
           }},
          {"anchoring", ValueKind::Number, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxAVI>(f, IID_IVmxAVI,
                                             [v](IVmxAVI* i) { return i->SetAnchoring(static_cast<DWORD>(v)); });
           }},
          {"user-value", ValueKind::Number, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxAVI>(f, IID_IVmxAVI,
                                             [v](IVmxAVI* i) { return i->SetUserValue(static_cast<DWORD>(v)); });
           }}}},
        {"asfex", "IVmxASFEX",
         {{"preroll", ValueKind::Number, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxASFEX>(f, IID_IVmxASFEX,
                                               [v](IVmxASFEX* i) { return i->SetPrerollOption(static_cast<DWORD>(v)); });
           }}}},
        {"ogg2", "IVmxOGG2",
         {{"seek-key-frame", ValueKind::Flag, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxOGG2>(f, IID_IVmxOGG2, [v](IVmxOGG2* i) { return i->SetSeekToKeyFrame(v != 0); });
           }},
          {"preroll", ValueKind::Number, LoadStage::AfterLoad,
           [](IBaseFilter* f, std::uint64_t v) {
               return WithInterface<IVmxOGG2>(f, IID_IVmxOGG2,
                                              [v](IVmxOGG2* i) { return i->SetPrerollMode(static_cast<DWORD>(v)); });
           }}}},
        {"ogg", "IVmxOGG", {}},
    };
    return kTable;
}

const FilterSetters* SettersOf(size_t tableIndex)
{
    if (tableIndex >= kFilterNamings.size())
        return nullptr;
    for (const FilterSetters& entry : SetterTable())
        if (entry.shortName == kFilterNamings[tableIndex].shortName)
            return &entry;
    return nullptr;
}

// A flag takes 0 or 1; a number any 32-bit value in decimal or 0x hex, a wide one 64 bits.
std::optional<std::uint64_t> ParseValue(const std::string& text, ValueKind kind)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end != text.c_str() + text.size())
        return std::nullopt;
    if ((kind == ValueKind::Flag && value > 1) || (kind == ValueKind::Number && value > 0xFFFFFFFFu))
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<PrivateInterface> ReadPrivateInterface(IBaseFilter* filter)
{
    PrivateInterface read;
    if (auto mkv = Query<IVmxMKV>(filter, IID_IVmxMKV)) {
        read.name = "IVmxMKV";
        BOOL keyFrame = FALSE, preroll = FALSE;
        HRESULT hr = mkv->GetSeekKeyFrame(&keyFrame);
        read.properties.push_back(Number("seek-key-frame", hr, keyFrame != FALSE));
        hr = mkv->GetPreroll(&preroll);
        read.properties.push_back(Number("preroll", hr, preroll != FALSE));
    } else if (auto mp4 = Query<IVmxMP4>(filter, IID_IVmxMP4)) {
        read.name = "IVmxMP4";
        BOOL keyFrame = FALSE;
        DWORD user = 0;
        LONGLONG available = 0;
        HRESULT hr = mp4->GetSeekKeyFrame(&keyFrame);
        read.properties.push_back(Number("seek-key-frame", hr, keyFrame != FALSE));
        hr = mp4->GetAvailableDuration(&available);
        read.properties.push_back(Time("available-duration", hr, available));
        hr = mp4->GetUserValue(&user);
        read.properties.push_back(Number("user-value", hr, user));
    } else if (auto avi = Query<IVmxAVI>(filter, IID_IVmxAVI)) {
        read.name = "IVmxAVI";
        BOOL keyFrame = FALSE;
        DWORD anchoring = 0, user = 0;
        LONGLONG indexed = 0;
        HRESULT hr = avi->GetSeekKeyFrame(&keyFrame);
        read.properties.push_back(Number("seek-key-frame", hr, keyFrame != FALSE));
        hr = avi->GetAnchoring(&anchoring);
        read.properties.push_back(Number("anchoring", hr, anchoring));
        hr = avi->GetIndexedDuration(&indexed);
        read.properties.push_back(Time("indexed-duration", hr, indexed));
        hr = avi->GetUserValue(&user);
        read.properties.push_back(Number("user-value", hr, user));
    } else if (auto asf = Query<IVmxASFEX>(filter, IID_IVmxASFEX)) {
        read.name = "IVmxASFEX";
        LONGLONG indexed = 0;
        DWORD preroll = 0;
        HRESULT hr = asf->GetIndexedDuration(&indexed);
        // E_FAIL is its answer while nothing is indexed yet: a state, not a fault.
        read.properties.push_back(hr == E_FAIL ? FilterProperty{"indexed-duration", "nothing indexed yet", std::nullopt, std::nullopt}
                                               : Time("indexed-duration", hr, indexed));
        hr = asf->GetPrerollOption(&preroll);
        read.properties.push_back(Number("preroll", hr, preroll));
    } else if (auto ogg2 = Query<IVmxOGG2>(filter, IID_IVmxOGG2)) {
        read.name = "IVmxOGG2";
        DWORD keyFrame = 0, preroll = 0;
        LONGLONG duration = 0;
        HRESULT hr = ogg2->GetSeekToKeyFrame(&keyFrame);
        read.properties.push_back(Number("seek-key-frame", hr, keyFrame));
        hr = ogg2->GetDuration(&duration);
        read.properties.push_back(Time("indexed-duration", hr, duration));
        hr = ogg2->GetPrerollMode(&preroll);
        read.properties.push_back(Number("preroll", hr, preroll));
    } else if (auto ogg = Query<IVmxOGG>(filter, IID_IVmxOGG)) {
        read.name = "IVmxOGG";
        DWORD count = 0;
        const HRESULT hr = ogg->GetChapterCount(&count);
        read.properties.push_back(Number("chapter-count", hr, count));
    } else {
        return std::nullopt;
    }
    return read;
}

std::optional<FilterSetting> ParseFilterSetting(std::string_view text)
{
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return std::nullopt;
    return FilterSetting{std::string(text.substr(0, equals)), std::string(text.substr(equals + 1))};
}

std::string_view PrivateInterfaceName(size_t tableIndex)
{
    const FilterSetters* entry = SettersOf(tableIndex);
    return entry ? entry->interfaceName : std::string_view();
}

std::vector<std::string_view> SettingNames(size_t tableIndex)
{
    std::vector<std::string_view> names;
    if (const FilterSetters* entry = SettersOf(tableIndex))
        for (const Setter& setter : entry->setters)
            names.push_back(setter.name);
    return names;
}

std::vector<std::string> SettingsHelp()
{
    std::vector<std::string> lines;
    for (const FilterSetters& entry : SetterTable()) {
        if (entry.setters.empty())
            continue;
        std::string line = std::string(entry.shortName) + " (" + std::string(entry.interfaceName) + "):";
        for (const Setter& setter : entry.setters)
            line += " " + std::string(setter.name) + (setter.kind == ValueKind::Flag ? "=0|1" : "=N");
        lines.push_back(line);
    }
    return lines;
}

std::string ApplyFilterSettings(IBaseFilter* filter, size_t tableIndex, LoadStage stage,
                                const std::vector<FilterSetting>& settings)
{
    const FilterSetters* entry = SettersOf(tableIndex);
    for (const FilterSetting& setting : settings) {
        const Setter* setter = nullptr;
        if (entry)
            for (const Setter& candidate : entry->setters)
                if (candidate.name == setting.name)
                    setter = &candidate;
        if (!setter) {
            std::string known;
            for (std::string_view name : SettingNames(tableIndex))
                known += (known.empty() ? "" : ", ") + std::string(name);
            return "--set " + setting.name + ": the filter has no such setting ("
                + (known.empty() ? std::string("it has none") : "it has " + known) + ")";
        }
        const std::optional<std::uint64_t> value = ParseValue(setting.value, setter->kind);
        if (!value) {
            const char* wanted = setter->kind == ValueKind::Flag ? "0 or 1"
                : setter->kind == ValueKind::Number              ? "a 32-bit number"
                                                                 : "a 64-bit number";
            return "--set " + setting.name + " takes " + wanted + ", not '" + setting.value + "'";
        }
        if (setter->stage != stage)
            continue;
        const HRESULT hr = setter->apply(filter, *value);
        if (FAILED(hr))
            return "--set " + setting.name + ": the filter answered " + FailureText(hr);
    }
    return std::string();
}

}  // namespace vmx::host
