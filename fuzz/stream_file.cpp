// Any bytes after a stream file's header line: the reader must refuse the
// file or read frames from it without reading past what the file holds,
// whatever sizes and times it claims.

#include "capture/stream_file.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("pxo-fuzz-stream-" + std::to_string(::getpid()) + ".bin");
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(pxowin::kStreamFileHeader, sizeof pxowin::kStreamFileHeader - 1);
    out.write(reinterpret_cast<const char*>(data),
              static_cast<std::streamsize>(size));
  }
  auto reader = pxowin::createRecordingReader();
  std::string error;
  if (!reader->open(file, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  pxowin::BgraFrame frame;
  for (double time : {0.0, 0.05, 1.0}) {
    if (reader->frameAt(time, 64, &frame, &error) &&
        (frame.width < 1 || frame.width > 64 || frame.height < 1 ||
         frame.height > 64 ||
         frame.pixels.size() != static_cast<size_t>(frame.stride) *
                                    static_cast<size_t>(frame.height)))
      __builtin_trap();
  }
  return 0;
}
