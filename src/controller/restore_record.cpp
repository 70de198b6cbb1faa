#include "controller/restore_record.h"

#include "codec/base64.h"
#include "codec/sha1.h"
#include "json/json.h"
#include "platform/local_time.h"
#include "platform/state_file.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace pxo {

namespace {

namespace fs = std::filesystem;

constexpr char kMagic[] = "pixoria restore record";
constexpr char kFileSuffix[] = ".record.json";

// Numbers written from their values, and an empty object as an empty
// array: the controller's PHP reads documents into arrays, so "{}" comes
// back as "[]".
void normalise(JsonValue* value) {
  value->numberText.clear();
  if (value->isObject() && value->object.empty())
    *value = JsonValue::makeArray();
  for (JsonValue& element : value->array) normalise(&element);
  for (JsonMember& member : value->object) normalise(&member.value);
}

JsonValue boolValue(bool on) {
  JsonValue value;
  value.type = JsonType::kBoolean;
  value.boolean = on;
  return value;
}

bool getBool(const JsonValue& object, std::string_view key, bool* out) {
  const JsonValue* value = findMember(object, key);
  if (!value || value->type != JsonType::kBoolean) return false;
  *out = value->boolean;
  return true;
}

bool getText(const JsonValue& object, std::string_view key, std::string* out) {
  const JsonValue* value = findMember(object, key);
  if (!value || value->type != JsonType::kString) return false;
  *out = value->string;
  return true;
}

JsonValue recordBody(const RestoreRecord& record) {
  JsonValue doc = JsonValue::makeObject();
  setString(doc, "pixoria", kMagic);
  setNumber(doc, "format", kRestoreRecordFormat);
  setString(doc, "device", record.device);
  setString(doc, "key", record.key);
  setString(doc, "created", record.created);
  if (record.device == kControllerDevice) {
    setString(doc, "host", record.host);
    setString(doc, "kind", record.kind);
    setString(doc, "hostName", record.hostName);
    setString(doc, "platform", record.platform);
    setString(doc, "version", record.version);
    doc.object.set("usesBBB", boolValue(record.usesBBB));
    doc.object.set("restartAfterRestore",
                   boolValue(record.restartAfterRestore));
    JsonValue files = JsonValue::makeArray();
    for (const RestoreFile& file : record.files) {
      JsonValue entry = JsonValue::makeObject();
      setString(entry, "name", file.name);
      setString(entry, "path", file.path);
      entry.object.set("existed", boolValue(file.existed));
      // Base64: the bytes exactly as read, whatever they hold.
      setString(entry, "original", base64Encode(file.original));
      setString(entry, "scanDigest", file.scanDigest);
      files.array.push_back(std::move(entry));
    }
    doc.object.set("files", std::move(files));
  } else {
    JsonValue controls = JsonValue::makeArray();
    for (const CameraControlValue& control : record.controls) {
      JsonValue entry = JsonValue::makeObject();
      setString(entry, "name", control.name);
      setNumber(entry, "id", control.id);
      setNumber(entry, "value", static_cast<double>(control.value));
      setNumber(entry, "flags", static_cast<double>(control.flags));
      controls.array.push_back(std::move(entry));
    }
    doc.object.set("controls", std::move(controls));
  }
  return doc;
}

bool readFiles(const JsonValue& doc,
               RestoreRecord* record,
               std::string* problem) {
  const JsonValue* files = findMember(doc, "files");
  if (!files || !files->isArray() || files->array.empty()) {
    *problem = "it lists no files";
    return false;
  }
  for (const JsonValue& entry : files->array) {
    RestoreFile file;
    std::string encoded;
    if (!entry.isObject() || !getText(entry, "name", &file.name) ||
        !getText(entry, "path", &file.path) ||
        !getBool(entry, "existed", &file.existed) ||
        !getText(entry, "original", &encoded) ||
        !getText(entry, "scanDigest", &file.scanDigest) || file.path.empty() ||
        file.path.front() != '/' || !base64Decode(encoded, &file.original)) {
      *problem = "a file entry is incomplete";
      return false;
    }
    record->files.push_back(std::move(file));
  }
  return true;
}

bool readControls(const JsonValue& doc,
                  RestoreRecord* record,
                  std::string* problem) {
  const JsonValue* controls = findMember(doc, "controls");
  if (!controls || !controls->isArray()) {
    *problem = "it lists no camera controls";
    return false;
  }
  for (const JsonValue& entry : controls->array) {
    CameraControlValue control;
    const JsonValue* id = findMember(entry, "id");
    const JsonValue* value = findMember(entry, "value");
    const JsonValue* flags = findMember(entry, "flags");
    if (!entry.isObject() || !getText(entry, "name", &control.name) || !id ||
        id->type != JsonType::kNumber || !value ||
        value->type != JsonType::kNumber || !flags ||
        flags->type != JsonType::kNumber || std::fabs(flags->number) > 9.0e15 ||
        id->number < 0 || id->number > 4294967295.0 ||
        value->number < -9.0e15 || value->number > 9.0e15) {
      *problem = "a camera control entry is incomplete";
      return false;
    }
    control.id = static_cast<uint32_t>(id->number);
    control.value = static_cast<int64_t>(value->number);
    control.flags = static_cast<int64_t>(flags->number);
    record->controls.push_back(std::move(control));
  }
  return true;
}

std::string safeName(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 64)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-';
    out.push_back(plain ? c : '_');
  }
  return out;
}

}  // namespace

fs::path restoreRecordFolder() {
  const fs::path state = platform::userStateFolder();
  if (state.empty()) return {};
  return state / "pixoria" / "restore";
}

std::string controllerRecordKey(std::string_view host) {
  std::string text(host);
  auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isSpace(text.front())) text.erase(text.begin());
  while (!text.empty() && isSpace(text.back())) text.pop_back();
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (const size_t scheme = text.find("://"); scheme != std::string::npos)
    text.erase(0, scheme + 3);
  if (const size_t path = text.find('/'); path != std::string::npos)
    text.erase(path);
  if (const size_t at = text.rfind('@'); at != std::string::npos)
    text.erase(0, at + 1);
  // A port after the host, or after an IPv6 address in brackets.
  const size_t bracket = text.rfind(']');
  const size_t colon = text.rfind(':');
  const bool hasPort = colon != std::string::npos &&
                       (bracket == std::string::npos || colon > bracket) &&
                       (text.front() == '[' || text.find(':') == colon);
  if (!hasPort) text += ":80";
  return text;
}

fs::path restoreRecordPath(std::string_view device, std::string_view key) {
  const fs::path folder = restoreRecordFolder();
  if (folder.empty()) return {};
  // The readable part for the user, the digest so that two keys never
  // share a file.
  std::string name(device);
  name += '-';
  name += safeName(key);
  name += '-';
  name += sha1Hex(key).substr(0, 10);
  name += kFileSuffix;
  return folder / platform::pathFromUtf8(name);
}

std::string restoreRecordText(const RestoreRecord& record) {
  JsonValue doc = recordBody(record);
  setString(doc, "digest", sha1Hex(toJsonText(doc)));
  return toJsonText(doc) + "\n";
}

bool writeRestoreRecord(const RestoreRecord& record, std::string* error) {
  RestoreRecord dated = record;
  if (dated.created.empty())
    dated.created = platform::utcText(platform::utcTimeNow());
  const fs::path path = restoreRecordPath(dated.device, dated.key);
  if (path.empty()) {
    if (error) *error = "no folder for restore records (no home folder)";
    return false;
  }
  if (!platform::makePrivateFolder(path.parent_path(), error)) return false;
  return platform::replaceFileAtomically(path, restoreRecordText(dated), error);
}

bool parseRestoreRecord(std::string_view text,
                        RestoreRecord* record,
                        std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  *record = RestoreRecord{};
  if (text.size() > kMaxRestoreRecordBytes) return fail("it is too large");
  JsonValue doc;
  if (!parseJsonDocument(text, &doc) || !doc.isObject())
    return fail("it is not a whole record (cut short?)");
  if (getString(doc, "pixoria", "") != kMagic)
    return fail("it is not a restore record");
  std::string digest;
  if (!getText(doc, "digest", &digest)) return fail("it carries no digest");
  doc.object.erase("digest");
  if (sha1Hex(toJsonText(doc)) != digest)
    return fail("its contents do not match its digest (changed or damaged)");
  const JsonValue* format = findMember(doc, "format");
  if (!format || format->type != JsonType::kNumber ||
      format->number != kRestoreRecordFormat)
    return fail("it was written by another version of pixoria (format " +
                (format ? toJsonText(*format) : std::string("none")) + ")");
  if (!getText(doc, "device", &record->device) ||
      !getText(doc, "key", &record->key) ||
      !getText(doc, "created", &record->created) ||
      (record->device != kControllerDevice && record->device != kCameraDevice))
    return fail("it does not say which device it is for");
  std::string problem;
  if (record->device == kControllerDevice) {
    if (!getText(doc, "host", &record->host) ||
        !getText(doc, "kind", &record->kind) ||
        !getText(doc, "hostName", &record->hostName) ||
        !getText(doc, "platform", &record->platform) ||
        !getText(doc, "version", &record->version) ||
        !getBool(doc, "usesBBB", &record->usesBBB) ||
        !getBool(doc, "restartAfterRestore", &record->restartAfterRestore))
      return fail("its controller is not fully described");
    if (!readFiles(doc, record, &problem)) return fail(problem);
  } else if (!readControls(doc, record, &problem)) {
    return fail(problem);
  }
  return true;
}

RecordState readRestoreRecord(std::string_view device,
                              std::string_view key,
                              RestoreRecord* record,
                              std::string* error) {
  const fs::path path = restoreRecordPath(device, key);
  std::error_code ec;
  if (path.empty() || !fs::exists(path, ec)) return RecordState::kNone;
  const auto size = fs::file_size(path, ec);
  if (ec || size > kMaxRestoreRecordBytes) {
    if (error) *error = "it is too large or cannot be read";
    return RecordState::kDamaged;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<size_t>(size), '\0');
  if (!in.read(text.data(), static_cast<std::streamsize>(text.size()))) {
    if (error) *error = "it cannot be read";
    return RecordState::kDamaged;
  }
  if (!parseRestoreRecord(text, record, error)) return RecordState::kDamaged;
  if (record->device != device || record->key != key) {
    if (error) *error = "it is the record of another device";
    return RecordState::kDamaged;
  }
  return RecordState::kOk;
}

bool removeRestoreRecord(std::string_view device,
                         std::string_view key,
                         std::string* error) {
  const fs::path path = restoreRecordPath(device, key);
  std::error_code ec;
  if (path.empty()) return true;
  fs::remove(path, ec);
  if (ec && fs::exists(path)) {
    if (error)
      *error = "could not remove " + platform::pathToUtf8(path) + ": " +
               ec.message();
    return false;
  }
  return true;
}

std::vector<ListedRecord> listRestoreRecords() {
  std::vector<ListedRecord> listed;
  const fs::path folder = restoreRecordFolder();
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) return listed;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = platform::pathToUtf8(entry.path().filename());
    if (name.size() <= sizeof kFileSuffix - 1 ||
        name.compare(name.size() - (sizeof kFileSuffix - 1),
                     std::string::npos,
                     kFileSuffix) != 0)
      continue;
    ListedRecord item;
    item.path = entry.path();
    std::error_code sizeError;
    const auto size = fs::file_size(entry.path(), sizeError);
    std::string text;
    if (!sizeError && size <= kMaxRestoreRecordBytes) {
      std::ifstream in(entry.path(), std::ios::binary);
      text.assign(static_cast<size_t>(size), '\0');
      if (!in.read(text.data(), static_cast<std::streamsize>(text.size())))
        text.clear();
    }
    item.state = parseRestoreRecord(text, &item.record, &item.problem)
                     ? RecordState::kOk
                     : RecordState::kDamaged;
    listed.push_back(std::move(item));
  }
  std::sort(listed.begin(),
            listed.end(),
            [](const ListedRecord& a, const ListedRecord& b) {
              return a.path < b.path;
            });
  return listed;
}

std::string canonicalDocument(std::string_view text) {
  JsonValue doc;
  if (!parseJsonDocument(text, &doc)) return std::string(text);
  if (doc.isObject()) doc.object.erase("status");
  normalise(&doc);
  return toJsonText(doc);
}

std::string documentDigest(std::string_view text) {
  return sha1Hex(canonicalDocument(text));
}

}  // namespace pxo
