// The vmx tool as a user runs it: what help lists, a refusal named, every getter of a private
// interface printed, the background index followed, the record of scripted actions, and the
// timeline picture as a browser draws it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "host/file_player.h"
#include "host/timeline_svg.h"
#include "tests/fixture_reference.h"
#include "tests/png_pixels.h"
#include "tests/test_support.h"

using vmx::test::kFixtureDir;
using vmx::test::ReadText;
using vmx::test::ScopedTempDir;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string errors;
};

ToolRun RunVmx(const std::string& arguments, const ScopedTempDir& dir)
{
    const std::string out = dir.file("stdout.txt");
    const std::string errors = dir.file("stderr.txt");
    const std::string command =
        std::string("'") + VMX_TOOL_FILE + "' " + arguments + " >'" + out + "' 2>'" + errors + "' </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(errors)};
}

std::string Fixture(const std::string& name) { return "'" + kFixtureDir + name + "'"; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(VmxTool, HelpListsEveryCommandActionOptionAndSetting)
{
    ScopedTempDir dir;
    const ToolRun help = RunVmx("--help", dir);
    ASSERT_EQ(help.status, 0);
    for (const char* item : {"vmx info", "vmx packets", "vmx extract", "vmx timeline", "--do", "--seek", "--set",
                             "--wait-index", "--json", "--filter any", "pause", "run", "stop", "seek S [key] [rate=R]",
                             "wait S", "end", "mkv (IVmxMKV): seek-key-frame=0|1 preroll=N",
                             "mp4 (IVmxMP4): seek-key-frame=0|1 user-value=N",
                             "avi (IVmxAVI): seek-key-frame=0|1 anchoring=N user-value=N", "asfex (IVmxASFEX): preroll=N",
                             "ogg2 (IVmxOGG2): seek-key-frame=0|1 preroll=N"})
        EXPECT_TRUE(Contains(help.out, item)) << item;
}

TEST(VmxTool, TheExtensionsFilterRefusingAFileIsTheAnswer)
{
    ScopedTempDir dir;
    // The MP4 filter refuses fragmented files; the MP3 filter would find frames in them.
    const ToolRun refused = RunVmx("packets " + Fixture("mp4/fragmented.mp4"), dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(Contains(refused.errors, "Torvane MP4 Source Filter (mp4) could not load "));
    EXPECT_TRUE(Contains(refused.errors, "Load returned 0x80004005 (E_FAIL, unspecified failure)"));
    EXPECT_TRUE(Contains(refused.errors, "it is the filter for .mp4 files (--filter any tries every filter)"));
    // MP3 frames named .avi: the AVI filter's refusal stands; --filter any finds the MP3 filter.
    std::filesystem::copy_file(kFixtureDir + "mp3/cbr-44k-id3.mp3", dir.file("frames.avi"));
    const ToolRun avi = RunVmx("info '" + dir.file("frames.avi") + "'", dir);
    EXPECT_EQ(avi.status, 1);
    EXPECT_TRUE(Contains(avi.errors, "Torvane AVI Source Filter (avi) could not load ")) << avi.errors;
    const ToolRun any = RunVmx("info '" + dir.file("frames.avi") + "' --filter any", dir);
    EXPECT_EQ(any.status, 0) << any.errors;
    EXPECT_TRUE(Contains(any.out, "filter: Torvane MP3 Source Filter")) << any.out;
}

TEST(VmxTool, InfoPrintsEveryGetterOfThePrivateInterfaceInTextAndJson)
{
    const struct {
        const char* file;
        const char* options;
        const char* interface;
        std::vector<std::string> lines;  // "name: value" as printed
    } kFilters[] = {
        {"mkv/h264-aac.mkv", "--set seek-key-frame=0", "IVmxMKV", {"seek-key-frame: 0", "preroll: 0"}},
        {"mp4/keys-4s.mp4", "--set user-value=42", "IVmxMP4",
         {"seek-key-frame: 1", "available-duration: ", "user-value: 42"}},
        {"avi/h264-aac.avi", "--set anchoring=1", "IVmxAVI",
         {"seek-key-frame: 1", "anchoring: 1", "indexed-duration: ", "user-value: 0"}},
        {"asf/keys-10s.wmv", "--set preroll=0", "IVmxASFEX", {"indexed-duration: ", "preroll: 0"}},
        {"ogg/theora-vorbis.ogg", "--set seek-key-frame=1", "IVmxOGG2",
         {"seek-key-frame: 1", "indexed-duration: ", "preroll: 1"}},
        {"ogg/vorbis-chapters.ogg", "--filter ogg", "IVmxOGG", {"chapter-count: "}},
    };
    ScopedTempDir dir;
    for (const auto& entry : kFilters) {
        SCOPED_TRACE(entry.file);
        const ToolRun text = RunVmx("info " + Fixture(entry.file) + " " + entry.options, dir);
        ASSERT_EQ(text.status, 0) << text.errors;
        EXPECT_TRUE(Contains(text.out, std::string("\n") + entry.interface + ":\n")) << text.out;
        const ToolRun json = RunVmx("info " + Fixture(entry.file) + " " + entry.options + " --json", dir);
        ASSERT_EQ(json.status, 0) << json.errors;
        EXPECT_TRUE(Contains(json.out, std::string("\"name\": \"") + entry.interface + "\"")) << json.out;
        for (const std::string& line : entry.lines) {
            EXPECT_TRUE(Contains(text.out, "  " + line)) << line;
            EXPECT_TRUE(Contains(json.out, "\"" + line.substr(0, line.find(':')) + "\": ")) << line;
        }
    }
    const ToolRun unknown = RunVmx("info " + Fixture("mp3/cbr-info.mp3") + " --set preroll=1", dir);
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.errors, "--set preroll: the filter has no such setting (it has none)")) << unknown.errors;
}

TEST(VmxTool, WaitIndexFollowsEachBackgroundIndexToItsEnd)
{
    ScopedTempDir dir;
    for (const char* file : {"mkv/no-cues.mkv", "avi/no-idx1.avi", "asf/no-index.wmv", "ogg/theora-vorbis.ogg"}) {
        SCOPED_TRACE(file);
        const ToolRun run = RunVmx(std::string("info ") + Fixture(file) + " --wait-index --timeout 30", dir);
        ASSERT_EQ(run.status, 0) << run.errors;
        std::smatch found;
        ASSERT_TRUE(std::regex_search(run.out, found,
                                      std::regex("background index: finished, indexed duration ([0-9.]+) s, after [0-9.]+ s")))
            << run.out;
        EXPECT_GT(std::stod(found[1]), 1.0);
        // Not a terminal: no progress line.
        EXPECT_EQ(run.errors, "");
    }
    const ToolRun indexed = RunVmx("info " + Fixture("mkv/cues-10s.mkv") + " --wait-index --json", dir);
    ASSERT_EQ(indexed.status, 0) << indexed.errors;
    EXPECT_TRUE(Contains(indexed.out, "\"background_index\": null")) << indexed.out;
}

TEST(VmxTool, PacketsListsEveryActionAndWhatFollowedIt)
{
    ScopedTempDir dir;
    const ToolRun scripted = RunVmx("packets " + Fixture("mp3/cbr-44k-id3.mp3") + " --do 'pause; seek 1; run; end'", dir);
    ASSERT_EQ(scripted.status, 0) << scripted.errors;
    const std::string& out = scripted.out;
    size_t at = 0;
    for (const char* line : {"# action 1: seek 1\n", "0, action, pause\n", "0, segment, 0, ", "0, sample, 0, ",
                             "0, action, seek 1\n", "0, begin-flush\n", "0, end-flush\n", "0, segment, 10000000, ",
                             "0, end-of-stream\n"}) {
        const size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << out.substr(0, 3000);
        at = found;
    }
    // --seek is the same play.
    const ToolRun shortForm = RunVmx("packets " + Fixture("mp3/cbr-44k-id3.mp3") + " --seek 1", dir);
    ASSERT_EQ(shortForm.status, 0) << shortForm.errors;
    // Without the action lines: "run" and "end" follow each other at once, and which of them the
    // next sample is listed after depends on when it arrived.
    auto samples = [](const std::string& text) {
        std::istringstream lines(text.substr(text.find("0, sample, ")));
        std::string kept, line;
        while (std::getline(lines, line))
            if (line.rfind("0, action, ", 0) != 0)
                kept += line + "\n";
        return kept;
    };
    EXPECT_EQ(samples(shortForm.out), samples(out));
    const ToolRun bad = RunVmx("packets " + Fixture("mp3/cbr-44k-id3.mp3") + " --do 'pause; jump 3'", dir);
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.errors, "--do: unknown action 'jump'")) << bad.errors;
}

namespace {

// Renders an SVG file with Chromium headless; the PNG's path, or empty when it could not.
std::string RenderWithChromium(const std::string& svg, const ScopedTempDir& dir, int height)
{
    const std::string png = svg + ".png";
    const std::string command = "timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
                                "--screenshot='" + png + "' --window-size=1200," + std::to_string(height) + " 'file://" + svg
        + "' >'" + dir.file("chromium.txt") + "' 2>&1";
    return std::system(command.c_str()) == 0 ? png : std::string();
}

bool HaveChromium() { return std::system("command -v chromium >/dev/null 2>&1") == 0; }

// Two hours of one audio pin, a packet every 26 ms, with a video pin's key frame every 10 s.
vmx::host::PlayReport TwoHours()
{
    using vmx::host::SinkEvent;
    vmx::host::PlayReport report;
    report.duration = 7200LL * 10000000;
    for (size_t p = 0; p < 2; ++p) {
        vmx::host::PinReport& pin = report.pins.emplace_back();
        pin.index = p;
        pin.name = p == 0 ? "Video" : "Audio";
        pin.events.push_back(SinkEvent{.kind = SinkEvent::Kind::NewSegment, .stop = *report.duration});
        const REFERENCE_TIME step = p == 0 ? 400000 : 260000;
        for (REFERENCE_TIME t = 0; t < *report.duration; t += step) {
            const bool key = p == 0 && t % 100000000 == 0;
            pin.events.push_back(SinkEvent{.start = t, .stop = t + step, .startValid = true, .stopValid = true,
                                           .syncPoint = key || p == 1, .length = key ? 30000 : 2000 + static_cast<LONG>(t % 977)});
        }
    }
    return report;
}

}  // namespace

TEST(VmxTool, TimelineDrawsLanesMarksAndTheSeekThatABrowserRenders)
{
    ScopedTempDir dir;
    const std::string svg = dir.file("ten-seconds.svg");
    const ToolRun run = RunVmx("timeline " + Fixture("asf/keys-10s.wmv") + " '" + svg + "' --seek 5.5", dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::string text = ReadText(svg);
    EXPECT_TRUE(Contains(text, "<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_TRUE(Contains(text, "seek 5.500 s"));
    EXPECT_TRUE(Contains(text, "landed "));
    EXPECT_TRUE(Contains(text, "</svg>"));
    const std::string longSvg = dir.file("two-hours.svg");
    std::ofstream(longSvg) << vmx::host::DrawTimeline(TwoHours(), {"two hours", "synthetic"});
    EXPECT_LT(ReadText(longSvg).size(), 400000u);  // binned, so a browser opens it at once
    EXPECT_TRUE(Contains(ReadText(longSvg), "2:00:00"));

    if (!HaveChromium())
        GTEST_SKIP() << "chromium is not installed (scripts/need-packages.sh chromium): the SVGs were not rendered";
    for (const std::string& file : {svg, longSvg}) {
        SCOPED_TRACE(file);
        const std::string png = RenderWithChromium(file, dir, 300);
        ASSERT_FALSE(png.empty()) << ReadText(dir.file("chromium.txt"));
        const std::optional<vmx::test::Pixels> pixels = vmx::test::ReadPng(png);
        ASSERT_TRUE(pixels);
        EXPECT_EQ(pixels->width, 1200u);
        // Both lanes' marks in their colours, sync ticks in dark grey.
        EXPECT_GT(pixels->CountNear(0x1f, 0x77, 0xb4), 150u);
        EXPECT_GT(pixels->CountNear(0x2c, 0xa0, 0x2c), 150u);
        EXPECT_GT(pixels->CountNear(0x33, 0x33, 0x33, 10), 50u);
    }
    // The seek's dashed line and landing marks.
    EXPECT_GT(vmx::test::ReadPng(svg + ".png")->CountNear(0xd6, 0x27, 0x28), 40u);
}
