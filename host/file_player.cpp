#include "host/file_player.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "host/graph_driver.h"
#include "host/source_factory.h"
#include "io/wide_text.h"

namespace vmx::host {

namespace {

class Deadline {
public:
    explicit Deadline(DWORD timeoutMs)
        : infinite_(timeoutMs == INFINITE), end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs))
    {
    }

    DWORD Remaining() const
    {
        if (infinite_)
            return INFINITE;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

std::string HresultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string SecondsText(DWORD milliseconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", milliseconds / 1000.0);
    return text;
}

std::string PinName(IPin* pin)
{
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info)))
        return std::string();
    if (info.pFilter)
        info.pFilter->Release();
    info.achName[std::size(info.achName) - 1] = 0;  // a full-length name need not be terminated
    return Utf8FromWide(info.achName);
}

std::vector<CMediaType> OfferedTypes(IPin* pin)
{
    std::vector<CMediaType> types;
    ComPtr<IEnumMediaTypes> enumerator;
    if (FAILED(pin->EnumMediaTypes(enumerator.Receive())) || !enumerator)
        return types;
    AM_MEDIA_TYPE* type = nullptr;
    while (enumerator->Next(1, &type, nullptr) == S_OK && type) {
        types.emplace_back(*type);
        DeleteMediaType(type);
        type = nullptr;
    }
    return types;
}

}  // namespace

void DescribePins(GraphDriver& driver, PlayReport& report)
{
    for (size_t i = 0; i < driver.OutputPinCount(); ++i) {
        IPin* pin = driver.OutputPin(i);
        PinReport& described = report.pins.emplace_back();
        described.index = i;
        described.name = PinName(pin);
        described.mediaTypes = OfferedTypes(pin);
    }
    LONGLONG duration = 0;
    if (IMediaSeeking* seeking = driver.Seeking(0); seeking && SUCCEEDED(seeking->GetDuration(&duration)))
        report.duration = duration;
}

std::string ConnectEachPin(GraphDriver& driver, PlayReport& report, const std::function<void(RecordingSink&)>& setUp,
                           std::vector<RecordingSink*>& sinks)
{
    HRESULT firstFailure = S_OK;
    for (PinReport& pin : report.pins) {
        pin.connection = driver.ConnectPins({pin.index});
        if (FAILED(pin.connection) && SUCCEEDED(firstFailure))
            firstFailure = pin.connection;
        if (RecordingSink* sink = driver.Sink(pin.index)) {
            setUp(*sink);
            sinks.push_back(sink);
        }
    }
    if (sinks.empty())
        return "no output pin could be connected: " + HresultDescription(firstFailure);
    return std::string();
}

namespace {

std::string PinLabel(const PinReport& pin) { return "pin " + std::to_string(pin.index) + " (" + pin.name + ")"; }

// Where the reported play begins in a sink's record: the NewSegment that follows the last
// EndFlush directly. A pin restarts only after a flush of the whole filter (the reader's start or
// a seek) and a restart delivers its NewSegment first; a flush inside the stream, as when the
// pin grows its buffers, is followed by a sample instead.
size_t RestartIndex(const SinkRecord& events)
{
    for (size_t i = events.size(); i >= 2; --i)
        if (events[i - 1].kind == SinkEvent::Kind::NewSegment && events[i - 2].kind == SinkEvent::Kind::EndFlush)
            return i - 1;
    return 0;
}

class Player {
public:
    Player(IBaseFilter* source, const PlayOptions& options, PlayReport& report)
        : driver_(source), options_(options), deadline_(options.timeoutMs), report_(report)
    {
    }

    std::string Play()
    {
        DescribePins(driver_, report_);
        if (report_.pins.empty())
            return "the source has no output pins";
        std::string error = Connect();
        if (error.empty() && options_.seekTo)
            error = SeekWhilePaused(*options_.seekTo);
        if (error.empty()) {
            HRESULT hr = driver_.Run();
            if (FAILED(hr))
                error = "the graph did not run: " + HresultText(hr);
        }
        if (error.empty())
            error = WaitForTheEnd();
        driver_.Stop();
        Collect();
        return error;
    }

private:
    std::string Connect()
    {
        return ConnectEachPin(driver_, report_, [this](RecordingSink& sink) {
            sink.KeepSampleBytes(options_.keepSampleBytes);
            sink.ComputeChecksums(options_.computeChecksums);
            sink.RecordSamples(options_.recordSamples);
            // Accepting without recording keeps the pin draining its queue, so the reader is not
            // held up on its account while other pins still play.
            if (options_.maxSamplesPerPin)
                sink.LimitReceive(*options_.maxSamplesPerPin, S_OK);
        }, sinks_);
    }

    // Seeks as a player does on a paused graph. The sinks hold the first sample, so nothing from
    // before the seek is recorded. The seek waits until the reader is past its start-up flush:
    // had that flush crossed the seek's, a pin it restarted would sit in the hold while the seek
    // waits for that pin to answer.
    std::string SeekWhilePaused(REFERENCE_TIME target)
    {
        for (RecordingSink* sink : sinks_)
            sink->HoldReceive();
        auto releaseHolds = [this] {
            for (RecordingSink* sink : sinks_)
                sink->ReleaseHold();
        };
        HRESULT hr = driver_.Pause();
        if (FAILED(hr)) {
            releaseHolds();
            return "the graph did not pause: " + HresultText(hr);
        }
        // A held sample or an end of stream shows the reader is past its start.
        auto readerStarted = [this] {
            return std::any_of(sinks_.begin(), sinks_.end(), [](RecordingSink* sink) {
                return sink->ReachedEndOfStream() || sink->WaitForHeldReceive(0);
            });
        };
        while (!readerStarted()) {
            if (deadline_.Remaining() == 0) {
                releaseHolds();
                return "the source delivered nothing within " + SecondsText(options_.timeoutMs) + " of pausing";
            }
            Sleep(1);
        }
        size_t seekable = 0;
        for (const PinReport& pin : report_.pins) {
            if (!driver_.Seeking(pin.index))
                continue;
            hr = driver_.Seek(pin.index, target);
            if (FAILED(hr)) {
                releaseHolds();
                return PinLabel(pin) + " did not seek: " + HresultText(hr);
            }
            ++seekable;
        }
        releaseHolds();
        return seekable > 0 ? std::string() : "the source's pins do not seek";
    }

    std::string WaitForTheEnd()
    {
        for (const PinReport& pin : report_.pins) {
            RecordingSink* sink = driver_.Sink(pin.index);
            if (!sink)
                continue;
            const DWORD remaining = deadline_.Remaining();
            const bool ended = options_.maxSamplesPerPin
                ? sink->WaitForEndOfStreamOrSamples(*options_.maxSamplesPerPin, remaining)
                : sink->WaitForEndOfStream(remaining);
            if (!ended)
                return PinLabel(pin) + ": no end of stream within " + SecondsText(options_.timeoutMs);
        }
        return std::string();
    }

    void Collect()
    {
        for (PinReport& pin : report_.pins) {
            RecordingSink* sink = driver_.Sink(pin.index);
            if (!sink)
                continue;
            pin.samples = sink->SampleCount();
            pin.sampleBytes = sink->SampleBytes();
            pin.events = sink->TakeEvents();
            pin.events.erase(pin.events.begin(), pin.events.begin() + static_cast<std::ptrdiff_t>(RestartIndex(pin.events)));
            pin.endOfStream = std::any_of(pin.events.begin(), pin.events.end(), [](const SinkEvent& event) {
                return event.kind == SinkEvent::Kind::EndOfStream;
            });
        }
        report_.graphEvents = driver_.GraphEvents();
    }

    GraphDriver driver_;
    const PlayOptions& options_;
    Deadline deadline_;
    PlayReport& report_;
    std::vector<RecordingSink*> sinks_;  // borrowed from the driver
};

}  // namespace

PlayResult DescribeSource(IBaseFilter* source)
{
    PlayResult result;
    if (!source) {
        result.error = "no source filter";
        return result;
    }
    GraphDriver driver(source);
    DescribePins(driver, result.report);
    return result;
}

PlayResult PlaySource(IBaseFilter* source, const PlayOptions& options)
{
    PlayResult result;
    if (!source) {
        result.error = "no source filter";
        return result;
    }
    Player player(source, options, result.report);
    result.error = player.Play();
    return result;
}

}  // namespace vmx::host
