#include "capture/record_file.h"

#include <limits>

namespace pxowin {

bool RecordFileWriter::create(const std::filesystem::path& path,
                              std::string_view headerLine) {
  out_.close();
  out_.clear();
  out_.open(path, std::ios::binary | std::ios::trunc);
  putBytes(headerLine.data(), headerLine.size());
  return good();
}

void RecordFileWriter::putBytes(const void* bytes, size_t size) {
  out_.write(static_cast<const char*>(bytes),
             static_cast<std::streamsize>(size));
}

bool RecordFileWriter::finish() {
  if (!out_.is_open()) return false;
  out_.close();
  return good();
}

bool RecordFileReader::open(const std::filesystem::path& path,
                            std::string_view headerLine) {
  close();
  in_.open(path, std::ios::binary);
  std::string header;
  if (getBytes(headerLine.size(), &header) && header == headerLine) return true;
  close();
  return false;
}

void RecordFileReader::close() {
  in_.close();
  in_.clear();
}

bool RecordFileReader::getBytes(size_t size, std::string* bytes) {
  bytes->assign(size, '\0');
  return static_cast<bool>(
      in_.read(bytes->data(), static_cast<std::streamsize>(size)));
}

std::optional<std::streamoff> RecordFileReader::skipPayload(uint64_t size) {
  if (size > static_cast<uint64_t>(std::numeric_limits<std::streamoff>::max()))
    return std::nullopt;
  const std::streamoff start = in_.tellg();
  in_.seekg(static_cast<std::streamoff>(size), std::ios::cur);
  if (!in_ || start < 0) return std::nullopt;
  return start;
}

bool RecordFileReader::readAt(std::streamoff offset, void* bytes, size_t size) {
  in_.clear();
  in_.seekg(offset);
  return static_cast<bool>(
      in_.read(static_cast<char*>(bytes), static_cast<std::streamsize>(size)));
}

bool startsWithLine(const std::filesystem::path& path,
                    std::string_view headerLine) {
  RecordFileReader reader;
  return reader.open(path, headerLine);
}

}  // namespace pxowin
