// Any bytes as a restore record read from disk: the reader must refuse
// them with a reason, or give a record whose every field holds and that
// writes back to a text it reads again as the same record.

#include "controller/restore_record.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  pxo::RestoreRecord record;
  std::string error;
  if (!pxo::parseRestoreRecord(bytes, &record, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (record.device != pxo::kControllerDevice &&
      record.device != pxo::kCameraDevice)
    __builtin_trap();
  if (record.device == pxo::kControllerDevice && record.files.empty())
    __builtin_trap();
  for (const pxo::RestoreFile& file : record.files)
    if (file.path.empty() || file.path.front() != '/') __builtin_trap();
  pxo::RestoreRecord again;
  if (!pxo::parseRestoreRecord(
          pxo::restoreRecordText(record), &again, &error) ||
      again.files.size() != record.files.size() ||
      again.controls.size() != record.controls.size())
    __builtin_trap();
  for (size_t i = 0; i < record.files.size(); ++i)
    if (again.files[i].original != record.files[i].original) __builtin_trap();
  return 0;
}
