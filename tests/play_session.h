// A fixture loaded by a named filter in a graph whose pins all feed recording sinks, for the
// seek and thread tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/graph_driver.h"
#include "tests/fixture_reference.h"

namespace vmx::test {

struct PlaySession {
    PlaySession(const std::string& file, const char* filter)
        : source(host::OpenSourceFile(kFixtureDir + file, filter)), driver(source.filter.Get())
    {
        connected = source && SUCCEEDED(driver.ConnectAll());
    }
    HRESULT Seek(size_t pin, REFERENCE_TIME target, DWORD extraFlags = AM_SEEKING_SeekToKeyFrame)
    {
        LONGLONG position = target;
        return driver.Seeking(pin)->SetPositions(&position, AM_SEEKING_AbsolutePositioning | extraFlags, nullptr,
                                                 AM_SEEKING_NoPositioning);
    }
    // Seeks the first pins to the target (the graph paused or running), runs the graph the first
    // time, and waits for the end of every stream.
    testing::AssertionResult SeekAndPlayToTheEnd(size_t pins, REFERENCE_TIME target, DWORD extraFlags = AM_SEEKING_SeekToKeyFrame,
                                                 DWORD timeoutMs = 10000)
    {
        for (size_t pin = 0; pin < pins; ++pin)
            if (const HRESULT hr = Seek(pin, target, extraFlags); hr != S_OK)
                return testing::AssertionFailure() << "seeking pin " << pin << " failed: " << hr;
        if (!running) {
            if (const HRESULT hr = driver.Run(); hr != S_OK)
                return testing::AssertionFailure() << "Run failed: " << hr;
            running = true;
        }
        if (!driver.WaitForEndOfStream(timeoutMs))
            return testing::AssertionFailure() << "no end of stream";
        return testing::AssertionSuccess();
    }
    // SeekAndPlayToTheEnd, then the samples of pin 0's new segment, which must hold some and
    // start at the target.
    testing::AssertionResult SeekAndPlaySegment(size_t pins, REFERENCE_TIME target, std::vector<host::SinkEvent>& samples)
    {
        if (testing::AssertionResult played = SeekAndPlayToTheEnd(pins, target); !played)
            return played;
        REFERENCE_TIME segment = -1;
        samples = LastSegment(0, &segment);
        if (samples.empty())
            return testing::AssertionFailure() << "pin 0 delivered nothing";
        if (segment != target)
            return testing::AssertionFailure() << "the segment starts at " << segment;
        return testing::AssertionSuccess();
    }
    // The samples of a pin's sink after its last NewSegment, and that segment's start.
    std::vector<host::SinkEvent> LastSegment(size_t pin, REFERENCE_TIME* start = nullptr) const
    {
        std::vector<host::SinkEvent> samples;
        for (const host::SinkEvent& event : driver.Sink(pin)->Events()) {
            if (event.kind == host::SinkEvent::Kind::NewSegment) {
                samples.clear();
                if (start)
                    *start = event.start;
            } else if (event.kind == host::SinkEvent::Kind::Sample) {
                samples.push_back(event);
            }
        }
        return samples;
    }

    host::OpenedSource source;
    host::GraphDriver driver;
    bool connected = false;
    bool running = false;  // run once by SeekAndPlayToTheEnd
};

// Runs the session's graph, then forty seeks from the application thread to pseudo-random times
// below span, from one pin after another while the graph runs, then a seek of every pin back to
// 0: the play from the start that follows is what the caller checks.
inline void SeekStormThenRestart(PlaySession& session, size_t pins, REFERENCE_TIME span)
{
    ASSERT_TRUE(session.connected);
    ASSERT_EQ(session.driver.Run(), S_OK);
    std::uint32_t state = 12345;
    for (int i = 0; i < 40; ++i) {
        state = state * 1103515245u + 12345u;
        const REFERENCE_TIME target = static_cast<REFERENCE_TIME>(state % 100000) * span / 100000;
        ASSERT_EQ(session.Seek(static_cast<size_t>(i) % pins, target), S_OK);
        Sleep(state % 3);
    }
    for (size_t pin = 0; pin < pins; ++pin)
        ASSERT_EQ(session.Seek(pin, 0), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
}

// Stop returns within two seconds.
inline void ExpectPromptStop(PlaySession& session)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.driver.Stop(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Stop while a sink holds a sample and the reader waits on a full queue: it must not wait for
// either.
inline void ExpectStopWhileASinkHolds(const std::string& file, const char* filter, size_t pin = 0)
{
    PlaySession session(file, filter);
    ASSERT_TRUE(session.connected);
    session.driver.Sink(pin)->HoldReceive();
    ASSERT_EQ(session.driver.Run(), S_OK);
    Sleep(50);
    ExpectPromptStop(session);
    session.driver.Sink(pin)->ReleaseHold();
}

// A damaged fixture the filter loads, and how many samples its first pin must still deliver.
struct DamagedFileCase {
    const char* file;
    size_t minimumFirstPin;
};

inline void ExpectDamagedFilesPlay(std::span<const DamagedFileCase> cases, const char* filter, const std::string& dir = "")
{
    for (const DamagedFileCase& c : cases) {
        SCOPED_TRACE(c.file);
        const host::PlayResult played = PlayFixture(dir + c.file, filter);
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_FALSE(played.report.pins.empty());
        EXPECT_GE(SamplesOf(played.report.pins.at(0)).size(), c.minimumFirstPin);
    }
}

// Fixtures the filter must refuse to load.
inline void ExpectFilesRefused(std::initializer_list<const char*> files, const char* filter, const std::string& dir = "")
{
    for (const char* file : files) {
        SCOPED_TRACE(file);
        const host::PlayResult played = PlayFixture(dir + file, filter);
        EXPECT_NE(played.error.find("could not load"), std::string::npos) << played.error;
    }
}

// The fuzzer's findings kept under fuzz/ whose names start with the prefix load and play (from
// seekTo, when given), or fail to load cleanly.
inline void ExpectFuzzFindingsPlayOrFail(const std::string& prefix, const char* filter,
                                         std::optional<REFERENCE_TIME> seekTo = std::nullopt)
{
    host::PlayOptions options;
    options.seekTo = seekTo;
    for (const auto& entry : std::filesystem::directory_iterator(kFixtureDir + "fuzz")) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        SCOPED_TRACE(name);
        const host::PlayResult played = PlayFixture("fuzz/" + name, filter, options);
        EXPECT_TRUE(played.Succeeded() || played.error.find("could not load") != std::string::npos) << played.error;
    }
}

}  // namespace vmx::test
