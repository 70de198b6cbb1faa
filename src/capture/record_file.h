#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

// The files of our own that stand in where a platform's media back end
// cannot write a video (the stream file, the rig's raw recording): a text
// line that says what the file is, a few fixed fields, then records. A
// record is a head of fixed fields and a payload whose size the head gives.
// Fields are in the writing machine's byte order: the files are read back
// where they were written.

namespace pxowin {

class RecordFileWriter {
 public:
  // Creates (or empties) `path` and writes `headerLine`; false when the
  // file cannot be written.
  bool create(const std::filesystem::path& path, std::string_view headerLine);
  bool isOpen() const { return out_.is_open(); }

  template <typename T>
  void put(const T& value) {
    out_.write(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void putBytes(const void* bytes, size_t size);

  // Whether everything so far reached the file.
  bool good() const { return static_cast<bool>(out_); }
  // Closes the file: true when everything reached it.
  bool finish();

 private:
  std::ofstream out_;
};

class RecordFileReader {
 public:
  // Opens `path`; false (and closed) when it does not start with
  // `headerLine`.
  bool open(const std::filesystem::path& path, std::string_view headerLine);
  void close();

  template <typename T>
  bool get(T* value) {
    return static_cast<bool>(
        in_.read(reinterpret_cast<char*>(value), sizeof *value));
  }
  bool getBytes(size_t size, std::string* bytes);

  // Steps over the `size` bytes of a payload from here: where it starts,
  // nullopt when the stream fails. A payload the file ends inside is only
  // found out when readAt reads it.
  std::optional<std::streamoff> skipPayload(uint64_t size);
  // Reads `size` bytes at `offset`, where skipPayload found a payload; any
  // earlier failure is forgotten first.
  bool readAt(std::streamoff offset, void* bytes, size_t size);

 private:
  std::ifstream in_;
};

// True when the file at `path` starts with `headerLine`.
bool startsWithLine(const std::filesystem::path& path,
                    std::string_view headerLine);

}  // namespace pxowin
