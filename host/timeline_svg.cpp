#include "host/timeline_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "host/graph_script.h"

namespace vmx::host {


namespace {

constexpr double kWidth = 1200;
constexpr double kLabelWidth = 170;
constexpr double kRightMargin = 30;
constexpr double kTop = 70;
constexpr double kLaneHeight = 64;
constexpr double kLaneGap = 26;
constexpr double kPlotWidth = kWidth - kLabelWidth - kRightMargin;
// Up to this many packets a lane draws each one; beyond, one mark per pixel column keeps the
// file small enough for a browser at hours of content.
constexpr size_t kMaxSingleMarks = 6000;
constexpr const char* kLaneColours[] = {"#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#17becf"};

// A sample placed in media time: the segment's start plus the sample time at the segment's rate.
struct Mark {
    double start = 0;  // seconds
    double stop = 0;
    LONG bytes = 0;
    bool sync = false;
    bool discontinuity = false;
    bool preroll = false;
    bool timed = false;
    size_t segment = 0;  // which NewSegment of the pin's record it followed
};

struct Landing {
    double requested = 0;
    std::vector<std::optional<double>> perPin;  // the first sample time after the seek
};

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

std::string ClockText(double seconds, double step)
{
    char text[48];
    if (step >= 60 || seconds >= 3600) {
        const long whole = std::lround(seconds);
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    } else if (step >= 1) {
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    } else {
        std::snprintf(text, sizeof text, "%.*f s", step >= 0.1 ? 1 : 2, seconds);
    }
    return text;
}

// A tick step of 1, 2 or 5 times a power of ten (or minutes and hours) giving about ten ticks.
double TickStep(double span)
{
    static constexpr double kSteps[] = {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900,
                                        1800, 3600, 7200, 18000, 36000};
    for (double step : kSteps)
        if (span / step <= 12)
            return step;
    return std::pow(10.0, std::ceil(std::log10(span / 10)));
}

std::vector<Mark> MarksOf(const PinReport& pin)
{
    std::vector<Mark> marks;
    double segmentStart = 0;
    double rate = 1;
    size_t segment = 0;
    for (const SinkEvent& event : pin.events) {
        if (event.kind == SinkEvent::Kind::NewSegment) {
            segmentStart = static_cast<double>(event.start) / 1e7;
            rate = event.rate > 0 ? event.rate : 1;
            ++segment;
            continue;
        }
        if (event.kind != SinkEvent::Kind::Sample)
            continue;
        Mark mark;
        mark.segment = segment;
        mark.bytes = event.length;
        mark.sync = event.syncPoint;
        mark.discontinuity = event.discontinuity;
        mark.preroll = event.preroll;
        mark.timed = event.startValid;
        if (event.startValid) {
            mark.start = segmentStart + static_cast<double>(event.start) / 1e7 * rate;
            mark.stop = event.stopValid ? segmentStart + static_cast<double>(event.stop) / 1e7 * rate : mark.start;
        } else if (!marks.empty()) {
            // An untimed sample sits where the last timed one was.
            mark.start = mark.stop = marks.back().stop;
        }
        marks.push_back(mark);
    }
    return marks;
}

// The last seek and, per pin, the first sample time of the segment that followed it.
std::optional<Landing> LandingOf(const PlayReport& report)
{
    std::optional<size_t> lastSeek;
    for (size_t i = 0; i < report.actions.size(); ++i)
        if (report.actions[i].seekTarget)
            lastSeek = i;
    if (!lastSeek)
        return std::nullopt;
    Landing landing;
    landing.requested = static_cast<double>(*report.actions[*lastSeek].seekTarget) / 1e7;
    for (const PinReport& pin : report.pins) {
        std::optional<double> first;
        double segmentStart = 0;
        double rate = 1;
        for (const SinkEvent& event : pin.events) {
            if (event.arrival < report.actions[*lastSeek].arrival)
                continue;
            if (event.kind == SinkEvent::Kind::NewSegment) {
                segmentStart = static_cast<double>(event.start) / 1e7;
                rate = event.rate > 0 ? event.rate : 1;
            } else if (event.kind == SinkEvent::Kind::Sample && event.startValid) {
                first = segmentStart + static_cast<double>(event.start) / 1e7 * rate;
                break;
            }
        }
        landing.perPin.push_back(first);
    }
    return landing;
}

class Canvas {
public:
    Canvas(double begin, double end) : begin_(begin), span_(std::max(end - begin, 1e-3)) {}

    double X(double seconds) const { return kLabelWidth + (seconds - begin_) / span_ * kPlotWidth; }
    double Begin() const { return begin_; }
    double Span() const { return span_; }

private:
    double begin_;
    double span_;
};

void DrawLane(std::string& svg, const Canvas& canvas, const std::vector<Mark>& marks, double top, const char* colour)
{
    // Where every packet is a sync point (audio, mostly) ticks would only draw a bar.
    const bool allSync = std::all_of(marks.begin(), marks.end(), [](const Mark& mark) { return mark.sync; });
    const double bottom = top + kLaneHeight;
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#f6f6f6\"/>\n", kLabelWidth, top,
                  kPlotWidth, kLaneHeight);
    if (marks.size() <= kMaxSingleMarks) {
        LONG largest = 1;
        for (const Mark& mark : marks)
            largest = std::max(largest, mark.bytes);
        for (const Mark& mark : marks) {
            const double x = canvas.X(mark.start);
            const double width = std::max(1.0, canvas.X(mark.stop) - x - 0.3);
            const double height = std::max(1.0, (kLaneHeight - 4) * mark.bytes / largest);
            svg += Format("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"", x, bottom - height, width, height);
            svg += std::string(" fill=\"") + colour + "\"" + (mark.preroll ? " fill-opacity=\"0.35\"" : "") + "/>\n";
        }
    } else {
        // One column per pixel: the bytes of its packets against the fullest column. A time
        // played twice (a restart, a seek back) shows one play's bytes, not their sum.
        const size_t columns = static_cast<size_t>(kPlotWidth) + 1;
        std::vector<double> bytes(columns, 0.0);
        std::vector<double> segmentBytes(columns, 0.0);
        size_t segment = marks.empty() ? 0 : marks.front().segment;
        auto closeSegment = [&] {
            for (size_t column = 0; column < columns; ++column) {
                bytes[column] = std::max(bytes[column], segmentBytes[column]);
                segmentBytes[column] = 0;
            }
        };
        for (const Mark& mark : marks) {
            if (mark.segment != segment) {
                closeSegment();
                segment = mark.segment;
            }
            const double column = std::clamp(canvas.X(mark.start) - kLabelWidth, 0.0, kPlotWidth);
            segmentBytes[static_cast<size_t>(column)] += mark.bytes;
        }
        closeSegment();
        const double fullest = std::max(1.0, *std::max_element(bytes.begin(), bytes.end()));
        std::string path;
        for (size_t column = 0; column < bytes.size(); ++column) {
            if (bytes[column] <= 0)
                continue;
            const double height = std::max(1.0, (kLaneHeight - 4) * bytes[column] / fullest);
            path += Format("M%.0f %.2fv%.2fh1v%.2fz", kLabelWidth + static_cast<double>(column), bottom, -height, height);
        }
        svg += std::string("<path d=\"") + path + "\" fill=\"" + colour + "\"/>\n";
    }
    // Sync points above the lane, discontinuities across it; one per pixel column at most.
    std::vector<bool> syncColumns(static_cast<size_t>(kPlotWidth) + 1, false);
    std::vector<bool> breakColumns(syncColumns.size(), false);
    std::string syncPath;
    std::string breakPath;
    for (const Mark& mark : marks) {
        const double x = canvas.X(mark.start);
        const size_t column = static_cast<size_t>(std::clamp(x - kLabelWidth, 0.0, kPlotWidth));
        if (mark.sync && !allSync && !syncColumns[column]) {
            syncColumns[column] = true;
            syncPath += Format("M%.2f %.2fl-3 -6h6z", x, top - 1);
        }
        if (mark.discontinuity && !breakColumns[column]) {
            breakColumns[column] = true;
            breakPath += Format("M%.2f %.2fv%.2f", x, top, kLaneHeight);
        }
    }
    if (!syncPath.empty())
        svg += "<path d=\"" + syncPath + "\" fill=\"#333\"/>\n";
    if (!breakPath.empty())
        svg += "<path d=\"" + breakPath + "\" stroke=\"#d62728\" stroke-width=\"1.5\"/>\n";
}

}  // namespace

std::string DrawTimeline(const PlayReport& report, const TimelineLabels& labels)
{
    std::vector<std::vector<Mark>> lanes;
    double begin = 0;
    double end = report.duration ? static_cast<double>(*report.duration) / 1e7 : 0;
    for (const PinReport& pin : report.pins) {
        lanes.push_back(MarksOf(pin));
        for (const Mark& mark : lanes.back()) {
            begin = std::min(begin, mark.start);
            end = std::max(end, mark.stop);
        }
    }
    const std::optional<Landing> landing = LandingOf(report);
    if (landing)
        end = std::max(end, landing->requested);
    const Canvas canvas(begin, end);
    const double height = kTop + static_cast<double>(lanes.size()) * (kLaneHeight + kLaneGap) + 50;

    std::string svg = Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                             "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n",
                             kWidth, height, kWidth, height);
    svg += Format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", kWidth, height);
    svg += "<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">" + Escape(labels.title) + "</text>\n";
    svg += "<text x=\"10\" y=\"42\" fill=\"#555\">" + Escape(labels.subtitle) + "</text>\n";

    // Time axis: grid lines through every lane, labels below the last.
    const double step = TickStep(canvas.Span());
    const double axisY = kTop + static_cast<double>(lanes.size()) * (kLaneHeight + kLaneGap) - kLaneGap + 16;
    for (double tick = std::ceil(begin / step) * step; tick <= end + step * 1e-6; tick += step) {
        const double x = canvas.X(tick);
        svg += Format("<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#ddd\"/>\n", x, kTop - 10, x, axisY - 12);
        svg += Format("<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" fill=\"#333\">", x, axisY);
        svg += ClockText(tick, step) + "</text>\n";
    }

    for (size_t i = 0; i < lanes.size(); ++i) {
        const double top = kTop + static_cast<double>(i) * (kLaneHeight + kLaneGap);
        const char* colour = kLaneColours[i % std::size(kLaneColours)];
        const PinReport& pin = report.pins[i];
        svg += Format("<text x=\"10\" y=\"%.2f\" font-weight=\"bold\">", top + 16);
        svg += "pin " + std::to_string(pin.index) + "</text>\n";
        // The name on a line of its own, cut to what the label column holds.
        std::string name = pin.name;
        if (name.size() > 24) {
            size_t cut = 23;
            while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
                --cut;  // not inside a UTF-8 sequence
            name = name.substr(0, cut) + "\xE2\x80\xA6";
        }
        svg += Format("<text x=\"10\" y=\"%.2f\">", top + 32) + Escape(name) + "</text>\n";
        const size_t count = lanes[i].size();
        svg += Format("<text x=\"10\" y=\"%.2f\" fill=\"#555\">", top + 48);
        svg += std::to_string(count) + (count == 1 ? " packet" : " packets") + "</text>\n";
        const bool allSync = !lanes[i].empty()
            && std::all_of(lanes[i].begin(), lanes[i].end(), [](const Mark& mark) { return mark.sync; });
        std::string note = count > kMaxSingleMarks ? "a mark a pixel" : "";
        if (allSync)
            note += (note.empty() ? "" : ", ") + std::string("all sync");
        if (!note.empty())
            svg += Format("<text x=\"10\" y=\"%.2f\" fill=\"#555\">", top + 63) + note + "</text>\n";
        DrawLane(svg, canvas, lanes[i], top, colour);
        if (landing && landing->perPin[i]) {
            const double x = canvas.X(*landing->perPin[i]);
            svg += Format("<path d=\"M%.2f %.2fl5 5l-5 5l-5 -5z\" fill=\"#d62728\" stroke=\"white\"/>\n", x,
                          top + kLaneHeight / 2 - 5);
            svg += Format("<text x=\"%.2f\" y=\"%.2f\" fill=\"#d62728\" font-size=\"11\">", x + 7, top + kLaneHeight / 2 + 4);
            svg += Format("landed %.3f s", *landing->perPin[i]) + "</text>\n";
        }
    }
    if (landing) {
        const double x = canvas.X(landing->requested);
        svg += Format("<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#d62728\" stroke-dasharray=\"4 3\"/>\n",
                      x, kTop - 12, x, axisY - 12);
        svg += Format("<text x=\"%.2f\" y=\"%.2f\" fill=\"#d62728\" text-anchor=\"middle\">", x, kTop - 16);
        svg += Format("seek %.3f s", landing->requested) + "</text>\n";
    }
    // Legend.
    const double legendY = height - 12;
    svg += Format("<path d=\"M%.0f %.0fl-3 -6h6z\" fill=\"#333\"/>", kLabelWidth + 3, legendY - 2);
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" fill=\"#333\">sync point</text>\n", kLabelWidth + 12, legendY);
    svg += Format("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#d62728\" stroke-width=\"1.5\"/>",
                  kLabelWidth + 100, legendY - 11, kLabelWidth + 100, legendY + 1);
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" fill=\"#333\">discontinuity</text>\n", kLabelWidth + 106, legendY);
    svg += Format("<rect x=\"%.0f\" y=\"%.0f\" width=\"8\" height=\"10\" fill=\"#1f77b4\" fill-opacity=\"0.35\"/>",
                  kLabelWidth + 210, legendY - 10);
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" fill=\"#333\">preroll; mark height: bytes</text>\n", kLabelWidth + 222,
                  legendY);
    svg += "</svg>\n";
    return svg;
}

}  // namespace vmx::host
