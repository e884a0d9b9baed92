// A progress line on the terminal: rewritten in place on standard error, and nothing at all when
// standard error is not a terminal, so logs and pipes get only the results.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace vmx::tool {

class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool Shown() const { return terminal_; }
    void Show(const std::string& text);
    // "label: 12.3 s of 60.0 s (20%)", the time alone when the whole is unknown, and "under way"
    // while nothing is known.
    void ShowTime(const char* label, std::optional<REFERENCE_TIME> done, std::optional<REFERENCE_TIME> whole);
    void Clear();

private:
    bool terminal_ = false;
    size_t width_ = 0;  // of the line last shown
};

}  // namespace vmx::tool
