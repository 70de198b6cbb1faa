#pragma once

#include "capture/media.h"

#include <filesystem>
#include <memory>

// A network camera's stream recorded as it came, in a file of our own, for
// a media back end that decodes H.264 but cannot write MP4 (Wine's Media
// Foundation): a header line that says what it is, the picture size and
// parameter sets, then each access unit's presentation and decode times,
// key-frame flag and Annex B bytes. Read back through the H.264 decoder.

namespace pxowin {

inline constexpr char kStreamFileHeader[] =
    "PIXORIA H.264 STREAM - access units with their times, not an MP4 file\n";

// Writes a stream file (the EncodedRecordingWriter contract).
std::unique_ptr<EncodedRecordingWriter> createStreamFileWriter();
// Reads any recording: a stream file through the H.264 decoder, anything
// else through the media back end's reader.
std::unique_ptr<FrameExtractor> createRecordingReader();
// True when the file at `path` starts as a stream file does.
bool isStreamFile(const std::filesystem::path& path);

}  // namespace pxowin
