#include "fuzz/fuzz_play.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "host/graph_driver.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

using namespace vmx::host;

namespace {

constexpr size_t kMaxSamplesPerPin = 2000;
constexpr auto kPlayLimit = std::chrono::seconds(5);

// The input as a file of its own (the filters read files, not memory).
class InputFile {
public:
    InputFile(const std::uint8_t* data, size_t size)
    {
        std::string name = (std::filesystem::temp_directory_path() / "vmx-fuzz-XXXXXX").string();
        int fd = mkstemp(name.data());
        if (fd < 0)
            return;
        path_ = name;
        size_t written = 0;
        while (written < size) {
            ssize_t n = write(fd, data + written, size - written);
            if (n <= 0)
                break;
            written += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~InputFile()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    std::u16string WidePath() const { return std::u16string(path_.begin(), path_.end()); }
    bool Valid() const { return !path_.empty(); }

private:
    std::string path_;
};

// Plays until every connected pin ended or delivered its share, or the time is up.
void PlayBounded(GraphDriver& driver)
{
    auto deadline = std::chrono::steady_clock::now() + kPlayLimit;
    for (;;) {
        bool done = true;
        for (size_t i = 0; i < driver.OutputPinCount(); ++i)
            if (RecordingSink* sink = driver.Sink(i))
                done = done && (sink->EndOfStreamCount() > 0 || sink->SampleCount() >= kMaxSamplesPerPin);
        if (done || std::chrono::steady_clock::now() > deadline)
            return;
        Sleep(1);
    }
}

}  // namespace

int FuzzPlay(const std::uint8_t* data, size_t size, REFCLSID clsid)
{
    InputFile input(data, size);
    if (!input.Valid())
        return 0;
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return 0;
    ComPtr<IBaseFilter> filter;
    HRESULT hr = factory->CreateInstance(nullptr, IID_IBaseFilter, filter.ReceiveVoid());
    factory->Release();
    if (FAILED(hr))
        return 0;
    ComPtr<IFileSourceFilter> source;
    if (FAILED(filter->QueryInterface(IID_IFileSourceFilter, source.ReceiveVoid())))
        return 0;
    std::u16string path = input.WidePath();
    if (FAILED(source->Load(path.c_str(), nullptr)))
        return 0;

    GraphDriver driver(filter.Get());
    if (FAILED(driver.ConnectAll()))
        return 0;
    for (size_t i = 0; i < driver.OutputPinCount(); ++i)
        if (RecordingSink* sink = driver.Sink(i))
            sink->LimitReceive(kMaxSamplesPerPin);
    driver.Run();
    PlayBounded(driver);

    // One seek to the middle while running, then play what follows.
    if (IMediaSeeking* seeking = driver.Seeking(0)) {
        LONGLONG duration = 0;
        seeking->GetDuration(&duration);
        for (size_t i = 0; i < driver.OutputPinCount(); ++i)
            if (RecordingSink* sink = driver.Sink(i))
                sink->Reset();
        driver.Seek(0, duration / 2);
        PlayBounded(driver);
    }
    driver.Stop();
    return 0;
}
