// Parser-level drives, for the parser fuzz targets and the replay of their findings: each takes
// one container's parser through a whole input, with no filter graph and no threads. The input
// becomes a file in memory; the drive lists the streams and builds their media types, reads every
// packet to the end, then seeks to the start, the middle and past the end and reads on. Work that
// runs as a background index or scan beside playback runs on the caller's thread where it would
// start. Every drive is bounded in packets, so that a 1 MB input takes well under a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// What a drive got through, for the tests that hold the drives to reading what they are given.
struct KDriveResult {
    bool loaded = false;
    int streams = 0;  // streams with a media type (a pin each)
    int packets = 0;  // read in the pass from the start
};

using ParserDrive = KDriveResult (*)(std::span<const std::uint8_t> input);

KDriveResult DriveAviParser(std::span<const std::uint8_t> input);
// The first Ogg filter's reading: the shared Ogg parser with the Direct Show Samples kind, and
// the chapters of the comments.
KDriveResult DriveOggParser(std::span<const std::uint8_t> input);
KDriveResult DriveOgg2Parser(std::span<const std::uint8_t> input);
KDriveResult DriveMpegParser(std::span<const std::uint8_t> input);
KDriveResult DriveMpeg2Parser(std::span<const std::uint8_t> input);
KDriveResult DriveMkvParser(std::span<const std::uint8_t> input);
KDriveResult DriveMp4Parser(std::span<const std::uint8_t> input);
// What the Windows Media reader reads for the filter on it: its profile's streams and types, its
// key-frame search before a start, and every media object.
KDriveResult DriveAsfWmParser(std::span<const std::uint8_t> input);
KDriveResult DriveFlvParser(std::span<const std::uint8_t> input);
KDriveResult DriveAsfParser(std::span<const std::uint8_t> input);
KDriveResult DriveMp3Parser(std::span<const std::uint8_t> input);
KDriveResult DriveAacParser(std::span<const std::uint8_t> input);

struct KParserDriveEntry {
    std::string_view target;        // the fuzz target is <target>_parser_fuzz
    std::string_view findingPrefix;  // its findings under tests/fixtures/fuzz/ start with this
    ParserDrive drive;
};

// Every container's drive, in the module's filter order.
std::span<const KParserDriveEntry> ParserDrives();
// The drive whose finding prefix starts the file name (the longest that does), or null.
const KParserDriveEntry* ParserDriveForFinding(std::string_view fileName);
