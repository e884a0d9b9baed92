// A fixture loaded by a named filter in a graph whose pins all feed recording sinks, for the
// seek and thread tests.
#pragma once

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
};

}  // namespace vmx::test
