#include "tools/vmx_progress.h"

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace vmx::tool {

ProgressLine::ProgressLine() : terminal_(isatty(STDERR_FILENO) == 1) {}

void ProgressLine::Show(const std::string& text)
{
    if (!terminal_)
        return;
    // Spaces over what a longer earlier line left.
    const size_t pad = width_ > text.size() ? width_ - text.size() : 0;
    std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    std::fflush(stderr);
    width_ = text.size();
}

void ProgressLine::ShowTime(const char* label, std::optional<REFERENCE_TIME> done, std::optional<REFERENCE_TIME> whole)
{
    if (!terminal_)
        return;
    if (!done) {
        Show(std::string(label) + ": under way");
        return;
    }
    char text[160];
    const double doneSeconds = static_cast<double>(*done) / 1e7;
    if (whole && *whole > 0) {
        const double wholeSeconds = static_cast<double>(*whole) / 1e7;
        const double percent = 100.0 * std::min(1.0, std::max(0.0, doneSeconds / wholeSeconds));
        std::snprintf(text, sizeof text, "%s: %.1f s of %.1f s (%.0f%%)", label, doneSeconds, wholeSeconds, percent);
    } else {
        std::snprintf(text, sizeof text, "%s: %.1f s", label, doneSeconds);
    }
    Show(text);
}

void ProgressLine::Clear()
{
    if (!terminal_ || width_ == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(stderr);
    width_ = 0;
}

}  // namespace vmx::tool
