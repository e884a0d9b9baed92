// The module's exports: class lookup, the factory's refusal cases, unload accounting,
// registration into the registry file, and the trace sink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <regex>
#include <string>
#include <sys/wait.h>

#include "framework/unknown.h"
#include "framework/debug_trace.h"
#include "framework/extensions.h"
#include "module/templates.h"
#include "platform/platform.h"
#include "tests/test_support.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

using vmx::test::ReadText;
using vmx::test::ScopedEnv;
using vmx::test::ScopedTempDir;

namespace {

struct Entry {
    const char* name;
    GUID clsid;
    const char* clsidText;
};

const Entry kTable[] = {
    {"Torvane AVI Source Filter", CLSID_VmxAviSource, "{6BA9DD10-09B9-4C8B-89A8-8AC445601214}"},
    {"Torvane OGG Source Filter", CLSID_VmxOggSource, "{8B359726-D939-41A8-8CBD-69A27675D978}"},
    {"Torvane MPEG Source Filter", CLSID_VmxMpegSource, "{0D84C574-0C1D-466C-9D7B-49FD7BBF6E87}"},
    {"Torvane MKV Source Filter", CLSID_VmxMkvSource, "{9794BD42-281E-45EE-94CC-70A260E407B5}"},
    {"Torvane MP4 Source Filter", CLSID_VmxMp4Source, "{D18284FE-DE51-4F33-A9BB-A8D3AE4B66BB}"},
    {"Torvane ASF Source Filter", CLSID_VmxAsfSource, "{07D8B782-BC02-485B-8B45-0C6073127B2B}"},
    {"Torvane FLV Source Filter", CLSID_VmxFlvSource, "{4CDD9B3E-1D8E-48DE-8B5B-80AFADCB8CA1}"},
    {"Torvane AsfEx Source Filter", CLSID_VmxAsfExSource, "{5A9841E4-3164-48AB-B54F-633A792FB047}"},
    {"Torvane OGG Source Filter2", CLSID_VmxOgg2Source, "{4A9A79B3-6EAA-46AE-B024-5918C04C169E}"},
    {"Torvane MP3 Source Filter", CLSID_VmxMp3Source, "{C846F6AA-63EE-42CB-AB73-229BE6A795AA}"},
    {"Torvane AAC Source Filter", CLSID_VmxAacSource, "{C1EA8A02-9E67-4967-AEDC-845B8AA13EC0}"},
    {"Torvane MPEG Source Filter2", CLSID_VmxMpeg2Source, "{4D40E319-013F-4F5C-900D-25EA9C1FF16D}"},
};

std::string Narrow(const WCHAR* text)
{
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

std::string GuidString(REFGUID guid)
{
    WCHAR text[40];
    EXPECT_EQ(StringFromGUID2(guid, text, 40), 39);
    return Narrow(text);
}

// The filter mapper's entry for a filter, and the start of the FilterData every filter gets:
// version 2, merit 0x200000, one pin, then the "Output" pin flagged output only.
std::string MapperInstanceKey(const Entry& entry)
{
    return std::string("[CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\") + entry.clsidText + "]\n";
}
constexpr const char* kOutputPinFilterData =
    "\"FilterData\"=hex(3):02,00,00,00,00,00,20,00,01,00,00,00,00,00,00,00,30,70,69,33,08,00";

IClassFactory* Factory(REFCLSID clsid)
{
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

}  // namespace

TEST(ModuleTable, EveryClassIdentifierCreatesItsNamedFilterInTableOrder)
{
    ASSERT_EQ(g_cTemplates, 12);
    for (int i = 0; i < 12; ++i) {
        const Entry& entry = kTable[i];
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(Narrow(g_Templates[i].m_Name), entry.name);
        EXPECT_EQ(GuidString(*g_Templates[i].m_ClsID), entry.clsidText);
        EXPECT_EQ(g_Templates[i].m_lpfnInit, nullptr);

        IClassFactory* factory = Factory(entry.clsid);
        ASSERT_NE(factory, nullptr);
        IBaseFilter* filter = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
        CLSID clsid{};
        EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
        EXPECT_EQ(clsid, entry.clsid);

        // Every filter is a whole filter before any file: no file, no pins, a missing file refused.
        IFileSourceFilter* source = nullptr;
        ASSERT_EQ(filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&source)), S_OK);
        LPOLESTR current = reinterpret_cast<LPOLESTR>(1);
        EXPECT_EQ(source->GetCurFile(&current, nullptr), S_OK);
        EXPECT_EQ(current, nullptr);
        EXPECT_EQ(source->Load(u"missing.bin", nullptr), E_FAIL);
        EXPECT_EQ(source->Load(nullptr, nullptr), E_POINTER);
        source->Release();

        IEnumPins* pins = nullptr;
        ASSERT_EQ(filter->EnumPins(&pins), S_OK);
        IPin* pin = nullptr;
        ULONG fetched = 7;
        EXPECT_EQ(pins->Next(1, &pin, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);
        pins->Release();
        EXPECT_EQ(filter->Release(), 0u);
        EXPECT_EQ(factory->Release(), 0u);
    }
}

TEST(ModuleFactory, RefusesWhatItCannotServe)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_VmxMkvSource, IID_IPersist, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(DllGetClassObject(IID_IPin, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(DllGetClassObject(CLSID_VmxMkvSource, IID_IClassFactory, nullptr), E_POINTER);

    IClassFactory* factory = Factory(CLSID_VmxMp3Source);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // Aggregation is only possible through IUnknown, and a refusal creates nothing.
    LONG objectsBefore = CBaseObject::ObjectsActive();
    IUnknown* outer = factory;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(outer, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(outer, IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(CBaseObject::ObjectsActive(), objectsBefore);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr), E_POINTER);

    // A query the new object cannot answer leaves no object behind.
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(CBaseObject::ObjectsActive(), objectsBefore);
    factory->Release();
}

TEST(ModuleFactory, UnloadWaitsForObjectsAndLocks)
{
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory* factory = Factory(CLSID_VmxAviSource);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    filter->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // still locked
    IClassFactory* again = Factory(CLSID_VmxAviSource);
    again->LockServer(FALSE);
    again->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

namespace {

// Stands in for a platform without IFilterMapper2 (or without any mapper).
struct RefusingFactory final : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class ScopedRefusedClass {
public:
    explicit ScopedRefusedClass(REFCLSID clsid) { CoRegisterClassObject(clsid, &factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_); }
    ~ScopedRefusedClass() { CoRevokeClassObject(cookie_); }

private:
    RefusingFactory factory_;
    DWORD cookie_ = 0;
};

}  // namespace

TEST(ModuleRegistration, WritesServerKeysAndFilterEntriesAndRemovesThem)
{
    ScopedTempDir dir;
    ScopedEnv registry("VMX_REGISTRY", dir.file("registry.reg"));

    EXPECT_EQ(DllUnregisterServer(), S_OK);  // never registered: nothing to find is fine
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllRegisterServer(), S_OK);  // twice: the mapper replaces each entry

    std::string text = ReadText(dir.file("registry.reg"));
    for (const Entry& entry : kTable) {
        SCOPED_TRACE(entry.name);
        std::string key = std::string("[CLSID\\") + entry.clsidText + "]\n@=\"" + entry.name + "\"\n";
        EXPECT_NE(text.find(key), std::string::npos);
        std::regex server(std::string("\\[CLSID\\\\\\") + entry.clsidText
                          + "\\\\InprocServer32\\]\n@=\"[^\"]+\"\n\"ThreadingModel\"=\"Both\"\n");
        EXPECT_TRUE(std::regex_search(text, server));
        size_t at = text.find(MapperInstanceKey(entry));
        ASSERT_NE(at, std::string::npos);
        EXPECT_NE(text.find(kOutputPinFilterData, at), std::string::npos);
        EXPECT_NE(text.find(std::string("\"FriendlyName\"=\"") + entry.name + "\"", at), std::string::npos);
    }

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    text = ReadText(dir.file("registry.reg"));
    for (const Entry& entry : kTable)
        EXPECT_EQ(text.find(entry.clsidText), std::string::npos) << entry.name;
}

TEST(ModuleRegistration, EachFilterRegistersAndUnregistersOnlyItself)
{
    ScopedTempDir dir;
    ScopedEnv registry("VMX_REGISTRY", dir.file("registry.reg"));
    for (const Entry& entry : kTable) {
        SCOPED_TRACE(entry.name);
        IClassFactory* factory = Factory(entry.clsid);
        ASSERT_NE(factory, nullptr);
        IBaseFilter* filter = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
        factory->Release();
        IAMovieSetup* setup = nullptr;
        ASSERT_EQ(filter->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void**>(&setup)), S_OK);
        filter->Release();

        ASSERT_EQ(setup->Register(), S_OK);
        std::string text = ReadText(dir.file("registry.reg"));
        size_t at = text.find(MapperInstanceKey(entry));
        ASSERT_NE(at, std::string::npos);
        EXPECT_NE(text.find(kOutputPinFilterData, at), std::string::npos);
        EXPECT_NE(text.find(std::string("\"FriendlyName\"=\"") + entry.name + "\"", at), std::string::npos);
        for (const Entry& other : kTable)
            EXPECT_EQ(text.find(other.clsidText) != std::string::npos, &other == &entry) << other.name;

        EXPECT_EQ(setup->Unregister(), S_OK);
        EXPECT_EQ(ReadText(dir.file("registry.reg")).find(entry.clsidText), std::string::npos);
        EXPECT_EQ(setup->Release(), 0u);
    }
}

TEST(ModuleRegistration, FallsBackToTheOldMapperAndReportsAMissingOne)
{
    ScopedTempDir dir;
    ScopedEnv registry("VMX_REGISTRY", dir.file("registry.reg"));
    {
        ScopedRefusedClass noMapper2(CLSID_FilterMapper2);
        ASSERT_EQ(DllRegisterServer(), S_OK);
        std::string text = ReadText(dir.file("registry.reg"));
        EXPECT_NE(text.find("[Filter\\{9794BD42-281E-45EE-94CC-70A260E407B5}]\n@=\"Torvane MKV Source Filter\""),
                  std::string::npos);
        EXPECT_NE(text.find("[CLSID\\{9794BD42-281E-45EE-94CC-70A260E407B5}\\Pins\\Output]\n\"AllowedMany\"=dword:00000000"),
                  std::string::npos);
        EXPECT_NE(text.find("\"Merit\"=dword:00200000"), std::string::npos);

        ScopedRefusedClass noMapper(CLSID_FilterMapper);
        // Without any mapper the failure is returned and the COM keys stay.
        EXPECT_EQ(DllUnregisterServer(), REGDB_E_CLASSNOTREG);
        EXPECT_NE(ReadText(dir.file("registry.reg")).find("InprocServer32"), std::string::npos);
    }
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(ReadText(dir.file("registry.reg")).find("[CLSID\\{9794BD42"), std::string::npos);
}

TEST(ModuleTrace, SendsNothingWithoutAReceiverAndCutsLongMessages)
{
    ScopedTempDir dir;
    std::string sink = dir.file("trace.txt");
    ::unsetenv("VMX_TRACE");
    DebugTrace("lost %d", 1);
    EXPECT_FALSE(std::filesystem::exists(sink));

    ScopedEnv trace("VMX_TRACE", sink);
    DebugTrace("pin %s queued %d packets", "Audio", 42);
    std::string longText(5000, 'x');
    DebugTrace("%s", longText.c_str());
    std::string text = ReadText(sink);
    EXPECT_EQ(text, "pin Audio queued 42 packets\n" + std::string(4095, 'x') + "\n");
}

TEST(ModuleLibrary, TheSharedModuleServesAndRegistersItself)
{
    ScopedTempDir dir;
    ScopedEnv registry("VMX_REGISTRY", dir.file("registry.reg"));
    void* module = dlopen(VMX_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
    using Simple = HRESULT (*)();
    auto getClassObject = reinterpret_cast<GetClassObject>(dlsym(module, "DllGetClassObject"));
    auto canUnload = reinterpret_cast<Simple>(dlsym(module, "DllCanUnloadNow"));
    auto registerServer = reinterpret_cast<Simple>(dlsym(module, "DllRegisterServer"));
    auto unregisterServer = reinterpret_cast<Simple>(dlsym(module, "DllUnregisterServer"));
    ASSERT_TRUE(getClassObject && canUnload && registerServer && unregisterServer);
    // Nothing else is exported.
    EXPECT_EQ(dlsym(module, "FindTemplate"), nullptr);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(CLSID_VmxFlvSource, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    filter->Release();
    factory->Release();
    EXPECT_EQ(canUnload(), S_OK);

    ASSERT_EQ(registerServer(), S_OK);
    std::string text = ReadText(dir.file("registry.reg"));
    std::string server = std::string("[CLSID\\{4CDD9B3E-1D8E-48DE-8B5B-80AFADCB8CA1}\\InprocServer32]\n@=\"")
        + std::filesystem::canonical(VMX_MODULE_FILE).string() + "\"";
    EXPECT_NE(text.find(server), std::string::npos) << text.substr(0, 600);
    EXPECT_EQ(unregisterServer(), S_OK);
    dlclose(module);
}

namespace {

struct ToolRun {
    int status;
    std::string errors;
};

ToolRun RunVmx(const std::string& arguments, const ScopedTempDir& dir)
{
    const std::string errors = dir.file("stderr.txt");
    const std::string command =
        std::string("'") + VMX_TOOL_FILE + "' " + arguments + " >/dev/null 2>'" + errors + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(errors)};
}

}  // namespace

TEST(ModuleLibrary, VmxToolRegistersTheModuleFileAndNotItself)
{
    ScopedTempDir dir;
    ScopedEnv registry("VMX_REGISTRY", dir.file("registry.reg"));
    const std::string module = std::filesystem::canonical(VMX_MODULE_FILE).string();

    // Without MODULE the tool takes libvmx.so from its own directory, not from the current one.
    ToolRun run = RunVmx("register", dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    std::string text = ReadText(dir.file("registry.reg"));
    EXPECT_NE(text.find("[CLSID\\{C846F6AA-63EE-42CB-AB73-229BE6A795AA}\\InprocServer32]\n@=\"" + module + "\""),
              std::string::npos)
        << text.substr(0, 600);
    run = RunVmx("unregister '" + module + "'", dir);
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(ReadText(dir.file("registry.reg")).find("InprocServer32"), std::string::npos);

    // A shared object that loads but is no module: the C library.
    Dl_info libc{};
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "abort"), &libc), 0);
    const struct {
        std::string arguments;
        int status;
        std::string message;
    } kRefusals[] = {
        {"register '" + dir.file("missing.so") + "'", 1, "no module file"},
        {std::string("unregister '") + libc.dli_fname + "'", 1, "does not export DllUnregisterServer"},
        {"register a b", 2, "takes at most one MODULE"},
    };
    for (const auto& refusal : kRefusals) {
        SCOPED_TRACE(refusal.arguments);
        run = RunVmx(refusal.arguments, dir);
        EXPECT_EQ(run.status, refusal.status);
        EXPECT_NE(run.errors.find(refusal.message), std::string::npos) << run.errors;
    }
}

// A player turns the extensions on with a DWORD under its user key; anything else leaves them off,
// and the process override (vmx --extensions) wins over the registry either way.
TEST(ModuleSettings, ExtensionsFollowTheUserKeyAndTheOverride)
{
    ScopedTempDir dir;
    ScopedEnv registry("VMX_REGISTRY", dir.file("registry.reg"));
    EXPECT_FALSE(ExtensionsEnabled());

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, kVmxSettingsKey, &key), static_cast<LONG>(ERROR_SUCCESS));
    const auto setDword = [&](DWORD value) {
        return RegSetValueExW(key, kVmxExtensionsValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    ASSERT_EQ(setDword(1), static_cast<LONG>(ERROR_SUCCESS));
    EXPECT_TRUE(ExtensionsEnabled());
    EXPECT_NE(ReadText(dir.file("registry.reg")).find("[HKEY_CURRENT_USER\\Software\\VMX]\n\"Extensions\"=dword:00000001"),
              std::string::npos);
    OverrideExtensions(false);
    EXPECT_FALSE(ExtensionsEnabled());
    OverrideExtensions(std::nullopt);
    ASSERT_EQ(setDword(0), static_cast<LONG>(ERROR_SUCCESS));
    EXPECT_FALSE(ExtensionsEnabled());

    const BYTE text[] = {'1', 0, 0, 0};  // a string "1" is not the switch's type
    ASSERT_EQ(RegSetValueExW(key, kVmxExtensionsValue, 0, REG_SZ, text, sizeof text), static_cast<LONG>(ERROR_SUCCESS));
    EXPECT_FALSE(ExtensionsEnabled());
    OverrideExtensions(true);
    EXPECT_TRUE(ExtensionsEnabled());
    OverrideExtensions(std::nullopt);
    RegCloseKey(key);
}
