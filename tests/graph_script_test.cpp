// Scripted graph actions on the fixtures: what each filter delivers across pause, seek, run,
// stop and run again, key-frame seeks, and the options its private interface sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "host/filter_options.h"
#include "host/graph_script.h"
#include "host/source_factory.h"
#include "tests/fixture_reference.h"

using namespace vmx::host;
using namespace vmx::test;

namespace {

struct Scripted {
    OpenedSource source;
    PlayResult played;
};

Scripted Play(const std::string& file, const std::string& filter, const std::vector<GraphAction>& actions,
              const std::vector<FilterSetting>& settings = {})
{
    Scripted run;
    ConfigureSource configure;
    if (!settings.empty())
        configure = [&settings](IBaseFilter* f, size_t index, LoadStage stage) {
            return ApplyFilterSettings(f, index, stage, settings);
        };
    run.source = OpenSourceFile(kFixtureDir + file, filter, configure);
    if (run.source) {
        ScriptOptions options;
        options.timeoutMs = 30000;
        run.played = PlayScript(run.source.filter.Get(), actions, options);
    }
    return run;
}

std::vector<GraphAction> Script(const std::string& text)
{
    ParsedScript parsed = ParseGraphScript(text);
    EXPECT_EQ(parsed.error, "") << text;
    return parsed.actions;
}

// A pin's events from those that followed action `from` up to those that followed action `to`.
std::vector<SinkEvent> Between(const PlayReport& report, size_t pin, size_t from, size_t to = SIZE_MAX)
{
    std::vector<SinkEvent> events;
    for (const SinkEvent& event : report.pins.at(pin).events) {
        const std::optional<size_t> action = ActionBefore(report, event.arrival);
        if (action && *action >= from && *action < to)
            events.push_back(event);
    }
    return events;
}

std::vector<SinkEvent> Samples(const std::vector<SinkEvent>& events)
{
    std::vector<SinkEvent> samples;
    std::copy_if(events.begin(), events.end(), std::back_inserter(samples),
                 [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::Sample; });
    return samples;
}

// From the last NewSegment on.
std::vector<SinkEvent> LastSegment(const std::vector<SinkEvent>& events)
{
    const auto last = std::find_if(events.rbegin(), events.rend(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::NewSegment; });
    return last == events.rend() ? events : std::vector<SinkEvent>(std::prev(last.base()), events.end());
}

std::optional<REFERENCE_TIME> SegmentStart(const std::vector<SinkEvent>& events)
{
    for (const SinkEvent& event : events)
        if (event.kind == SinkEvent::Kind::NewSegment)
            return event.start;
    return std::nullopt;
}

size_t PrerollCount(const std::vector<SinkEvent>& events)
{
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const SinkEvent& e) {
        return e.kind == SinkEvent::Kind::Sample && e.preroll;
    }));
}

}  // namespace

TEST(GraphScript, ReadsActionsAndNamesWhatItCannotRead)
{
    const ParsedScript parsed = ParseGraphScript(" pause; seek 2.5 key rate=2 stop=4\nrun;wait 0.5 ; stop;run; end;");
    ASSERT_EQ(parsed.error, "");
    std::vector<std::string> texts;
    for (const GraphAction& action : parsed.actions)
        texts.push_back(action.Text());
    EXPECT_EQ(texts, (std::vector<std::string>{"pause", "seek 2.5 key rate=2 stop=4", "run", "wait 0.5", "stop", "run", "end"}));
    EXPECT_EQ(parsed.actions[1].time, 25000000);
    EXPECT_EQ(parsed.actions[1].stop, 40000000);

    const std::pair<const char*, const char*> kRefused[] = {
        {"pause; rewind", "unknown action 'rewind'"},
        {"seek", "seek takes a number of seconds"},
        {"seek -1", "seek takes a number of seconds"},
        {"seek 1 fast", "seek does not know 'fast'"},
        {"seek 1 rate=0", "rate= takes a positive number"},
        {"wait 1 2", "wait takes one number"},
        {"run now", "run takes nothing after it"},
        {" ; ", "no actions given"},
    };
    for (const auto& [text, message] : kRefused) {
        const ParsedScript refused = ParseGraphScript(text);
        EXPECT_TRUE(refused.actions.empty()) << text;
        EXPECT_NE(refused.error.find(message), std::string::npos) << text << ": " << refused.error;
    }
}

namespace {

// Where a Run after Stop, without a seek, starts reading (as the lifecycle tests hold each
// filter to): again from the seek, where the reader stood (the end, after a whole play), or from 0.
enum class Restart { FromTheSeek, WhereItStood, FromTheStart };

struct RunAgain {
    const char* filter;
    const char* file;
    Restart restart;
    size_t headers = 0;  // codec header samples every start sends first
};

constexpr RunAgain kRunAgain[] = {
    {"avi", "avi/h264-aac.avi", Restart::WhereItStood},
    {"ogg", "ogg/theora-vorbis.ogg", Restart::FromTheSeek, 3},
    {"mpeg", "mpeg/mpeg1-mp2.mpg", Restart::FromTheSeek},
    {"mkv", "mkv/h264-aac.mkv", Restart::WhereItStood},
    {"mp4", "mp4/h264-aac-faststart.mp4", Restart::WhereItStood},
    {"asf", "asf/keys-10s.wmv", Restart::FromTheStart},
    {"flv", "flv/h264-aac.flv", Restart::FromTheSeek},
    {"asfex", "asf/wmv2-wma2.wmv", Restart::FromTheSeek},
    {"ogg2", "ogg/theora-vorbis.ogg", Restart::WhereItStood, 3},
    {"mp3", "mp3/cbr-44k-id3.mp3", Restart::FromTheSeek},
    {"aac", "aac/lc-44k-stereo.aac", Restart::FromTheSeek},
    {"mpeg2", "ts/h264-1080.ts", Restart::WhereItStood},
};

}  // namespace

TEST(GraphScript, StopThenRunContinuesOrRestartsAsEachFilterMustAndTheRecordKeepsEveryRestart)
{
    for (const RunAgain& entry : kRunAgain) {
        SCOPED_TRACE(std::string(entry.filter) + " " + entry.file);
        OpenedSource probe = OpenSourceFile(kFixtureDir + entry.file, entry.filter);
        ASSERT_TRUE(probe) << probe.error;
        const std::optional<REFERENCE_TIME> duration = DescribeSource(probe.filter.Get()).report.duration;
        ASSERT_TRUE(duration);
        std::vector<GraphAction> actions = Script("pause; seek 0; run; end; stop; run; end");
        actions[1].time = *duration * 2 / 5;
        const Scripted run = Play(entry.file, entry.filter, actions);
        ASSERT_TRUE(run.played.Succeeded()) << run.played.error;
        const PlayReport& report = run.played.report;
        ASSERT_EQ(report.actions.size(), 7u);
        for (size_t pin = 0; pin < report.pins.size(); ++pin) {
            SCOPED_TRACE(pin);
            if (FAILED(report.pins[pin].connection))
                continue;
            // The paused seek: a flush, then the new segment; some filters flush at once, others
            // (the second Ogg filter) when the run starts the reader.
            const std::vector<SinkEvent> seek = Between(report, pin, 1, 4);
            const auto begin = std::find_if(seek.begin(), seek.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::BeginFlush; });
            ASSERT_NE(begin, seek.end());
            const auto end = std::find_if(begin, seek.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::EndFlush; });
            ASSERT_NE(end, seek.end());
            EXPECT_NE(std::find_if(end, seek.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::NewSegment; }), seek.end());
            // The start before it stays in the record.
            EXPECT_TRUE(SegmentStart(Between(report, pin, 0, 1)));

            const std::vector<SinkEvent> first = Samples(LastSegment(Between(report, pin, 1, 4)));
            const std::vector<SinkEvent> again = Samples(LastSegment(Between(report, pin, 5)));
            EXPECT_EQ(report.pins[pin].events.back().kind, SinkEvent::Kind::EndOfStream);
            switch (entry.restart) {
            case Restart::WhereItStood:
                EXPECT_EQ(again.size(), entry.headers);
                break;
            case Restart::FromTheStart:
                EXPECT_GT(again.size(), first.size());
                break;
            case Restart::FromTheSeek:
                ASSERT_EQ(again.size(), first.size());
                for (size_t k = 0; k < again.size(); ++k) {
                    EXPECT_EQ(again[k].adler32, first[k].adler32) << k;
                    EXPECT_EQ(again[k].start, first[k].start) << k;
                }
                break;
            }
        }
    }
}

TEST(GraphScript, ASeekWhileRunningFlushesStartsANewSegmentAndPlaysOnToTheEnd)
{
    const Scripted run = Play("mkv/cues-10s.mkv", "mkv", Script("run; wait 0.05; seek 12; end"));
    ASSERT_TRUE(run.played.Succeeded()) << run.played.error;
    const PlayReport& report = run.played.report;
    for (size_t pin = 0; pin < report.pins.size(); ++pin) {
        SCOPED_TRACE(pin);
        EXPECT_FALSE(Samples(Between(report, pin, 0, 2)).empty());
        // After the seek: flush, segment, samples, end of stream, in this order; before the flush
        // only what the first play still had on its way.
        const std::vector<SinkEvent> after = Between(report, pin, 2);
        const auto flush = std::find_if(after.begin(), after.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::BeginFlush; });
        ASSERT_GE(after.end() - flush, 4);
        EXPECT_TRUE(std::all_of(after.begin(), flush, [](const SinkEvent& e) { return e.kind != SinkEvent::Kind::NewSegment; }));
        EXPECT_EQ(flush[1].kind, SinkEvent::Kind::EndFlush);
        EXPECT_EQ(flush[2].kind, SinkEvent::Kind::NewSegment);
        EXPECT_EQ(flush[2].start, 12 * kSecond);
        EXPECT_EQ(after.back().kind, SinkEvent::Kind::EndOfStream);
        EXPECT_TRUE(std::all_of(flush + 3, after.end() - 1, [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::Sample; }));
    }
}

TEST(GraphScript, AKeyFrameSeekLandsOnAKeyFrameAndAnExactOneStartsItsSegmentAtTheTarget)
{
    // keys-4s: video key frames at 0, 1, 2 and 3 s; cues-10s: about every second.
    const struct {
        const char* filter;
        const char* file;
        REFERENCE_TIME target;
    } kFiles[] = {{"mp4", "mp4/keys-4s.mp4", 15 * kSecond / 10}, {"mkv", "mkv/cues-10s.mkv", 155 * kSecond / 10}};
    for (const auto& entry : kFiles) {
        SCOPED_TRACE(entry.file);
        for (bool key : {true, false}) {
            SCOPED_TRACE(key ? "key" : "exact");
            std::vector<GraphAction> actions = Script(key ? "pause; seek 0 key; run; end" : "pause; seek 0; run; end");
            actions[1].time = entry.target;
            const Scripted run = Play(entry.file, entry.filter, actions);
            ASSERT_TRUE(run.played.Succeeded()) << run.played.error;
            const std::vector<SinkEvent> video = LastSegment(Between(run.played.report, 0, 1));
            const std::optional<REFERENCE_TIME> start = SegmentStart(video);
            ASSERT_TRUE(start);
            const std::vector<SinkEvent> samples = Samples(video);
            ASSERT_FALSE(samples.empty());
            EXPECT_TRUE(samples.front().syncPoint);
            if (key) {
                EXPECT_GT(*start, entry.target);  // nothing played yet: the seek goes forward
                EXPECT_GE(samples.front().start, 0);  // MP4: shown 0.08 s after its decode time
                EXPECT_LT(samples.front().start, kSecond / 10);
                EXPECT_EQ(PrerollCount(video), 0u);
            } else {
                EXPECT_EQ(*start, entry.target);
            }
        }
    }
}

TEST(GraphScript, EachSettingOfAPrivateInterfaceChangesWhatIsDelivered)
{
    using Measure = std::function<std::optional<REFERENCE_TIME>(const PlayReport&)>;
    // What follows the seek (action 1) on a pin: its segment start, or how many samples are preroll.
    const auto segmentStart = [](size_t pin) -> Measure {
        return [pin](const PlayReport& report) { return SegmentStart(LastSegment(Between(report, pin, 1))); };
    };
    const auto preroll = [](size_t pin) -> Measure {
        return [pin](const PlayReport& report) {
            return std::optional<REFERENCE_TIME>(static_cast<REFERENCE_TIME>(PrerollCount(LastSegment(Between(report, pin, 1)))));
        };
    };
    const struct {
        const char* filter;
        const char* file;
        const char* script;
        std::vector<FilterSetting> base;  // set in both plays
        FilterSetting setting;  // set in the second
        Measure measure;
    } kSettings[] = {
        // The key frame after 7.3 s is at 8 s; snapping needs preroll marking on too.
        {"ogg2", "ogg/theora-vorbis.ogg", "pause; seek 7.3; run; end", {}, {"seek-key-frame", "1"}, segmentStart(0)},
        {"ogg2", "ogg/theora-vorbis.ogg", "pause; seek 7.3; run; end", {{"seek-key-frame", "1"}}, {"preroll", "0"}, segmentStart(0)},
        {"asfex", "asf/keys-10s.wmv", "pause; seek 5.5; run; end", {}, {"preroll", "0"}, preroll(0)},
        // xvid-mp3: key frames at 0 and 1.04 s. Video from the key frame before 2 s is preroll
        // only with key frames on; anchored, audio starts at the key frame after 1 s too.
        {"avi", "avi/xvid-mp3.avi", "pause; seek 2; run; end", {}, {"seek-key-frame", "0"}, preroll(0)},
        {"avi", "avi/xvid-mp3.avi", "pause; seek 1; run; end", {}, {"anchoring", "1"}, segmentStart(1)},
    };
    for (const auto& entry : kSettings) {
        SCOPED_TRACE(std::string(entry.filter) + " " + entry.setting.name + "=" + entry.setting.value);
        std::vector<FilterSetting> settings = entry.base;
        const Scripted plain = Play(entry.file, entry.filter, Script(entry.script), settings);
        settings.push_back(entry.setting);
        const Scripted set = Play(entry.file, entry.filter, Script(entry.script), settings);
        ASSERT_TRUE(plain.played.Succeeded()) << plain.played.error;
        ASSERT_TRUE(set.played.Succeeded()) << set.played.error;
        const std::optional<REFERENCE_TIME> before = entry.measure(plain.played.report);
        const std::optional<REFERENCE_TIME> after = entry.measure(set.played.report);
        ASSERT_TRUE(before && after);
        EXPECT_NE(*before, *after);
    }
}

TEST(FilterOptions, SettersReachTheGettersAndBadSettingsAreRefusedByName)
{
    const struct {
        const char* filter;
        const char* file;
        std::vector<FilterSetting> settings;
        std::vector<std::pair<std::string, std::string>> expected;
    } kFilters[] = {
        {"mkv", "mkv/h264-aac.mkv", {{"seek-key-frame", "0"}, {"preroll", "0x100000000"}},
         {{"seek-key-frame", "0"}, {"preroll", "0"}}},
        {"mp4", "mp4/keys-4s.mp4", {{"seek-key-frame", "0"}, {"user-value", "7"}},
         {{"seek-key-frame", "0"}, {"user-value", "7"}}},
        {"avi", "avi/h264-aac.avi", {{"anchoring", "3"}, {"user-value", "9"}}, {{"anchoring", "3"}, {"user-value", "9"}}},
        {"asfex", "asf/keys-10s.wmv", {{"preroll", "0"}}, {{"preroll", "0"}}},
        {"ogg2", "ogg/theora-vorbis.ogg", {{"seek-key-frame", "1"}, {"preroll", "5"}}, {{"seek-key-frame", "1"}, {"preroll", "5"}}},
    };
    for (const auto& entry : kFilters) {
        SCOPED_TRACE(entry.filter);
        const std::vector<FilterSetting>& settings = entry.settings;
        OpenedSource source = OpenSourceFile(kFixtureDir + entry.file, entry.filter,
                                             [&settings](IBaseFilter* f, size_t index, LoadStage stage) {
                                                 return ApplyFilterSettings(f, index, stage, settings);
                                             });
        ASSERT_TRUE(source) << source.error;
        const std::optional<PrivateInterface> read = ReadPrivateInterface(source.filter.Get());
        ASSERT_TRUE(read);
        for (const auto& expected : entry.expected) {
            const auto found = std::find_if(read->properties.begin(), read->properties.end(),
                                            [&](const FilterProperty& p) { return p.name == expected.first; });
            ASSERT_NE(found, read->properties.end()) << expected.first;
            EXPECT_EQ(found->value, expected.second) << expected.first;
        }
    }
    const std::pair<FilterSetting, const char*> kRefused[] = {
        {{"anchoring", "1"}, "the filter has no such setting (it has seek-key-frame, user-value)"},
        {{"seek-key-frame", "2"}, "takes 0 or 1, not '2'"},
        {{"user-value", "0x100000000"}, "takes a 32-bit number"},
        {{"user-value", "-1"}, "takes a 32-bit number"},
    };
    for (const auto& refused : kRefused) {
        const FilterSetting& setting = refused.first;
        OpenedSource source = OpenSourceFile(kFixtureDir + "mp4/keys-4s.mp4", "mp4",
                                             [&setting](IBaseFilter* f, size_t index, LoadStage stage) {
                                                 return ApplyFilterSettings(f, index, stage, {setting});
                                             });
        EXPECT_FALSE(source);
        EXPECT_NE(source.error.find(refused.second), std::string::npos) << source.error;
    }
}
