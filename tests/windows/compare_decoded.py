#!/usr/bin/env python3
"""Checks what the platform's decoders made of one file's pins against ffmpeg's decode.

    compare_decoded.py FILE HOST_OUTPUT DUMP_DIR --seek SECONDS --expect CODES --name NAME
        --source-after-seek PACKETS

HOST_OUTPUT is what `vmx_graph_host FILE --decode DUMP_DIR --seek SECONDS` printed; DUMP_DIR holds
its pinN-runR.raw files; PACKETS is what `vmx packets FILE --seek SECONDS` printed (where each pin
restarts after the seek). CODES has a letter per pin: d (decoded) or n (no decoder on the
platform). Prints one line per pin and a tab-separated "table" line per pin for the summary;
exits 1 on any failure.

Audio: the decoded sample count within one codec frame of ffmpeg's, and the waveform's
signal-to-noise ratio against ffmpeg's PCM at the best lag at least MIN_SNR_DB. Video: frame
count, dimensions and frame times as ffmpeg's, and the first picture's PSNR against ffmpeg's at
least MIN_PSNR_DB. After the seek: the first decoded time at or before the target, and the count
(from where the decoded audio lies in ffmpeg's decode) and the waveform to the end as above.
"""
import argparse
import array
import json
import math
import operator
import re
import subprocess
import sys

MIN_SNR_DB = 40.0
MIN_PSNR_DB = 30.0
# Times are compared to the 100 ns unit with this much slack for rounding, and a sample's start
# may be off the end of the one before by GAP_SLACK (container clocks of 90 kHz, 1 ms units).
TIME_SLACK = 20
GAP_SLACK = 10000
# Decoder warm-up after a seek, left out of the SNR: an MP3 frame may take its data from up to
# 511 bytes back (two frames at low rates) and overlaps the frame before it; Wine's MP3 DMO
# gives up to four wrong frames there.
WARMUP_FRAMES = 4

# Samples per codec frame by format tag, for the count tolerance and the lag search.
FRAME_SAMPLES = {0x0001: 1, 0x0050: 1152, 0x0055: 1152, 0x0160: 2048, 0x0161: 2048, 0x0162: 2048}

RAW_FORMATS = {8: ("u8", "B", 1), 16: ("s16le", "h", 2), 24: ("s24le", None, 3), 32: ("s32le", "i", 4)}

# Our sink's names for uncompressed video, as ffmpeg's pixel formats, with bytes per pixel for RGB.
PIXEL_FORMATS = {"RGB24": ("bgr24", 3), "RGB32": ("bgra", 4), "ARGB32": ("bgra", 4), "RGB555": ("rgb555le", 2),
                 "RGB565": ("rgb565le", 2), "YUY2": ("yuyv422", None), "UYVY": ("uyvy422", None),
                 "YV12": ("yuv420p", None), "I420": ("yuv420p", None), "NV12": ("nv12", None)}


# winegstreamer's decoders carry a time before the segment's start (preroll after a seek back to a
# key frame) through GStreamer's unsigned nanoseconds, and hand it back as that unsigned count / 100.
WRAPPED_BASE = (1 << 64) // 100


def unwrap(time):
    return time - WRAPPED_BASE if time is not None and time > WRAPPED_BASE // 2 else time


class Failure(Exception):
    pass


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    if result.returncode != 0:
        raise Failure(f"{' '.join(command[:6])}… failed: {result.stderr.decode(errors='replace').strip()[:200]}")
    return result.stdout


def parse_host(path):
    """Pins as the host connected them, and each run's samples from the pin's last segment on."""
    pins = {}
    runs = {1: {}, 2: {}}
    segments = {1: {}, 2: {}}
    current = None
    pin_line = re.compile(r"^# (decoded|no decoder for|decoder refuses) pin (\d+) \((.*?)\): in ([^;(]*?)\s*(?:\(|;|$)(.*)")
    with open(path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            line = line.rstrip("\n")
            match = pin_line.match(line)
            if match:
                status, index, name, described, rest = match.groups()
                pin = {"index": int(index), "name": name, "in": described.split(), "detail": rest}
                pin["status"] = {"decoded": "decoded", "no decoder for": "none", "decoder refuses": "refused"}[status]
                if status == "decoded":
                    out = re.search(r"out ([^;]*); via (.*)", line)
                    pin["out"] = out.group(1).split()
                    pin["via"] = out.group(2)
                pins[pin["index"]] = pin
                continue
            if line.startswith("# run "):
                current = int(line[6])
                continue
            if current is None or line.startswith("#"):
                continue
            fields = line.split(", ")
            if len(fields) < 2 or not fields[0].isdigit():
                continue
            index = int(fields[0])
            if fields[1] == "segment":
                segments[current][index] = int(fields[2])
                runs[current][index] = []
            elif fields[1] == "sample":
                start = None if fields[2] == "-" else unwrap(int(fields[2]))
                stop = None if fields[4] == "-" else unwrap(int(fields[4]))
                runs[current].setdefault(index, []).append((start, stop, int(fields[6])))
    return pins, runs, segments


def source_starts(path):
    """Each pin's first sample time after the seek, from its last segment's start, in 100 ns."""
    starts = {}
    segment = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.rstrip("\n").split(", ")
            if len(fields) < 3 or not fields[0].isdigit():
                continue
            index = int(fields[0])
            if fields[1] == "segment":
                segment[index] = int(fields[2])
                starts.pop(index, None)
            elif fields[1] == "sample" and index not in starts and fields[2] != "-":
                starts[index] = segment.get(index, 0) + int(fields[2])
    return starts


def probe(path, selector):
    out = run(["ffprobe", "-v", "error", "-select_streams", selector, "-show_entries",
               "stream=codec_name,sample_rate,channels,width,height", "-of", "json", path])
    streams = json.loads(out).get("streams", [])
    if not streams:
        raise Failure(f"ffprobe finds no stream {selector}")
    return streams[0]


def read_samples(data, bits):
    """Interleaved integer samples, signed and centred whatever the width."""
    if bits == 24:
        usable = len(data) - len(data) % 3
        return array.array("i", (int.from_bytes(data[i:i + 3], "little", signed=True) for i in range(0, usable, 3)))
    code = RAW_FORMATS[bits][1]
    width = RAW_FORMATS[bits][2]
    samples = array.array(code, data[:len(data) - len(data) % width])
    if sys.byteorder != "little":
        samples.byteswap()
    if bits == 8:
        return array.array("i", (value - 128 for value in samples))
    return samples


def window_snr(ours, reference, channels, begin, lag, window):
    """SNR in dB of the first channel of ours[begin:begin + window] against reference at lag."""
    start = begin + lag
    if start < 0 or start + window > len(reference) // channels:
        return -math.inf
    a = ours[begin * channels:(begin + window) * channels:channels]
    b = reference[start * channels:(start + window) * channels:channels]
    signal = sum(map(operator.mul, b, b))
    noise = sum(x * x for x in map(operator.sub, a, b))
    if noise == 0:
        return math.inf
    return -math.inf if signal == 0 else 10 * math.log10(signal / noise)


def best_lag(ours, reference, channels, anchors, before, after):
    """The offset into reference (in frames) where ours fits best, from before frames ahead of
    one of the anchors (where the times say ours starts) to after frames past it: the first
    anchor when the first channel matches there, else the best SNR of a short window, refined
    over a longer one. SNR rather than correlation, as the test tones repeat: a lag off by a
    period correlates almost as well."""
    frames = len(ours) // channels
    begin = min(frames // 4, 8192)
    window = min(4096, frames - begin)
    if window <= 0:
        return anchors[0]
    if window_snr(ours, reference, channels, begin, anchors[0], window) >= MIN_SNR_DB:
        return anchors[0]
    lags = sorted({lag for anchor in anchors for lag in range(anchor - before, anchor + after + 1)})
    short = min(128, window)
    shortlist = sorted(lags, key=lambda lag: -window_snr(ours, reference, channels, begin, lag, short))[:16]
    return max(shortlist, key=lambda lag: window_snr(ours, reference, channels, begin, lag, window))


def snr(ours, reference, channels, lag, skip):
    """Signal-to-noise ratio in dB of ours against reference shifted by lag frames, over the
    frames both have, the first skip frames of ours left out."""
    first = max(skip, -lag)
    last = min(len(ours) // channels, len(reference) // channels - lag)
    if last - first < 64:
        raise Failure(f"only {max(last - first, 0)} frames overlap ffmpeg's decode")
    a = ours[first * channels:last * channels]
    b = reference[(first + lag) * channels:(last + lag) * channels]
    signal = sum(map(operator.mul, b, b))
    noise = sum(x * x for x in map(operator.sub, a, b))
    if noise == 0:
        return math.inf
    if signal == 0:
        return -math.inf
    return 10 * math.log10(signal / noise)


def largest_gap(samples, what, bytes_per_second):
    """The largest distance in 100 ns between a sample's start and the end of the audio of the one
    before (stop times are not used: a source may send a PCM sample's stop as its start + 1).
    Decoders carry the source's times, so this shows the source's timing, not the decoder's."""
    largest = 0
    for (start, _, size), (next_start, _, _) in zip(samples, samples[1:]):
        if start is None or next_start is None:
            raise Failure(f"{what}: a decoded sample has no time")
        gap = next_start - start - round(size * 1e7 / bytes_per_second)
        largest = max(largest, abs(gap))
    return largest


def frame_samples(pin):
    described = pin["in"]
    if described[0] == "pcm":
        return 1
    if described[0] == "audio" and described[1].startswith("0x"):
        tag = int(described[1], 16)
        if tag in (0x0002, 0x0011):
            return 1024  # at most a block's worth; the fixtures' blocks hold 1012 and 1017
        return FRAME_SAMPLES.get(tag, 2048)
    return 2048


def check_audio(args, pin, runs, segments, stream_index):
    rate, channels, bits = (int(value) for value in pin["out"][1:4])
    info = probe(args.file, f"a:{stream_index}")
    if (int(info["sample_rate"]), int(info["channels"])) != (rate, channels):
        raise Failure(f"decoded to {rate} Hz {channels} channels, ffmpeg decodes {info['sample_rate']} Hz "
                      f"{info['channels']} channels")
    if bits not in RAW_FORMATS:
        raise Failure(f"decoded to {bits}-bit samples")
    # ffmpeg drops the encoder delay and padding that a LAME tag gives, and so does Wine's MP3 DMO,
    # in whole frames; a decoder that keeps them is within a frame of the count all the same.
    reference = read_samples(run(["ffmpeg", "-v", "error", "-nostdin", "-i", args.file,
                                  "-map", f"0:a:{stream_index}", "-f", RAW_FORMATS[bits][0], "-"]), bits)
    frame = frame_samples(pin)
    reference_frames = len(reference) // channels
    results = []
    for number in (1, 2):
        samples = runs[number].get(pin["index"], [])
        with open(f"{args.dumps}/pin{pin['index']}-run{number}.raw", "rb") as dump:
            ours = read_samples(dump.read(), bits)
        frames = len(ours) // channels
        what = f"run {number}"
        if sum(size for _, _, size in samples) != len(ours) * (bits // 8):
            raise Failure(f"{what}: the dump holds other bytes than the samples listed")
        if not samples:
            raise Failure(f"{what}: no decoded sample")
        gap = largest_gap(samples, what, rate * channels * (bits // 8))
        if number == 1:
            anchors = [0]
            skip = 0
        else:
            first = segments[2].get(pin["index"], 0) + samples[0][0]
            if first > args.target + TIME_SLACK:
                raise Failure(f"after the seek the first decoded time is {first / 1e7:.6f} s, past the target")
            # The source restarts where `vmx packets --seek` shows (a key frame's preroll may
            # start before the target); the decoded audio is looked for there.
            # Decoders may drop a preroll sample's time before the segment start (Wine's MP3 DMO
            # starts its output at the segment start), so the first decoded time is tried too.
            anchors = [max(0, round(args.source_starts.get(pin["index"], first) * rate / 1e7)),
                       max(0, round(first * rate / 1e7))]
            skip = WARMUP_FRAMES * frame
        # Where ours starts in ffmpeg's decode; from there on nothing may be missing. (After a seek
        # back to a key frame the source sends preroll, which the decoder may keep or drop.)
        # A seek lands at or before the time asked for: the MP3 source's, by a VBR file's table
        # of contents, up to a few frames before, though it stamps the frame with the target.
        lag = best_lag(ours, reference, channels, anchors, 6 * frame, 2 * frame)
        expected = reference_frames - (0 if number == 1 else lag)
        if abs(frames - expected) > frame:
            raise Failure(f"{what}: {frames} samples decoded, ffmpeg decodes {expected} from where they start "
                          f"(one frame is {frame})")
        ratio = snr(ours, reference, channels, lag, skip)
        if ratio < MIN_SNR_DB:
            raise Failure(f"{what}: SNR {ratio:.1f} dB against ffmpeg (lag {lag - anchors[0]})")
        results.append((frames, expected, ratio, round(first * rate / 1e7) - lag if number == 2 else lag, gap))
    (frames1, ref1, snr1, lag1, gap1), (frames2, ref2, snr2, lag2, _) = results
    gaps = f", sample times off the audio by up to {gap1 / 1e4:.1f} ms" if gap1 > GAP_SLACK else ""
    return (frames1 + frames2,
            f"{frames1} samples (ffmpeg {ref1}), SNR {snr1:.1f} dB at lag {lag1}{gaps}; after the seek "
            f"{frames2} (ffmpeg {ref2}), SNR {snr2:.1f} dB, its first time {lag2} samples from where the audio is")


def unpack_pixels(data, name, width, height, padded, bottom_up):
    """Picture bytes as comparable 8-bit values, rows top-down and without padding (RGB rows of
    a bitmap are padded to four bytes)."""
    depth = PIXEL_FORMATS[name][1]
    if depth is None:
        return bytes(data)
    stride = (width * depth + 3) // 4 * 4 if padded else width * depth
    rows = [data[row * stride:row * stride + width * depth] for row in range(height)]
    if bottom_up:
        rows.reverse()
    values = bytearray()
    for row in rows:
        if depth == 3:
            values += row
        elif depth == 4:
            values += bytes(b for i, b in enumerate(row) if i % 4 != 3)
        else:
            green_bits = 6 if name == "RGB565" else 5
            for i in range(0, len(row), 2):
                value = row[i] | row[i + 1] << 8
                values += bytes(((value & 0x1F) << 3, ((value >> 5) & ((1 << green_bits) - 1)) << (8 - green_bits),
                                 ((value >> (5 + green_bits)) & 0x1F) << 3))
    return bytes(values)


def psnr(a, b):
    if len(a) != len(b) or not a:
        raise Failure(f"the first picture has {len(a)} bytes, ffmpeg's {len(b)}")
    error = sum(x * x for x in map(operator.sub, a, b)) / len(a)
    return math.inf if error == 0 else 10 * math.log10(255 * 255 / error)


def check_video(args, pin, runs, segments, stream_index):
    name, width, height, order = pin["out"][1], int(pin["out"][2]), int(pin["out"][3]), pin["out"][4]
    info = probe(args.file, f"v:{stream_index}")
    if (int(info["width"]), int(info["height"])) != (width, height):
        raise Failure(f"decoded to {width}x{height}, ffmpeg decodes {info['width']}x{info['height']}")
    if name not in PIXEL_FORMATS:
        raise Failure(f"decoded to {name}, which this check cannot read")
    frames = run(["ffmpeg", "-v", "error", "-nostdin", "-i", args.file, "-map", f"0:v:{stream_index}",
                  "-fps_mode", "passthrough", "-f", "framemd5", "-"]).decode()
    base = re.search(r"^#tb 0: (\d+)/(\d+)", frames, re.M)
    times = [int(line.split(",")[2]) for line in frames.splitlines() if line and not line.startswith("#")]
    times = [round((t - times[0]) * 1e7 * int(base.group(1)) / int(base.group(2))) for t in times]
    counts = []
    for number in (1, 2):
        samples = runs[number].get(pin["index"], [])
        what = f"run {number}"
        if not samples or any(start is None for start, _, _ in samples):
            raise Failure(f"{what}: no decoded picture, or one without a time")
        ours = [start - samples[0][0] for start, _, _ in samples]
        if number == 1:
            expected = times
        else:
            first = segments[2].get(pin["index"], 0) + samples[0][0]
            if first > args.target + TIME_SLACK:
                raise Failure(f"after the seek the first picture is at {first / 1e7:.6f} s, past the target")
            start = min(times, key=lambda t: abs(t - first))
            expected = [t - start for t in times if t >= start]
        if len(ours) != len(expected):
            raise Failure(f"{what}: {len(ours)} pictures decoded, ffmpeg decodes {len(expected)}")
        worst = max(abs(a - b) for a, b in zip(ours, expected))
        if worst > 10000:
            raise Failure(f"{what}: a picture's time is {worst / 1e4:.1f} ms from ffmpeg's")
        counts.append(len(ours))
    reference = run(["ffmpeg", "-v", "error", "-nostdin", "-i", args.file, "-map", f"0:v:{stream_index}",
                     "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", PIXEL_FORMATS[name][0], "-"])
    with open(f"{args.dumps}/pin{pin['index']}-run1.raw", "rb") as dump:
        ours = dump.read()
    if name == "YV12":  # the chroma planes the other way round from ffmpeg's yuv420p
        luma = width * height
        chroma = luma // 4
        ours = ours[:luma] + ours[luma + chroma:luma + 2 * chroma] + ours[luma:luma + chroma]
    ratio = psnr(unpack_pixels(ours, name, width, height, True, order == "up"),
                 unpack_pixels(reference, name, width, height, False, False))
    if ratio < MIN_PSNR_DB:
        raise Failure(f"the first picture's PSNR against ffmpeg's is {ratio:.1f} dB")
    return (counts[0] + counts[1],
            f"{counts[0]} pictures {width}x{height} {name} as ffmpeg's, times within 1 ms, first picture PSNR "
            f"{ratio:.1f} dB; after the seek {counts[1]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("host_output")
    parser.add_argument("dumps")
    parser.add_argument("--seek", type=float, required=True)
    parser.add_argument("--expect", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--source-after-seek", required=True,
                        help="what `vmx packets FILE --seek SECONDS` printed: where each pin restarts")
    args = parser.parse_args()
    args.target = round(args.seek * 1e7)

    pins, runs, segments = parse_host(args.host_output)
    args.source_starts = source_starts(args.source_after_seek)
    failed = False
    if len(pins) != len(args.expect):
        print(f"FAILED: {args.name}: {len(pins)} pins reported, {len(args.expect)} expected")
        return 1
    kinds_seen = {"audio": 0, "video": 0, "other": 0}
    for index in sorted(pins):
        pin = pins[index]
        kind = pin["in"][0] if pin["in"][0] in kinds_seen else "other"
        stream_index = kinds_seen[kind]
        kinds_seen[kind] += 1
        codec = " ".join(pin["in"][:2])
        label = f"{args.name} pin {index} ({pin['name']}, {codec})"
        expected = {"d": "decoded", "n": "none"}.get(args.expect[index], "?")
        samples = 0
        try:
            if pin["status"] == "refused":
                raise Failure(f"a decoder refuses it: {pin['detail'].strip()}")
            if pin["status"] != expected:
                raise Failure(f"{'no decoder' if pin['status'] == 'none' else 'decoded'}, where the list says "
                              f"{'no decoder' if expected == 'none' else 'decoded'}: {pin.get('via', pin['detail'])}")
            if pin["status"] == "none":
                print(f"{label}: no decoder in Wine")
            else:
                check = check_audio if pin["out"][0] == "pcm" else check_video
                samples, detail = check(args, pin, runs, segments, stream_index)
                print(f"{label}: via {pin['via']}: {detail}")
        except Failure as failure:
            print(f"FAILED: {label}: {failure}")
            failed = True
            pin["status"] = "failed"
        print(f"table\t{args.name}\t{codec}\t{pin['status']}\t{samples}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
