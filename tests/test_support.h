// Small helpers shared by the tests: a scratch directory, an environment variable or the
// extensions switch set for one test, text conversion, the frames an elementary reader gives.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "framework/extensions.h"
#include "platform/platform.h"

namespace vmx::test {

class ScopedTempDir {
public:
    ScopedTempDir()
    {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path()
            / ("vmx-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScopedTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            hadOld_ = true;
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (hadOld_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

// The extensions switch as the test sets it, until the end of the scope.
struct ScopedExtensions {
    explicit ScopedExtensions(bool on) { OverrideExtensions(on); }
    ~ScopedExtensions() { OverrideExtensions(std::nullopt); }
    ScopedExtensions(const ScopedExtensions&) = delete;
    ScopedExtensions& operator=(const ScopedExtensions&) = delete;
};

// The frames an elementary-stream reader (AAC, MP3) reads and copies whole, each into a buffer
// of payloadSize bytes, before it stops.
template <class FrameReader>
int WholeFrames(FrameReader& reader, size_t payloadSize)
{
    std::vector<BYTE> payload(payloadSize);
    DWORD size = 0;
    REFERENCE_TIME start = 0, stop = 0;
    int frames = 0;
    while (reader.ReadFrame(size, start, stop) == 0 && reader.CopyFrame(payload.data()))
        ++frames;
    return frames;
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace vmx::test
