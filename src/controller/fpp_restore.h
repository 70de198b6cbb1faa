#pragma once

#include "controller/fpp_client.h"
#include "controller/restore_record.h"

#include <functional>
#include <string>
#include <vector>

// Putting an FPP controller's files back from a restore record, checked:
// each file is written back, read back and compared with the record, and
// writes that fail, are refused or go unanswered are tried again with
// back-off until a time limit (an FPP restart takes tens of seconds). The
// record goes only once every file is back.
//
// Calls block on the network and run on the calling thread.

namespace pxo {

// How long a restore keeps trying by default.
inline constexpr double kDefaultRestoreSeconds = 60;

using ControllerProgress = std::function<void(const std::string&)>;

// Asks fppd to restart and waits until it answers its status again, at
// most `seconds` (and never more than 30 s).
void restartFppd(const std::string& host,
                 const std::string& user,
                 const std::string& password,
                 double seconds);

// The record of a scan about to put `portConfig` (buildScanPortConfig's
// text) and the scan universe input on the controller of `link`.
RestoreRecord fppScanRecord(const ControllerLink& link,
                            const std::string& portConfig);

// What a controller file holds now, against its record.
enum class FileNow {
  kOriginal,    // what was there before the scan
  kScan,        // what the scan wrote
  kOther,       // something else: changed since
  kUnreadable,  // no answer, or one that says nothing
};

FileNow classifyFile(const RestoreFile& file,
                     bool existsNow,
                     const std::string& textNow);

// Reads a file of the record from the controller and classifies it.
FileNow readAndClassify(const std::string& host,
                        const std::string& user,
                        const std::string& password,
                        const RestoreFile& file);

// Puts back the files of `record` whose flag in `which` is set (every file
// when `which` is empty), checked and retried for at most `seconds`. On
// FPP 8 fppd is restarted after the writes. False with why in `why`
// ("the controller did not answer", "the controller refused the write
// (HTTP 500)", "the controller still holds a different pixel strings
// file"). Does not touch the record on disk.
[[nodiscard]] bool restoreFppFiles(const std::string& host,
                                   const std::string& user,
                                   const std::string& password,
                                   const RestoreRecord& record,
                                   const std::vector<bool>& which,
                                   double seconds,
                                   const ControllerProgress& progress,
                                   std::string* why);

// The message of a restore that did not get everything back: names the
// controller, says the configuration is safe in the record and gives the
// command that puts it back.
std::string restoreFailureMessage(const std::string& host,
                                  const std::string& why);

// The command that puts the record of `host` back.
std::string restoreCommandFor(const std::string& host);

// What `pixoria restore --controller HOST` does: puts back, checked, every
// file of the record of `host` that the controller does not hold as it was,
// and removes the record. `report` gets one line per file. False with a
// message when the record is damaged, the controller is another device,
// or a file could not be put back (the record is then kept). With no
// record, true and `*found` false.
[[nodiscard]] bool restoreRecordedController(const std::string& host,
                                             const std::string& user,
                                             const std::string& password,
                                             double seconds,
                                             const ControllerProgress& progress,
                                             bool* found,
                                             std::vector<std::string>* report,
                                             std::string* error);

// At connect, before the controller's configuration is taken as the
// user's: finishes what an earlier scan of this controller left. When the
// controller still holds what that scan wrote, puts the user's
// configuration back first (progress "Putting back the configuration an
// earlier scan left on HOST…"), checked, and sets `*putBack`; when it holds
// something else, changes nothing, keeps the record and fails with a
// message that points to `pixoria restore`. `link` holds what connect just
// read.
[[nodiscard]] bool recoverEarlierScan(ControllerLink* link,
                                      const ControllerProgress& progress,
                                      bool* putBack,
                                      std::string* error);

}  // namespace pxo
