#pragma once

#include "controller/fpp_client.h"
#include "controller/fpp_restore.h"

#include <cstdint>
#include <string>
#include <vector>

// A WLED controller as a scan drives it: its outputs are the ports, the
// frames go over DDP to its realtime input, and the one thing a scan may
// change is its state (switched on, master brightness at full, so that the
// realtime data is not scaled down). That state is written to a restore
// record before it is changed and put back, checked, when the scan ends;
// its configuration is never touched (a change reboots it).
//
// Calls block on the network and run on the session's worker thread; an
// interrupt may put the state back from a thread of its own
// (interruptController), under the link's changeMutex.

namespace pxo {

inline constexpr char kWledRecordKind[] = "wled";
inline constexpr char kWledStatePath[] = "/json/state";

// The LEDs by which the controller moves DDP data: its DMX start address
// (in whole LEDs of three channels) plus its realtime LED offset. Data at
// DDP offset 0 lights this LED.
int32_t wledDdpShift(const WledDevice& device);

// Connects: finishes what an earlier scan of this controller left (its
// state put back from the record), reads its three documents and makes one
// port per output (three channels per LED from the
// output's first LED). False with a message naming the controller: no
// answer, "… has its realtime input switched off …", no LEDs. Ports are
// numbered from 0, as an FPP controller's are. Nothing on
// the controller is changed but a state an earlier scan left.
[[nodiscard]] bool connectWled(ControllerLink* link,
                               const std::string& host,
                               std::string* error,
                               const ControllerProgress& progress = {});

// Readies the controller for the scan: the selected ports must lie where
// DDP reaches them; a controller that would scale the realtime data (off,
// or below full brightness, without "force max brightness") is switched on
// at full brightness, its state recorded first.
[[nodiscard]] bool prepareWled(ControllerLink* link,
                               std::string* error,
                               const ControllerProgress& progress = {});

// Puts back the state prepareWled changed, checked and retried for the
// link's restoreSeconds; the record goes once it is back. True when there
// was nothing to put back. `error` names the controller and the command
// that puts it back later.
[[nodiscard]] bool restoreWled(ControllerLink* link,
                               std::string* error,
                               const ControllerProgress& progress = {});
// The same, for a caller that holds the link's changeMutex.
[[nodiscard]] bool restoreWledLocked(ControllerLink* link, std::string* error);

// The most maps a controller keeps: "ledmap.json" and "ledmap1.json" to
// "ledmap9.json".
inline constexpr int32_t kWledLedMapSlots = 10;

// Uploads an LED map (led_map.h's text) to the controller's flash as
// "ledmap.json", or, when a map is there already, as the first free of
// "ledmap1.json" … "ledmap9.json": a map that is there is never
// overwritten. The upload is checked by reading the file back. `storedAs`
// gets the name it went in as ("/ledmap2.json"). False with a message
// naming the controller when it did not answer, refused, kept something
// else, or has no free name left.
[[nodiscard]] bool uploadWledLedMap(const std::string& host,
                                    const std::string& text,
                                    std::string* storedAs,
                                    std::string* error);

// `pixoria restore` for a WLED record: puts the recorded state back,
// checked, and removes the record. With no record, true and `*found` false.
[[nodiscard]] bool restoreRecordedWled(const std::string& host,
                                       double seconds,
                                       bool* found,
                                       std::vector<std::string>* report,
                                       std::string* error);

}  // namespace pxo
