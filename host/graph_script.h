// Driving a loaded source through a list of graph actions, as a player does when the user
// pauses, seeks, stops and plays again, and writing down everything each pin's sink received in
// between: every flush, NewSegment, sample and end of stream, each after the action it followed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/file_player.h"
#include "platform/platform.h"

namespace vmx::host {

struct GraphAction {
    enum class Kind { Pause, Run, Stop, Seek, Wait, End };

    Kind kind = Kind::Run;
    REFERENCE_TIME time = 0;  // Seek: the start; Wait: how long
    std::optional<REFERENCE_TIME> stop;  // Seek: a stop position besides the start
    bool keyFrame = false;  // Seek: asks for AM_SEEKING_SeekToKeyFrame
    std::optional<double> rate;  // Seek: set through IMediaSeeking::SetRate before the seek

    // The action as the command line writes it, in one canonical spelling.
    std::string Text() const;
};

struct ParsedScript {
    std::vector<GraphAction> actions;
    std::string error;  // one line naming the action that could not be read
};

// Actions separated by ';' (or new lines):
//   pause | run | stop | end
//   seek SECONDS [key] [rate=R] [stop=SECONDS]
//   wait SECONDS
ParsedScript ParseGraphScript(std::string_view text);

// The script "vmx packets" plays without --do: from the start, or from the seek.
std::vector<GraphAction> DefaultScript(std::optional<REFERENCE_TIME> seekTo);

struct ScriptOptions {
    bool keepSampleBytes = false;
    bool computeChecksums = true;
    // For the whole script; a wait or an end that would outlast it fails the play.
    DWORD timeoutMs = 60000;
    // How long a pause waits for every pin to hand its sink a first sample (or end): a pin whose
    // queue another pin's held sample starves may never do so, as in any player.
    DWORD cueTimeoutMs = 5000;
    // Called about five times a second while an end is awaited, with the latest sample time any
    // sink received (in stream time, from the segment's start) and the source's duration.
    std::function<void(std::optional<REFERENCE_TIME> latest, std::optional<REFERENCE_TIME> duration)> progress;
};

// Connects every output pin to a recording sink and plays the actions in order, the graph
// stopped at the start and at the end. Paused sinks hold the first sample they get, as a
// renderer does, and record it. The report's actions list what was done and when; no event is
// dropped from the record. A failed action ends the script with its error.
PlayResult PlayScript(IBaseFilter* source, const std::vector<GraphAction>& actions, const ScriptOptions& options = {});

// The index in report.actions of the action an event followed; none for events before the first.
std::optional<size_t> ActionBefore(const PlayReport& report, std::uint64_t arrival);

}  // namespace vmx::host
