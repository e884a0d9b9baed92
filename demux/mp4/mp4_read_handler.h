// KMp4ReadHandler: opens an MP4 or QuickTime file, reads its whole box tree into memory once
// (inflating a compressed movie header through a temporary file), and builds one Mp4Track per
// usable "trak".
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "demux/mp4/mp4_box.h"
#include "demux/mp4/mp4_track.h"
#include "io/cache_file.h"

class KMp4ReadHandler {
public:
    static constexpr DWORD kWindow = 2048;
    // Deeper nesting than any real file has: a damaged file must not recurse without bound.
    static constexpr int kMaxDepth = 32;

    KMp4ReadHandler();
    ~KMp4ReadHandler();
    KMp4ReadHandler(const KMp4ReadHandler&) = delete;
    KMp4ReadHandler& operator=(const KMp4ReadHandler&) = delete;

    // With extensions on, also the extension codecs' sample entries, movie fragments and edit
    // lists.
    bool Open(LPCWSTR path, bool extensions = false);
    void Close();

    const Mp4Box& Root() const { return *m_root; }
    const Mp4Box* FindBox(std::string_view path) const { return ::FindBox(*m_root, path); }
    int CountBoxes(std::string_view path) const { return ::CountBoxes(*m_root, path); }

    std::vector<std::unique_ptr<Mp4Track>>& Tracks() { return m_tracks; }
    const std::vector<std::unique_ptr<Mp4Track>>& Tracks() const { return m_tracks; }
    std::uint64_t MovieTimeScale() const { return m_timeScale; }
    std::uint64_t MovieDuration() const { return m_duration; }
    bool HasVideo() const { return m_hasVideo; }
    bool HasAudio() const { return m_hasAudio; }
    // Added to every chunk offset: files with an "M1.x" signature keep their boxes further in.
    LONGLONG ChunkOffsetAdjustment() const { return m_adjustment; }
    KCacheFile* File() { return m_file.get(); }
    // The file's size as seen when it was opened.
    LONGLONG OpenedSize() const { return m_openedSize; }

private:
    // Reads the children of parent from position up to the parent's end.
    void ReadChildren(KCacheFile& file, Mp4Box& parent, LONGLONG position, int depth);
    bool ReadBox(KCacheFile& file, Mp4Box& box, int depth);
    bool ReadHeader(KCacheFile& file, Mp4Box& box);
    // Inflates "cmov" and reads the movie box it holds as a new child of the root.
    void InflateMovieHeader();
    // Builds the tracks of the movie box and, with extensions on, adds fragments and edits.
    void BuildTracks();

    std::unique_ptr<KCacheFile> m_file;
    std::unique_ptr<Mp4Box> m_root;
    std::vector<std::unique_ptr<Mp4Track>> m_tracks;
    std::uint64_t m_timeScale = 0;
    std::uint64_t m_duration = 0;
    bool m_hasVideo = false;
    bool m_hasAudio = false;
    LONGLONG m_adjustment = 0;
    LONGLONG m_openedSize = 0;
    bool m_extensions = false;
};
