#include "host/graph_script.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/graph_driver.h"
#include "host/source_factory.h"

namespace vmx::host {

namespace {

// Up to what 100-ns units in 63 bits hold, with room to spare.
constexpr double kMaxSeconds = 9e11;

std::optional<double> ParseNumber(std::string_view text)
{
    const std::string copy(text);
    if (copy.empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<REFERENCE_TIME> ParseSeconds(std::string_view text)
{
    const std::optional<double> seconds = ParseNumber(text);
    if (!seconds || *seconds < 0 || *seconds > kMaxSeconds)
        return std::nullopt;
    return std::llround(*seconds * 1e7);
}

std::vector<std::string_view> Words(std::string_view text)
{
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t begin = text.find_first_not_of(" \t\r", at);
        if (begin == std::string_view::npos)
            break;
        const size_t end = std::min(text.find_first_of(" \t\r", begin), text.size());
        words.push_back(text.substr(begin, end - begin));
        at = end;
    }
    return words;
}

std::string SecondsText(REFERENCE_TIME time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(time) / 1e7);
    return text;
}

std::string PinLabel(const PinReport& pin) { return "pin " + std::to_string(pin.index) + " (" + pin.name + ")"; }

// One action read from its words; the error names what is wrong with it.
std::optional<GraphAction> ParseAction(const std::vector<std::string_view>& words, std::string& error)
{
    const std::string_view verb = words[0];
    GraphAction action;
    const struct {
        std::string_view verb;
        GraphAction::Kind kind;
    } kPlain[] = {{"pause", GraphAction::Kind::Pause},
                  {"run", GraphAction::Kind::Run},
                  {"stop", GraphAction::Kind::Stop},
                  {"end", GraphAction::Kind::End}};
    for (const auto& plain : kPlain) {
        if (verb != plain.verb)
            continue;
        if (words.size() > 1) {
            error = std::string(verb) + " takes nothing after it";
            return std::nullopt;
        }
        action.kind = plain.kind;
        return action;
    }
    if (verb != "seek" && verb != "wait") {
        error = "unknown action '" + std::string(verb) + "' (pause, run, stop, seek, wait, end)";
        return std::nullopt;
    }
    const std::optional<REFERENCE_TIME> time = words.size() > 1 ? ParseSeconds(words[1]) : std::nullopt;
    if (!time) {
        error = std::string(verb) + " takes a number of seconds (0 or more)";
        return std::nullopt;
    }
    action.time = *time;
    if (verb == "wait") {
        action.kind = GraphAction::Kind::Wait;
        if (words.size() > 2) {
            error = "wait takes one number of seconds";
            return std::nullopt;
        }
        return action;
    }
    action.kind = GraphAction::Kind::Seek;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string_view flag = words[i];
        if (flag == "key") {
            action.keyFrame = true;
        } else if (flag.starts_with("rate=")) {
            action.rate = ParseNumber(flag.substr(5));
            if (!action.rate || *action.rate <= 0) {
                error = "seek rate= takes a positive number";
                return std::nullopt;
            }
        } else if (flag.starts_with("stop=")) {
            action.stop = ParseSeconds(flag.substr(5));
            if (!action.stop) {
                error = "seek stop= takes a number of seconds";
                return std::nullopt;
            }
        } else {
            error = "seek does not know '" + std::string(flag) + "' (key, rate=R, stop=SECONDS)";
            return std::nullopt;
        }
    }
    return action;
}

class Deadline {
public:
    explicit Deadline(DWORD timeoutMs) : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}

    DWORD Remaining() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    }

private:
    std::chrono::steady_clock::time_point end_;
};

class ScriptPlayer {
public:
    ScriptPlayer(IBaseFilter* source, const ScriptOptions& options, PlayReport& report)
        : driver_(source), options_(options), deadline_(options.timeoutMs), report_(report)
    {
    }

    std::string Play(const std::vector<GraphAction>& actions)
    {
        DescribePins(driver_, report_);
        if (report_.pins.empty())
            return "the source has no output pins";
        std::string error = Connect();
        for (size_t i = 0; error.empty() && i < actions.size(); ++i) {
            ActionRecord& record = report_.actions.emplace_back();
            record.text = actions[i].Text();
            if (actions[i].kind == GraphAction::Kind::Seek)
                record.seekTarget = actions[i].time;
            record.arrival = NextArrival();
            error = Perform(actions[i], record.note);
            if (!error.empty())
                record.note = error;
        }
        driver_.Stop();
        for (PinReport& pin : report_.pins) {
            if (RecordingSink* sink = driver_.Sink(pin.index)) {
                pin.events = sink->TakeEvents();
                pin.endOfStream = !pin.events.empty() && pin.events.back().kind == SinkEvent::Kind::EndOfStream;
            }
        }
        report_.graphEvents = driver_.GraphEvents();
        return error;
    }

private:
    std::string Connect()
    {
        return ConnectEachPin(driver_, report_, [this](RecordingSink& sink) {
            sink.KeepSampleBytes(options_.keepSampleBytes);
            sink.ComputeChecksums(options_.computeChecksums);
            if (options_.progress)
                sink.ReportSampleTimesTo([this](REFERENCE_TIME time) {
                    REFERENCE_TIME seen = latest_.load();
                    while (time > seen && !latest_.compare_exchange_weak(seen, time)) {
                    }
                });
        }, sinks_);
    }

    std::string Perform(const GraphAction& action, std::string& note)
    {
        switch (action.kind) {
        case GraphAction::Kind::Pause: {
            for (RecordingSink* sink : sinks_)
                sink->HoldReceive(true);
            const HRESULT hr = driver_.Pause();
            if (FAILED(hr))
                return "the graph did not pause: " + HresultDescription(hr);
            paused_ = true;
            note = WaitForCues();
            return std::string();
        }
        case GraphAction::Kind::Run: {
            for (RecordingSink* sink : sinks_)
                sink->ReleaseHold();
            paused_ = false;
            const HRESULT hr = driver_.Run();
            return FAILED(hr) ? "the graph did not run: " + HresultDescription(hr) : std::string();
        }
        case GraphAction::Kind::Stop: {
            paused_ = false;
            const HRESULT hr = driver_.Stop();
            return FAILED(hr) ? "the graph did not stop: " + HresultDescription(hr) : std::string();
        }
        case GraphAction::Kind::Seek:
            return Seek(action, note);
        case GraphAction::Kind::Wait: {
            const DWORD wanted = static_cast<DWORD>(std::min<REFERENCE_TIME>(action.time / 10000, 0xFFFFFFF0));
            if (wanted > deadline_.Remaining())
                return "wait " + SecondsText(action.time) + " s outlasts the timeout";
            Sleep(wanted);
            return std::string();
        }
        case GraphAction::Kind::End:
            for (const PinReport& pin : report_.pins) {
                RecordingSink* sink = driver_.Sink(pin.index);
                if (!sink)
                    continue;
                for (;;) {
                    const DWORD remaining = deadline_.Remaining();
                    const DWORD slice = options_.progress ? std::min<DWORD>(remaining, 200) : remaining;
                    if (sink->WaitForEndOfStream(slice))
                        break;
                    if (slice == remaining)
                        return PinLabel(pin) + ": no end of stream within the timeout";
                    ReportProgress();
                }
            }
            ReportProgress();
            return std::string();
        }
        return std::string();
    }

    // Every pin seeks, as the graph passes a seek to each renderer; the filter acts on the
    // first and counts the others.
    std::string Seek(const GraphAction& action, std::string& note)
    {
        size_t seekable = 0;
        for (const PinReport& pin : report_.pins) {
            IMediaSeeking* seeking = driver_.Seeking(pin.index);
            if (!seeking)
                continue;
            ++seekable;
            if (action.rate) {
                // A pin's rate change stops and restarts its worker, and waits for the worker to
                // answer: a worker held in a paused sink may never do so. The holds are let go
                // for the change, and what passes meanwhile is recorded as it comes.
                if (paused_)
                    for (RecordingSink* sink : sinks_)
                        sink->ReleaseHold();
                const HRESULT hr = seeking->SetRate(*action.rate);
                if (paused_)
                    for (RecordingSink* sink : sinks_)
                        sink->HoldReceive(true);
                if (FAILED(hr))
                    return PinLabel(pin) + " refused the rate: " + HresultDescription(hr);
            }
            LONGLONG start = action.time;
            LONGLONG stop = action.stop.value_or(0);
            const DWORD startFlags = AM_SEEKING_AbsolutePositioning | (action.keyFrame ? AM_SEEKING_SeekToKeyFrame : 0);
            const DWORD stopFlags = action.stop ? AM_SEEKING_AbsolutePositioning : AM_SEEKING_NoPositioning;
            const HRESULT hr = seeking->SetPositions(&start, startFlags, action.stop ? &stop : nullptr, stopFlags);
            if (FAILED(hr))
                return PinLabel(pin) + " did not seek: " + HresultDescription(hr);
        }
        if (seekable == 0)
            return "the source's pins do not seek";
        // A paused graph is paused again only once every pin has its first sample from the target.
        if (paused_)
            note = WaitForCues();
        return std::string();
    }

    // Empty once every sink holds a sample or has ended; else names the pins that did not.
    std::string WaitForCues()
    {
        Deadline cue(std::min(options_.cueTimeoutMs, deadline_.Remaining()));
        auto cued = [](RecordingSink* sink) { return sink->ReachedEndOfStream() || sink->WaitForHeldReceive(0); };
        while (!std::all_of(sinks_.begin(), sinks_.end(), cued) && cue.Remaining() > 0)
            Sleep(1);
        std::string late;
        for (const PinReport& pin : report_.pins) {
            RecordingSink* sink = driver_.Sink(pin.index);
            if (sink && !cued(sink))
                late += (late.empty() ? "" : ", ") + PinLabel(pin);
        }
        return late.empty() ? late : late + " had no sample yet";
    }

    void ReportProgress()
    {
        if (!options_.progress)
            return;
        const REFERENCE_TIME latest = latest_.load();
        options_.progress(latest == kNoTime ? std::nullopt : std::optional<REFERENCE_TIME>(latest), report_.duration);
    }

    static constexpr REFERENCE_TIME kNoTime = std::numeric_limits<REFERENCE_TIME>::min();

    // Before the driver: its sinks report into it until they are gone.
    std::atomic<REFERENCE_TIME> latest_{kNoTime};
    GraphDriver driver_;
    const ScriptOptions& options_;
    Deadline deadline_;
    PlayReport& report_;
    std::vector<RecordingSink*> sinks_;  // borrowed from the driver
    bool paused_ = false;
};

}  // namespace

std::string GraphAction::Text() const
{
    switch (kind) {
    case Kind::Pause:
        return "pause";
    case Kind::Run:
        return "run";
    case Kind::Stop:
        return "stop";
    case Kind::End:
        return "end";
    case Kind::Wait:
        return "wait " + SecondsText(time);
    case Kind::Seek: {
        std::string text = "seek " + SecondsText(time);
        if (keyFrame)
            text += " key";
        if (rate) {
            char value[32];
            std::snprintf(value, sizeof value, "%g", *rate);
            text += std::string(" rate=") + value;
        }
        if (stop)
            text += " stop=" + SecondsText(*stop);
        return text;
    }
    }
    return std::string();
}

ParsedScript ParseGraphScript(std::string_view text)
{
    ParsedScript parsed;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find_first_of(";\n", at), text.size());
        const std::vector<std::string_view> words = Words(text.substr(at, end - at));
        at = end + 1;
        if (words.empty())
            continue;
        std::optional<GraphAction> action = ParseAction(words, parsed.error);
        if (!action) {
            parsed.actions.clear();
            return parsed;
        }
        parsed.actions.push_back(*action);
    }
    if (parsed.actions.empty())
        parsed.error = "no actions given";
    return parsed;
}

std::vector<GraphAction> DefaultScript(std::optional<REFERENCE_TIME> seekTo)
{
    auto action = [](GraphAction::Kind kind, REFERENCE_TIME time = 0) {
        GraphAction made;
        made.kind = kind;
        made.time = time;
        return made;
    };
    std::vector<GraphAction> actions;
    if (seekTo) {
        actions.push_back(action(GraphAction::Kind::Pause));
        actions.push_back(action(GraphAction::Kind::Seek, *seekTo));
    }
    actions.push_back(action(GraphAction::Kind::Run));
    actions.push_back(action(GraphAction::Kind::End));
    return actions;
}

PlayResult PlayScript(IBaseFilter* source, const std::vector<GraphAction>& actions, const ScriptOptions& options)
{
    PlayResult result;
    if (!source) {
        result.error = "no source filter";
        return result;
    }
    ScriptPlayer player(source, options, result.report);
    result.error = player.Play(actions);
    return result;
}

std::optional<size_t> ActionBefore(const PlayReport& report, std::uint64_t arrival)
{
    const auto after = std::upper_bound(report.actions.begin(), report.actions.end(), arrival,
                                        [](std::uint64_t value, const ActionRecord& action) { return value < action.arrival; });
    if (after == report.actions.begin())
        return std::nullopt;
    return static_cast<size_t>(after - report.actions.begin() - 1);
}

}  // namespace vmx::host
