#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Restore records: what a scan changes on a device of the user's (a
// controller's files, a camera's controls), kept on disk before the first
// change, so that a crash, a power cut or a dropped connection never loses
// the user's own configuration. The next connect to that device, or
// `pixoria restore`, puts it back from here. One record per device, in
// the user's state folder (platform/state_file.h), under "pixoria/restore".
//
// A record is a JSON document that carries a digest of itself: a record cut
// short or changed on disk is reported as damaged and never applied. It
// holds no password.
//
// Every call does file I/O on the calling thread and keeps no state; two
// processes writing the record of one device at once leave one of the two
// whole.

namespace pxo {

inline constexpr char kControllerDevice[] = "controller";
inline constexpr char kCameraDevice[] = "camera";

// The format this build writes and applies.
inline constexpr int32_t kRestoreRecordFormat = 1;
// Records larger than this are not read (a controller's documents are tens
// of kilobytes).
inline constexpr size_t kMaxRestoreRecordBytes = 16u << 20;

// One file of a controller's, as it was before the scan.
struct RestoreFile {
  std::string name;  // for messages: "pixel strings", "universe inputs"
  std::string path;  // where the controller serves it
  bool existed = true;
  std::string original;    // the bytes read before the first change
  std::string scanDigest;  // documentDigest of what the scan writes there
};

// A camera control's value before the scan locked it.
struct CameraControlValue {
  std::string name;
  uint32_t id = 0;
  int64_t value = 0;
  int64_t flags = 0;  // the platform's auto/manual flags, where it has them
};

struct RestoreRecord {
  std::string device;   // kControllerDevice or kCameraDevice
  std::string key;      // controllerRecordKey(host), or the camera's ID
  std::string created;  // UTC, "2026-12-09T03:40:00Z"
  // A controller's: the address as the user typed it and what identifies
  // the device behind it.
  std::string host;
  std::string kind;  // "fpp"
  std::string hostName;
  std::string platform;
  std::string version;
  bool usesBBB = false;
  // fppd reads its files only when it starts (FPP 8): restart it after the
  // files are back.
  bool restartAfterRestore = false;
  std::vector<RestoreFile> files;
  // A camera's.
  std::vector<CameraControlValue> controls;
};

enum class RecordState {
  kNone,     // no record for the device
  kOk,       // read, whole, of this build's format
  kDamaged,  // there, but cut short, changed, or of another format
};

// "<state folder>/pixoria/restore"; empty when the user has no state
// folder.
std::filesystem::path restoreRecordFolder();

// A controller address as one key: lower case, without scheme or path,
// with its port (80 when none was given). "FPP.local" and
// "http://fpp.local:80/" are one controller.
std::string controllerRecordKey(std::string_view host);

// Where the record of a device lives.
std::filesystem::path restoreRecordPath(std::string_view device,
                                        std::string_view key);

// Writes (replaces) the record of `record.device` and `record.key`
// atomically, readable by its user only; fills `created` when empty.
[[nodiscard]] bool writeRestoreRecord(const RestoreRecord& record,
                                      std::string* error);

// Reads the record of a device. kDamaged with a message saying why.
RecordState readRestoreRecord(std::string_view device,
                              std::string_view key,
                              RestoreRecord* record,
                              std::string* error);

// The record in `text`, checked: its digest, its format, its fields.
[[nodiscard]] bool parseRestoreRecord(std::string_view text,
                                      RestoreRecord* record,
                                      std::string* error);

// The text writeRestoreRecord stores.
std::string restoreRecordText(const RestoreRecord& record);

// Removes the record of a device; true when there is none afterwards.
bool removeRestoreRecord(std::string_view device,
                         std::string_view key,
                         std::string* error);

struct ListedRecord {
  std::filesystem::path path;
  RecordState state = RecordState::kNone;
  std::string problem;  // for a damaged one
  RestoreRecord record;
};

// Every record kept, by file name.
std::vector<ListedRecord> listRestoreRecords();

// A controller document as the controller means it: parsed, the "status"
// member its answers add dropped, numbers written from their values, an
// empty object the same as an empty array (PHP cannot tell them apart), so
// that what was posted and what the controller serves back compare equal.
// A text that does not parse is its own canonical form.
std::string canonicalDocument(std::string_view text);

// SHA-1 (hex) of canonicalDocument(text).
std::string documentDigest(std::string_view text);

}  // namespace pxo
