#include "capture/ffmpeg/ffmpeg_output.h"

namespace pxowin {

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

bool startOutputFile(AVFormatContext* format,
                     const std::filesystem::path& path,
                     std::string* error) {
  if (!(format->oformat->flags & AVFMT_NOFILE)) {
    const int rc = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
      if (error)
        *error = "could not open " + path.string() + ": " + averror(rc);
      return false;
    }
  }
  const int rc = avformat_write_header(format, nullptr);
  if (rc < 0) {
    if (error) *error = "could not write recording header: " + averror(rc);
    return false;
  }
  return true;
}

}  // namespace pxowin
