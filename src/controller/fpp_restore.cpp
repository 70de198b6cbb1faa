#include "controller/fpp_restore.h"

#include "controller/fpp_reconfigure.h"
#include "controller/http_client.h"
#include "controller/wled_controller.h"
#include "json/json.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace pxo {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFirstRetry = 500ms;
constexpr auto kLongestRetry = 5000ms;
constexpr auto kRestartSettle = 1000ms;
constexpr auto kRestartPoll = 500ms;
constexpr auto kRestartLimit = 30s;

const char kEllipsis[] = "\xE2\x80\xA6";

// One request that ends by `deadline` at the latest.
HttpResponse request(const std::string& host,
                     const std::string& user,
                     const std::string& password,
                     const char* method,
                     const std::string& path,
                     std::string_view body,
                     Clock::time_point deadline) {
  HttpLimits limits;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  limits.total = std::clamp(left, std::chrono::milliseconds(200), limits.total);
  limits.connectPerAddress = std::min(limits.connectPerAddress, limits.total);
  HttpResponse response;
  httpRequest(&response,
              host,
              method,
              path,
              body,
              "application/json",
              user,
              password,
              limits);
  return response;
}

bool isUniverseFile(const RestoreFile& file) {
  return file.path == kFppUniverseFilePath;
}

// Writes one file back; false with why when the controller did not take it.
bool putBack(const std::string& host,
             const std::string& user,
             const std::string& password,
             const RestoreFile& file,
             Clock::time_point deadline,
             std::string* why) {
  HttpResponse answer;
  if (isUniverseFile(file) && !file.existed)
    answer = request(host, user, password, "DELETE", file.path, "", deadline);
  else if (isUniverseFile(file))
    answer =
        request(host,
                user,
                password,
                "POST",
                kFppUniverseInputsPath,
                escapeForStripslashes(documentForRestore(file.original, false)),
                deadline);
  else
    answer =
        request(host,
                user,
                password,
                "POST",
                file.path,
                escapeForStripslashes(documentForRestore(file.original, true)),
                deadline);
  if (!answer.ok) {
    *why = "the controller did not answer";
    return false;
  }
  if (answer.status < 200 || answer.status > 299) {
    *why = "the controller refused the " + file.name + " (HTTP " +
           std::to_string(answer.status) + ")";
    return false;
  }
  return true;
}

bool readFile(const std::string& host,
              const std::string& user,
              const std::string& password,
              const RestoreFile& file,
              Clock::time_point deadline,
              bool* exists,
              std::string* text) {
  HttpResponse answer =
      request(host, user, password, "GET", file.path, "", deadline);
  if (!answer.ok) return false;
  *exists = answer.status >= 200 && answer.status <= 299;
  if (!*exists && answer.status != 404) return false;
  if (*exists && !isUniverseFile(file)) {
    // FPP 8 answers a missing output file with 200 and an error status.
    JsonValue doc;
    if (parseJsonDocument(answer.body, &doc) && doc.isObject() &&
        getString(doc, "status", "").rfind("ERROR", 0) == 0 &&
        !findMember(doc, "channelOutputs"))
      *exists = false;
  }
  *text = std::move(answer.body);
  return true;
}

bool readStatus(const std::string& host,
                const std::string& user,
                const std::string& password,
                Clock::time_point deadline) {
  HttpResponse answer =
      request(host, user, password, "GET", kFppStatusPath, "", deadline);
  JsonValue doc;
  return answer.ok && answer.status >= 200 && answer.status <= 299 &&
         parseJsonDocument(answer.body, &doc) && doc.isObject();
}

void sleepUntilAtMost(std::chrono::milliseconds wait,
                      Clock::time_point deadline) {
  const auto until = std::min(Clock::now() + wait, deadline);
  std::this_thread::sleep_until(until);
}

}  // namespace

void restartFppd(const std::string& host,
                 const std::string& user,
                 const std::string& password,
                 double seconds) {
  const auto limit =
      std::min<Clock::duration>(std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds)),
                                kRestartLimit);
  const auto deadline = Clock::now() + limit;
  (void)request(host, user, password, "GET", kFppRestartPath, "", deadline);
  sleepUntilAtMost(kRestartSettle, deadline);
  while (Clock::now() < deadline) {
    if (readStatus(host, user, password, deadline)) return;
    sleepUntilAtMost(kRestartPoll, deadline);
  }
}

RestoreRecord fppScanRecord(const ControllerLink& link,
                            const std::string& portConfig) {
  RestoreRecord record;
  record.device = kControllerDevice;
  record.key = controllerRecordKey(link.host);
  record.host = link.host;
  record.kind = "fpp";
  record.hostName = link.hostName;
  record.platform = link.platform;
  record.version = link.version;
  record.usesBBB = link.usesBBB;
  record.restartAfterRestore =
      link.fppMajorVersion > 0 && link.fppMajorVersion < 9;
  RestoreFile strings;
  strings.name = "pixel strings";
  strings.path = pixelStringsPath(link.usesBBB);
  strings.existed = true;
  strings.original = link.savedPortStrings;
  strings.scanDigest = documentDigest(portConfig);
  RestoreFile universes;
  universes.name = "universe inputs";
  universes.path = kFppUniverseFilePath;
  universes.existed = link.universeFileExisted;
  universes.original = link.savedUniverseInputs;
  universes.scanDigest = documentDigest(kScanUniverseInputs);
  record.files = {std::move(strings), std::move(universes)};
  return record;
}

FileNow classifyFile(const RestoreFile& file,
                     bool existsNow,
                     const std::string& textNow) {
  if (!existsNow) return file.existed ? FileNow::kOther : FileNow::kOriginal;
  if (file.existed &&
      canonicalDocument(textNow) == canonicalDocument(file.original))
    return FileNow::kOriginal;
  if (documentDigest(textNow) == file.scanDigest) return FileNow::kScan;
  return FileNow::kOther;
}

FileNow readAndClassify(const std::string& host,
                        const std::string& user,
                        const std::string& password,
                        const RestoreFile& file) {
  bool exists = false;
  std::string text;
  if (!readFile(host,
                user,
                password,
                file,
                Clock::now() + std::chrono::seconds(15),
                &exists,
                &text))
    return FileNow::kUnreadable;
  return classifyFile(file, exists, text);
}

bool restoreFppFiles(const std::string& host,
                     const std::string& user,
                     const std::string& password,
                     const RestoreRecord& record,
                     const std::vector<bool>& which,
                     double seconds,
                     const ControllerProgress& progress,
                     std::string* why) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(seconds, 0.5)));
  std::vector<bool> pending(record.files.size());
  for (size_t i = 0; i < record.files.size(); ++i)
    pending[i] = which.empty() || (i < which.size() && which[i]);
  auto wait = std::chrono::milliseconds(kFirstRetry);
  std::string lastWhy = "the controller did not answer";
  for (int attempt = 0;; ++attempt) {
    if (attempt > 0 && progress)
      progress("The controller did not take its configuration back (" +
               lastWhy + "); trying again" + kEllipsis);
    bool wrote = false;
    std::string refused;
    for (size_t i = 0; i < record.files.size(); ++i) {
      if (!pending[i]) continue;
      std::string problem;
      if (putBack(host, user, password, record.files[i], deadline, &problem))
        wrote = true;
      else if (refused.empty())
        refused = problem;
    }
    if (wrote && record.restartAfterRestore) {
      if (progress)
        progress(std::string("Restarting FPP to apply the restored "
                             "configuration") +
                 kEllipsis);
      restartFppd(
          host,
          user,
          password,
          std::chrono::duration<double>(deadline - Clock::now()).count());
    }
    // Checked: every file read back as the record has it.
    bool allBack = true;
    for (size_t i = 0; i < record.files.size(); ++i) {
      if (!pending[i]) continue;
      const RestoreFile& file = record.files[i];
      bool exists = false;
      std::string text;
      if (!readFile(host, user, password, file, deadline, &exists, &text)) {
        lastWhy = "the controller did not answer";
        allBack = false;
      } else if (classifyFile(file, exists, text) != FileNow::kOriginal) {
        lastWhy =
            "the controller still holds a different " + file.name + " file";
        allBack = false;
      } else {
        pending[i] = false;
      }
    }
    if (allBack) return true;
    // A write the controller did not take says more than its effect.
    if (!refused.empty()) lastWhy = refused;
    if (Clock::now() + wait >= deadline) break;
    std::this_thread::sleep_for(wait);
    wait = std::min(wait * 2, std::chrono::milliseconds(kLongestRetry));
  }
  if (why) *why = lastWhy;
  return false;
}

std::string restoreCommandFor(const std::string& host) {
  return "pixoria restore --controller " + host;
}

std::string restoreFailureMessage(const std::string& host,
                                  const std::string& why) {
  const std::string path = platform::pathToUtf8(
      restoreRecordPath(kControllerDevice, controllerRecordKey(host)));
  return "could not put the configuration of " + host + " back (" + why +
         "); it is kept safe in " + path + ": run \"" +
         restoreCommandFor(host) + "\" when the controller answers again";
}

namespace {

// A record is applied only to the files a scan changes.
bool knownFiles(const RestoreRecord& record, std::string* problem) {
  for (const RestoreFile& file : record.files)
    if (file.path != kFppPixelStringsPath && file.path != kFppBbbStringsPath &&
        file.path != kFppUniverseFilePath) {
      *problem = "it names a file a scan never changes (" + file.path + ")";
      return false;
    }
  return record.kind == "fpp" || (*problem = "it is not an FPP record", false);
}

std::string damagedMessage(const std::string& host,
                           const std::string& problem) {
  const std::string path = platform::pathToUtf8(
      restoreRecordPath(kControllerDevice, controllerRecordKey(host)));
  return "the restore record of " + host + " (" + path +
         ") is damaged: " + problem +
         "; nothing was put back. If the controller holds its own "
         "configuration, remove the record with \"" +
         restoreCommandFor(host) + " --discard\"";
}

std::string otherDeviceMessage(const std::string& host,
                               const RestoreRecord& record,
                               const std::string& hostName,
                               const std::string& platform) {
  return "the restore record of " + host + " was made for \"" +
         record.hostName + "\" (" + record.platform + "), but \"" + hostName +
         "\" (" + platform +
         ") answers there now; nothing was put back. Connect to the "
         "controller the record is for, or remove the record with \"" +
         restoreCommandFor(host) + " --discard\"";
}

std::string changedSinceMessage(const std::string& host,
                                const std::string& fileName) {
  return host + " holds a " + fileName +
         " configuration that is neither its own from before an earlier "
         "scan nor that scan's (changed since?); nothing was changed and "
         "the record of the configuration from before that scan is kept. "
         "Put that back with \"" +
         restoreCommandFor(host) + "\", or keep what " + host +
         " holds now with \"" + restoreCommandFor(host) + " --discard\"";
}

// The record of `host`, checked as a record and as one of an FPP scan's:
// kDamaged with the message to give.
RecordState readFppRecord(const std::string& host,
                          RestoreRecord* record,
                          std::string* message) {
  std::string problem;
  RecordState state = readRestoreRecord(
      kControllerDevice, controllerRecordKey(host), record, &problem);
  if (state == RecordState::kOk && !knownFiles(*record, &problem))
    state = RecordState::kDamaged;
  if (state == RecordState::kDamaged) *message = damagedMessage(host, problem);
  return state;
}

}  // namespace

bool restoreRecordedController(const std::string& host,
                               const std::string& user,
                               const std::string& password,
                               double seconds,
                               const ControllerProgress& progress,
                               bool* found,
                               std::vector<std::string>* report,
                               std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  RestoreRecord record;
  std::string damaged;
  // A WLED controller's record holds its state, put back its own way.
  if (readRestoreRecord(
          kControllerDevice, controllerRecordKey(host), &record, &damaged) ==
          RecordState::kOk &&
      record.kind == kWledRecordKind)
    return restoreRecordedWled(host, seconds, found, report, error);
  const RecordState state = readFppRecord(host, &record, &damaged);
  *found = state != RecordState::kNone;
  if (state == RecordState::kNone) return true;
  if (state == RecordState::kDamaged) return fail(damaged);
  // The device behind the address must be the one the record is for.
  std::string document;
  switch (queryControllerInfo(host, user, password, &document)) {
    case FppResult::kOk:
    case FppResult::kUnreadablePorts:
      break;
    case FppResult::kAuthRequired:
      return fail("authentication required");
    case FppResult::kNotFpp:
      return fail(otherDeviceMessage(host, record, "", "not FPP"));
    default:
      return fail(restoreFailureMessage(host, "the controller did not answer"));
  }
  JsonValue info;
  if (parseJsonDocument(document, &info) &&
      (getString(info, "hostName", "") != record.hostName ||
       getString(info, "platform", "") != record.platform))
    return fail(otherDeviceMessage(host,
                                   record,
                                   getString(info, "hostName", ""),
                                   getString(info, "platform", "")));
  std::vector<bool> which(record.files.size());
  for (size_t i = 0; i < record.files.size(); ++i) {
    which[i] = readAndClassify(host, user, password, record.files[i]) !=
               FileNow::kOriginal;
    report->push_back(
        std::string(which[i] ? "put back: " : "already as it was: ") +
        record.files[i].name);
  }
  if (std::find(which.begin(), which.end(), true) != which.end()) {
    std::string why;
    if (!restoreFppFiles(
            host, user, password, record, which, seconds, progress, &why))
      return fail(restoreFailureMessage(host, why));
  }
  std::string removeError;
  if (!removeRestoreRecord(kControllerDevice, record.key, &removeError))
    return fail(removeError);
  return true;
}

bool recoverEarlierScan(ControllerLink* link,
                        const ControllerProgress& progress,
                        bool* putBack,
                        std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  *putBack = false;
  RestoreRecord record;
  std::string damaged;
  switch (readFppRecord(link->host, &record, &damaged)) {
    case RecordState::kNone:
      return true;
    case RecordState::kDamaged:
      return fail(damaged);
    case RecordState::kOk:
      break;
  }
  if (record.hostName != link->hostName || record.platform != link->platform)
    return fail(
        otherDeviceMessage(link->host, record, link->hostName, link->platform));
  // What connect read is what the controller holds now.
  std::vector<bool> which(record.files.size());
  bool any = false;
  for (size_t i = 0; i < record.files.size(); ++i) {
    const RestoreFile& file = record.files[i];
    FileNow now;
    if (file.path == kFppUniverseFilePath)
      now = classifyFile(
          file, link->universeFileExisted, link->savedUniverseInputs);
    else if (file.path == pixelStringsPath(link->usesBBB))
      now = classifyFile(file, true, link->savedPortStrings);
    else
      now = readAndClassify(link->host, link->user, link->password, file);
    if (now == FileNow::kOther)
      return fail(changedSinceMessage(link->host, file.name));
    if (now == FileNow::kUnreadable)
      return fail("could not read the " + file.name + " of " + link->host);
    which[i] = now == FileNow::kScan;
    any = any || which[i];
  }
  if (any) {
    if (progress)
      progress("Putting back the configuration an earlier scan left on " +
               link->host + kEllipsis);
    std::string why;
    if (!restoreFppFiles(link->host,
                         link->user,
                         link->password,
                         record,
                         which,
                         link->restoreSeconds,
                         progress,
                         &why))
      return fail(restoreFailureMessage(link->host, why));
    *putBack = true;
  }
  // Everything is as it was before that scan: the record has done its job.
  (void)removeRestoreRecord(kControllerDevice, record.key, nullptr);
  return true;
}

}  // namespace pxo
