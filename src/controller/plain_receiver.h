#pragma once

#include "controller/controller_kind.h"
#include "controller/fpp_client.h"

#include <cstdint>
#include <string>

// A pixel controller the show already drives over DDP or E1.31, taken as
// it is: nothing on it is read or changed, so the user says what it takes
// (where its pixels start, how many, in which colour order) and the scan
// sends only inside that channel range. No restore is needed: when the
// scan stops sending, the controller goes back to its show.
//
//   PlainReceiver receiver;
//   receiver.host = "10.0.0.50";
//   receiver.pixels = 300;
//   connectPlainReceiver(&link, ControllerKind::kE131, receiver, &error);
//
// Pure checks and a connect that touches no network; any thread.

namespace pxo {

// Whether `order` is a colour order the senders know: the letters R, G and
// B once each, and W once for a fourth channel ("GRB", "RGBW", "WRGB").
bool isColorOrder(const std::string& order);

// The receiver's settings checked for `kind` (kDdp or kE131). False with a
// message naming the setting: the pixel count, the colour order, the start
// channel, the universe and its size, or a channel range that runs past
// the last universe (63999) or past DDP's 32-bit offset.
[[nodiscard]] bool checkPlainReceiver(ControllerKind kind,
                                      const PlainReceiver& receiver,
                                      std::string* error);

// Connects `link` to the receiver: one port (number 0) with the receiver's
// pixels, selected, from the start of its channel range. Nothing goes over
// the network: the senders open when the scan is prepared.
[[nodiscard]] bool connectPlainReceiver(ControllerLink* link,
                                        ControllerKind kind,
                                        const PlainReceiver& receiver,
                                        std::string* error);

// "FPP", "WLED", "DDP" or "E1.31".
const char* controllerKindName(ControllerKind kind);

}  // namespace pxo
