#pragma once

// What the FFmpeg writers (the camera recording, the network camera's
// stream as it came) share.

#include <filesystem>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace pxowin {

// FFmpeg's text for an error code.
std::string averror(int code);

// Opens `path` for `format` (unless its muxer writes no file of its own)
// and writes the container's header. False with the reason in `error`;
// the caller releases `format` either way.
bool startOutputFile(AVFormatContext* format,
                     const std::filesystem::path& path,
                     std::string* error);

}  // namespace pxowin
