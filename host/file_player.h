// Playing a loaded source filter the way a player does and writing down what it delivered: each
// output pin's name and offered types, and what its sink received; the graph's events; the
// duration the first pin reports.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/media_type.h"
#include "host/filter_graph.h"
#include "host/recording_sink.h"
#include "platform/platform.h"

namespace vmx::host {

class GraphDriver;

struct PinReport {
    size_t index = 0;  // among the source's output pins
    std::string name;
    std::vector<CMediaType> mediaTypes;  // as the pin offers them
    HRESULT connection = S_FALSE;  // S_OK once connected to a sink; S_FALSE when not tried
    // What the sink received from the last restart of the pin on (the reader's start, or the
    // seek): the NewSegment first, then samples, any flushes, and end of stream.
    SinkRecord events;
    bool endOfStream = false;
    // All the sink received over the play (recorded or not), from the first start on.
    size_t samples = 0;
    std::uint64_t sampleBytes = 0;
};

// A graph action of a scripted play, and what came of it.
struct ActionRecord {
    std::string text;
    std::optional<REFERENCE_TIME> seekTarget;  // a seek's start
    std::uint64_t arrival = 0;  // when it began, among the sinks' events
    std::string note;  // what the action left unfinished, or why it failed
};

struct PlayReport {
    std::optional<REFERENCE_TIME> duration;
    std::vector<PinReport> pins;
    // In arrival order; each event's arrival orders it among the pins' events too.
    std::vector<GraphEvent> graphEvents;
    std::vector<ActionRecord> actions;  // scripted plays only
};

struct PlayOptions {
    // Every pin is positioned here while paused, before running.
    std::optional<REFERENCE_TIME> seekTo;
    bool keepSampleBytes = false;
    // Off leaves every sample's checksums at 0: the sinks then do no more per byte than copy
    // (when keeping bytes) or nothing, as when timing the source against another demuxer.
    bool computeChecksums = true;
    // Off: the sinks count samples and keep no record of them (events stay empty of samples), so
    // that a timed play measures the source rather than the recorder.
    bool recordSamples = true;
    // Play ends once every pin delivered this many samples or ended; later samples are dropped.
    std::optional<size_t> maxSamplesPerPin;
    // For the whole play, from pausing to the last end of stream.
    DWORD timeoutMs = 60000;
};

struct PlayResult {
    PlayReport report;
    // One line when the play failed or did not end in time; the report still holds what came.
    std::string error;

    bool Succeeded() const { return error.empty(); }
};

// The pins, their offered types and the duration, without playing.
PlayResult DescribeSource(IBaseFilter* source);
// The same for a source already in a driver's graph.
void DescribePins(GraphDriver& driver, PlayReport& report);
// Connects each described pin to a sink of its own (a pin refused leaves the others to play),
// notes each result in the report, has setUp prepare every sink connected and lists them in
// sinks; a line saying why when none connected.
std::string ConnectEachPin(GraphDriver& driver, PlayReport& report, const std::function<void(RecordingSink&)>& setUp,
                           std::vector<RecordingSink*>& sinks);

// Connects every output pin it can to a recording sink, plays (after the seek, when asked) until
// every connected pin ended or reached the sample bound, stops, and reports.
PlayResult PlaySource(IBaseFilter* source, const PlayOptions& options = {});

}  // namespace vmx::host
