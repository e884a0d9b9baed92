#include "fuzz/parser_drive.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "demux/asf/asf_filter.h"
#include "demux/asf/asf_media_types.h"
#include "demux/asf/asf_read_handler.h"
#include "demux/audio/aac_filter.h"
#include "demux/audio/mp3_filter.h"
#include "demux/avi/avi_filter.h"
#include "demux/flv/flv_filter.h"
#include "demux/mkv/mkv_filter.h"
#include "demux/mp4/mp4_filter.h"
#include "demux/mpeg_ps/mpeg_filter.h"
#include "demux/mpeg_ts/mpeg2_filter.h"
#include "demux/ogg/ogg2_filter.h"
#include "demux/ogg/ogg2_read_handler.h"
#include "demux/ogg/ogg_chapters.h"
#include "framework/extensions.h"
#include "framework/media_type.h"
#include "io/wide_text.h"

namespace {

// The whole read, and what is read after each seek: enough for every fixture, and a bound on
// inputs that make a packet of every few bytes.
constexpr int kMaxPackets = 20000;
constexpr int kPacketsAfterSeek = 100;
constexpr int kMaxTypesPerPin = 64;
constexpr REFERENCE_TIME kSecond = 10000000;

// The input as a file the readers open by name: one memory file for the process, refilled for
// each input, so that no input costs a file on disk.
class KMemoryInput {
public:
    explicit KMemoryInput(std::span<const std::uint8_t> bytes)
    {
        static const int fd = CreateMemoryFile();
        // Written over and then cut to size: the pages of the last input are used again.
        if (!WriteAll(fd, bytes) || ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
            Fail("cannot fill the memory file");
        m_path = WideFromUtf8("/proc/self/fd/" + std::to_string(fd));
    }
    LPCWSTR Path() const { return m_path.c_str(); }

private:
    static int CreateMemoryFile()
    {
        const int fd = memfd_create("vmx-parser-drive", MFD_CLOEXEC);
        if (fd < 0)
            Fail("cannot create the memory file");
        return fd;
    }
    static bool WriteAll(int fd, std::span<const std::uint8_t> bytes)
    {
        size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = pwrite(fd, bytes.data() + written, bytes.size() - written, static_cast<off_t>(written));
            if (n <= 0)
                return false;
            written += static_cast<size_t>(n);
        }
        return true;
    }
    // Without its file no drive reads anything: a run that went on would test nothing.
    [[noreturn]] static void Fail(const char* what)
    {
        std::perror(what);
        std::abort();
    }

    WString m_path;
};

// The drives read what the module-wide extensions switch adds as well, and never ask the
// registry (a file read for every input).
class KExtensionsOn {
public:
    KExtensionsOn() { OverrideExtensions(true); }
    ~KExtensionsOn() { OverrideExtensions(std::nullopt); }
    KExtensionsOn(const KExtensionsOn&) = delete;
    KExtensionsOn& operator=(const KExtensionsOn&) = delete;
};

// Past the end by a second, without overflowing a duration a damaged file made the largest.
REFERENCE_TIME PastTheEnd(REFERENCE_TIME duration)
{
    duration = std::max<REFERENCE_TIME>(duration, 0);
    return duration > std::numeric_limits<REFERENCE_TIME>::max() - kSecond ? duration : duration + kSecond;
}

// Every type every pin offers, as a host enumerates them before connecting; returns the pins.
int ListMediaTypes(IBaseFilter& filter)
{
    IEnumPins* pins = nullptr;
    if (FAILED(filter.EnumPins(&pins)) || !pins)
        return 0;
    int count = 0;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        ++count;
        IEnumMediaTypes* types = nullptr;
        if (SUCCEEDED(pin->EnumMediaTypes(&types)) && types) {
            AM_MEDIA_TYPE* type = nullptr;
            for (int i = 0; i < kMaxTypesPerPin && types->Next(1, &type, nullptr) == S_OK; ++i)
                DeleteMediaType(type);
            types->Release();
        }
        pin->Release();
    }
    pins->Release();
    return count;
}

}  // namespace

// The reader thread's steps, taken in turn on the caller's thread (a friend of the demuxer filter).
class KParserDrive {
public:
    template <class Filter>
    static KDriveResult Drive(std::span<const std::uint8_t> input)
    {
        KMemoryInput file(input);
        KExtensionsOn extensions;
        HRESULT hr = S_OK;
        auto* filter = new Filter(nullptr, nullptr, &hr);
        filter->NonDelegatingAddRef();
        KDriveResult result;
        if (SUCCEEDED(hr))
            result = Play(*filter, *filter, file.Path());
        filter->NonDelegatingRelease();
        return result;
    }

private:
    template <class Packet>
    static KDriveResult Play(CDemuxFilterT<Packet>& filter, IBaseFilter& pins, LPCWSTR path)
    {
        CDemuxFilter& demux = filter;
        demux.m_threadless = true;
        KDriveResult result;
        if (FAILED(demux.Load(path, nullptr)))
            return result;
        result.loaded = true;
        result.streams = ListMediaTypes(pins);
        if (demux.ParserPositioning() == CDemuxFilter::Positioning::EachPass)
            demux.Reposition(0);
        result.packets = ReadPass(filter, kMaxPackets);
        const REFERENCE_TIME duration = demux.Duration();
        for (const REFERENCE_TIME target : {REFERENCE_TIME{0}, duration / 2, PastTheEnd(duration)}) {
            demux.Reposition(target);
            ReadPass(filter, kPacketsAfterSeek);
        }
        return result;
    }

    // Returns the packets read.
    template <class Packet>
    static int ReadPass(CDemuxFilterT<Packet>& filter, int limit)
    {
        filter.BeginReadPass();
        int read = 0;
        for (; read < limit; ++read) {
            std::unique_ptr<Packet> packet;
            if (filter.NextPacket(packet) != S_OK || !packet)
                break;
        }
        return read;
    }
};

KDriveResult DriveAviParser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CAVI2_Filter>(input); }
KDriveResult DriveOgg2Parser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<COGG2_Filter>(input); }
KDriveResult DriveMpegParser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CMPG_Filter>(input); }
KDriveResult DriveMpeg2Parser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CMPG2_Filter>(input); }
KDriveResult DriveMkvParser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CMKV_Filter>(input); }
KDriveResult DriveMp4Parser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CMP4_Filter>(input); }
KDriveResult DriveFlvParser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CFLV_Filter>(input); }
KDriveResult DriveAsfParser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CAsfEx_Filter>(input); }
KDriveResult DriveMp3Parser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CMP3_Filter>(input); }
KDriveResult DriveAacParser(std::span<const std::uint8_t> input) { return KParserDrive::Drive<CAAC_Filter>(input); }

KDriveResult DriveOggParser(std::span<const std::uint8_t> input)
{
    KMemoryInput file(input);
    KExtensionsOn extensions;
    KOGG2ReadHandler handler;
    handler.SetThreadless(true);
    KDriveResult result;
    if (FAILED(handler.Open(file.Path(), true)))
        return result;
    result.loaded = true;
    // Load's reading: the chapters of the first comment header, each stream's type and pin name.
    std::vector<OggChapter> chapters;
    for (size_t i = 0; i < handler.StreamCount(); ++i) {
        KOGG2ReadStream& stream = handler.Stream(i);
        if (chapters.empty() && !stream.Header(1).empty())
            chapters = ParseOggChapters(stream.Header(1));
        CMediaType type;
        if (stream.MissingHeaders() == 0 && stream.GetMediaType(&type)) {
            OggPinName(stream, type.majortype);
            ++result.streams;
        }
    }
    const auto readPass = [&handler](int limit) {
        KOggDataPacket packet;
        int read = 0;
        while (read < limit && handler.ReadPacket(packet) == 0)
            ++read;
        return read;
    };
    result.packets = readPass(kMaxPackets);
    const REFERENCE_TIME duration = std::max(handler.Duration(), handler.IndexedTime());
    for (const REFERENCE_TIME target : {REFERENCE_TIME{0}, duration / 2, PastTheEnd(duration)}) {
        handler.SeekTo(target, false);
        readPass(kPacketsAfterSeek);
    }
    return result;
}

KDriveResult DriveAsfWmParser(std::span<const std::uint8_t> input)
{
    KMemoryInput file(input);
    KExtensionsOn extensions;
    KAsfExReadHandler handler;
    handler.SetThreadless(true);
    KDriveResult result;
    if (!handler.Open(file.Path()))
        return result;
    result.loaded = true;
    // The profile: a type for every stream, selected or not.
    for (size_t i = 0; i < handler.StreamCount(); ++i)
        if (AsfStreamMediaType(handler.Stream(i)))
            ++result.streams;
    // Objects that complete, as the reader hands them out.
    const auto readPass = [&handler](int limit) {
        AsfObject object;
        std::vector<BYTE> bytes;
        int read = 0;
        for (int i = 0; i < limit && handler.ReadNextObject(object); ++i)
            if (object.streamNumber != 0xFFFF && object.size != 0 && handler.CopyObject(object.streamNumber, bytes))
                ++read;
        return read;
    };
    result.packets = readPass(kMaxPackets);
    const REFERENCE_TIME duration = handler.Duration();
    for (const REFERENCE_TIME target : {REFERENCE_TIME{0}, duration / 2, PastTheEnd(duration)}) {
        handler.SeekToKeyFrameBefore(target);
        readPass(kPacketsAfterSeek);
    }
    return result;
}

std::span<const KParserDriveEntry> ParserDrives()
{
    // The first Ogg filter's findings are "ogg1-": "ogg-" files have always been the second's.
    static constexpr KParserDriveEntry kDrives[] = {
        {"avi", "avi-", &DriveAviParser},       {"ogg", "ogg1-", &DriveOggParser},
        {"mpeg", "mpeg-", &DriveMpegParser},    {"mkv", "mkv-", &DriveMkvParser},
        {"mp4", "mp4-", &DriveMp4Parser},       {"asf_wm", "asf-wm-", &DriveAsfWmParser},
        {"flv", "flv-", &DriveFlvParser},       {"asf", "asf-", &DriveAsfParser},
        {"ogg2", "ogg-", &DriveOgg2Parser},     {"mp3", "mp3-", &DriveMp3Parser},
        {"aac", "aac-", &DriveAacParser},       {"mpeg2", "mpeg2-", &DriveMpeg2Parser},
    };
    return kDrives;
}

const KParserDriveEntry* ParserDriveForFinding(std::string_view fileName)
{
    const KParserDriveEntry* best = nullptr;
    for (const KParserDriveEntry& entry : ParserDrives())
        if (fileName.starts_with(entry.findingPrefix) && (!best || entry.findingPrefix.size() > best->findingPrefix.size()))
            best = &entry;
    return best;
}
