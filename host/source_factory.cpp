#include "host/source_factory.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "io/wide_text.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

namespace vmx::host {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string ClsidText(REFCLSID clsid)
{
    WCHAR text[40];
    return StringFromGUID2(clsid, text, 40) > 0 ? Utf8FromWide(text) : std::string();
}

std::string LowerExtension(std::string_view path)
{
    std::string extension = std::filesystem::path(std::string(path)).extension().string();
    if (!extension.empty())
        extension.erase(0, 1);  // the dot
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

bool ListContains(std::string_view list, std::string_view word)
{
    while (!list.empty()) {
        size_t end = list.find(' ');
        if (list.substr(0, end) == word)
            return true;
        if (end == std::string_view::npos)
            break;
        list.remove_prefix(end + 1);
    }
    return false;
}

size_t TemplateCount() { return std::min(static_cast<size_t>(g_cTemplates), kFilterNamings.size()); }

// One line for a file that cannot be opened for reading, or empty when it can. Checked before
// any filter sees the file, so the user learns the real cause rather than "no filter loads it".
std::string FileProblem(std::string_view path, const WString& widePath)
{
    std::error_code ignored;
    const std::filesystem::file_status status = std::filesystem::status(std::string(path), ignored);
    if (std::filesystem::is_directory(status))
        return std::string(path) + " is a directory";
    // Opening a pipe or a device could block or never end.
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        return std::string(path) + " is not a regular file";

    HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return std::string();
    }
    switch (DWORD error = GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return std::string(path) + ": no such file";
    case ERROR_ACCESS_DENIED:
        return std::string(path) + ": permission denied";
    default:
        return std::string(path) + ": cannot be opened (error " + std::to_string(error) + ")";
    }
}

}  // namespace

std::optional<size_t> ResolveFilterChoice(std::string_view choice)
{
    for (size_t i = 0; i < TemplateCount(); ++i) {
        const CFactoryTemplate& tmpl = g_Templates[i];
        if (EqualsIgnoringCase(choice, kFilterNamings[i].shortName) || EqualsIgnoringCase(choice, Utf8FromWide(tmpl.m_Name))
            || EqualsIgnoringCase(choice, ClsidText(*tmpl.m_ClsID)))
            return i;
    }
    return std::nullopt;
}

std::optional<size_t> FilterForExtension(std::string_view path)
{
    const std::string extension = LowerExtension(path);
    if (extension.empty())
        return std::nullopt;
    for (size_t i = 0; i < TemplateCount(); ++i)
        if (ListContains(kFilterNamings[i].extensions, extension))
            return i;
    return std::nullopt;
}

std::vector<size_t> FilterCandidates(std::string_view path, std::optional<size_t> choice)
{
    if (choice)
        return {*choice};
    std::vector<size_t> order;
    const std::optional<size_t> guess = FilterForExtension(path);
    if (guess)
        order.push_back(*guess);
    for (size_t i = 0; i < TemplateCount(); ++i)
        if (i != guess)
            order.push_back(i);
    return order;
}

std::string HresultDescription(HRESULT hr)
{
    struct Known {
        HRESULT code;
        const char* name;
        const char* meaning;
    };
    static constexpr Known kKnown[] = {
        {E_FAIL, "E_FAIL", "unspecified failure"},
        {E_NOTIMPL, "E_NOTIMPL", "not implemented"},
        {E_NOINTERFACE, "E_NOINTERFACE", "interface not supported"},
        {E_POINTER, "E_POINTER", "null pointer"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
        {E_INVALIDARG, "E_INVALIDARG", "invalid argument"},
        {E_UNEXPECTED, "E_UNEXPECTED", "unexpected failure"},
        {E_ACCESSDENIED, "E_ACCESSDENIED", "access denied"},
        {VFW_E_NOT_FOUND, "VFW_E_NOT_FOUND", "not found"},
        {VFW_E_WRONG_STATE, "VFW_E_WRONG_STATE", "wrong state"},
        {VFW_E_INVALIDMEDIATYPE, "VFW_E_INVALIDMEDIATYPE", "invalid media type"},
    };
    char text[80];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    std::string description = text;
    for (const Known& known : kKnown)
        if (known.code == hr)
            return description + " (" + known.name + ", " + known.meaning + ")";
    return description;
}

HRESULT CreateSourceFilter(const CFactoryTemplate& tmpl, const WString& path, ComPtr<IBaseFilter>* filter,
                           const std::function<void(IBaseFilter*)>& beforeLoad, std::string* failedStep)
{
    auto fail = [failedStep](HRESULT hr, const char* step) {
        if (failedStep)
            *failedStep = step;
        return hr;
    };
    if (!filter)
        return E_POINTER;
    filter->Reset();
    ComPtr<IClassFactory> factory;
    HRESULT hr = DllGetClassObject(*tmpl.m_ClsID, IID_IClassFactory, factory.ReceiveVoid());
    if (FAILED(hr))
        return fail(hr, "created");
    if (!factory)
        return fail(E_POINTER, "created");
    ComPtr<IBaseFilter> created;
    hr = factory->CreateInstance(nullptr, IID_IBaseFilter, created.ReceiveVoid());
    if (FAILED(hr))
        return fail(hr, "created");
    ComPtr<IFileSourceFilter> source;
    hr = created.QueryInterface(IID_IFileSourceFilter, &source);
    if (FAILED(hr))
        return fail(hr, "asked for IFileSourceFilter");
    if (beforeLoad)
        beforeLoad(created.Get());
    hr = source->Load(path.c_str(), nullptr);
    if (FAILED(hr))
        return fail(hr, "loaded");
    *filter = std::move(created);
    return S_OK;
}

OpenedSource OpenSourceFile(std::string_view path, std::string_view filterChoice, const ConfigureSource& configure)
{
    OpenedSource opened;
    std::optional<size_t> choice;
    const bool anyFilter = EqualsIgnoringCase(filterChoice, kAnyFilter);
    if (!filterChoice.empty() && !anyFilter) {
        choice = ResolveFilterChoice(filterChoice);
        if (!choice) {
            opened.error = "unknown filter name '" + std::string(filterChoice) + "'";
            return opened;
        }
    }
    if (path.empty()) {
        opened.error = "no file name given";
        return opened;
    }
    const WString widePath = WideFromUtf8(path);
    opened.error = FileProblem(path, widePath);
    if (!opened.error.empty())
        return opened;

    const std::optional<size_t> byExtension = choice || anyFilter ? std::nullopt : FilterForExtension(path);
    std::vector<size_t> candidates = FilterCandidates(path, choice ? choice : byExtension);
    for (size_t index : candidates) {
        const CFactoryTemplate& tmpl = g_Templates[index];
        std::string refusal;
        std::string failedStep;
        auto beforeLoad = [&](IBaseFilter* filter) {
            if (configure)
                refusal = configure(filter, index, LoadStage::BeforeLoad);
        };
        const HRESULT hr = CreateSourceFilter(tmpl, widePath, &opened.filter, beforeLoad, &failedStep);
        if (SUCCEEDED(hr) && refusal.empty() && configure)
            refusal = configure(opened.filter.Get(), index, LoadStage::AfterLoad);
        if (SUCCEEDED(hr) && refusal.empty()) {
            opened.tmpl = &tmpl;
            opened.error.clear();
            return opened;
        }
        opened.filter.Reset();
        if (candidates.size() > 1)
            continue;
        // One filter was asked: its answer is the answer.
        const std::string filterName = Utf8FromWide(tmpl.m_Name) + " (" + std::string(kFilterNamings[index].shortName) + ")";
        if (!refusal.empty())
            opened.error = filterName + ": " + refusal;
        else if (failedStep == "loaded")
            opened.error = filterName + " could not load " + std::string(path) + ": Load returned " + HresultDescription(hr);
        else
            opened.error = filterName + " could not be " + failedStep + ": " + HresultDescription(hr);
        if (byExtension)
            opened.error += "; it is the filter for ." + LowerExtension(path) + " files (--filter any tries every filter)";
        return opened;
    }
    opened.error = "no filter could load " + std::string(path);
    return opened;
}

}  // namespace vmx::host
