// pixoria: scans a prop from the command line.
//
//   pixoria scan --simulate [--scene FILE] [--report FILE] [--out DIR]
//                [--name NAME] [--fov DEG] [--user U --password P]
//                [--rtsp [--camera-latency MS] [--camera-b-frames N] | --onvif]
//   pixoria scan --controller HOST [--user U] [--password P]
//                [--camera ID | --rtsp URL | --onvif [DEVICE-URL]]
//                [--camera-user U] [--camera-password P]
//                [--ports 1,2] [--out DIR] [--name NAME]
//   pixoria decode FOLDER [--out DIR] [--name NAME]
//   pixoria cameras
//   pixoria discover [--timeout MS]
//   pixoria profiles DEVICE-URL [--user U --password P]

#include "capture/camera_list.h"
#include "capture/onvif/onvif_client.h"
#include "capture/rtsp/rtsp_capture.h"
#include "controller/fpp_reconfigure.h"
#include "controller/fpp_restore.h"
#include "controller/restore_record.h"
#include "controller/wled_controller.h"
#include "json/json_text.h"
#include "output/model_writer.h"
#include "output/scan_data.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/utf8_path.h"
#include "recon3d/reconstruct.h"
#include "scan/scan_decode.h"
#include "scan/session.h"
#include "ui/scan_window.h"

#include "sim/blank_camera.h"
#include "sim/decode_scorer.h"
#include "sim/network_camera.h"
#include "sim/onvif_camera.h"
#include "sim/rig.h"
#include "sim/rig_scan.h"
#include "sim/solve_scorer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "preview_image.h"

namespace {

namespace fs = std::filesystem;
using pxo::ScanSession;
using pxo::platform::pathFromUtf8;
using pxo::platform::pathToUtf8;

struct Arguments {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool has(const std::string& name) const { return options.count(name) > 0; }
  std::string get(const std::string& name,
                  const std::string& fallback = "") const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

// What an option takes: nothing (a switch), any text, or a value that
// must parse.
enum class Takes { kSwitch, kText, kNumber, kCount, kPortList, kOptionalText };

struct OptionRule {
  const char* name;
  Takes takes;
};

// A command that takes any number of words that are not options.
constexpr size_t kAnyCount = SIZE_MAX;

struct CommandRule {
  const char* command;
  size_t positional;  // how many words that are not options it takes
  std::vector<OptionRule> options;
};

const std::vector<CommandRule>& commandRules() {
  static const std::vector<CommandRule> rules = {
      {"scan",
       0,
       {{"simulate", Takes::kSwitch},
        {"controller", Takes::kText},
        {"scene", Takes::kText},
        {"report", Takes::kText},
        {"out", Takes::kText},
        {"name", Takes::kText},
        {"fov", Takes::kNumber},
        {"user", Takes::kText},
        {"password", Takes::kText},
        {"camera", Takes::kText},
        {"rtsp", Takes::kOptionalText},
        {"onvif", Takes::kOptionalText},
        {"camera-user", Takes::kText},
        {"camera-password", Takes::kText},
        {"camera-latency", Takes::kNumber},
        {"camera-b-frames", Takes::kCount},
        {"camera-first-b-frames", Takes::kCount},
        {"ports", Takes::kPortList},
        {"restore-wait", Takes::kNumber},
        {"ddp", Takes::kText},
        {"e131", Takes::kOptionalText},
        {"universe", Takes::kCount},
        {"universe-size", Takes::kCount},
        {"start-channel", Takes::kCount},
        {"pixels", Takes::kCount},
        {"color-order", Takes::kText},
        {"wled", Takes::kOptionalText},
        {"upload-ledmap", Takes::kSwitch},
        {"view", Takes::kCount},
        {"views", Takes::kCount},
        {"view-wait", Takes::kNumber},
        {"size", Takes::kNumber}}},
      {"restore",
       0,
       {{"controller", Takes::kText},
        {"user", Takes::kText},
        {"password", Takes::kText},
        {"camera", Takes::kText},
        {"list", Takes::kSwitch},
        {"discard", Takes::kSwitch},
        {"restore-wait", Takes::kNumber}}},
      {"gui",
       0,
       {{"simulate", Takes::kSwitch},
        {"scene", Takes::kText},
        {"controller", Takes::kText},
        {"wled", Takes::kText},
        {"camera", Takes::kText},
        {"rtsp", Takes::kText},
        {"camera-user", Takes::kText},
        {"camera-password", Takes::kText},
        {"out", Takes::kText},
        {"name", Takes::kText}}},
      {"serve",
       0,
       {{"simulate", Takes::kSwitch},
        {"scene", Takes::kText},
        {"camera-latency", Takes::kNumber},
        {"camera-b-frames", Takes::kCount},
        {"camera-first-b-frames", Takes::kCount},
        {"log-requests", Takes::kSwitch}}},
      {"decode", 1, {{"out", Takes::kText}, {"name", Takes::kText}}},
      {"solve",
       kAnyCount,
       {{"fov", Takes::kNumber},
        {"out", Takes::kText},
        {"name", Takes::kText},
        {"size", Takes::kNumber},
        {"scene", Takes::kText},
        {"report", Takes::kText}}},
      {"cameras", 0, {}},
      {"discover", 0, {{"timeout", Takes::kCount}}},
      {"profiles", 1, {{"user", Takes::kText}, {"password", Takes::kText}}},
  };
  return rules;
}

bool parsesAsNumber(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value);
}

bool parsesAsCount(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  return std::all_of(
      text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parsesAsPortList(const std::string& text) {
  std::stringstream list(text);
  size_t items = 0;
  for (std::string item; std::getline(list, item, ',');) {
    if (!parsesAsCount(item)) return false;
    ++items;
  }
  return items > 0 && text.back() != ',';
}

// Reads the words after the program name against the command's rules:
// false (with what was wrong, or nothing for a bare usage error) for an
// unknown command or option, a missing value, or a value that does not
// parse.
bool parseArguments(const std::vector<std::string>& words,
                    Arguments* args,
                    std::string* problem) {
  if (words.size() < 2) return false;
  args->command = words[1];
  const CommandRule* rule = nullptr;
  for (const CommandRule& r : commandRules())
    if (args->command == r.command) rule = &r;
  if (!rule) {
    *problem = "unknown command \"" + args->command + "\"";
    return false;
  }
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.rfind("--", 0) != 0) {
      args->positional.push_back(word);
      continue;
    }
    const std::string name = word.substr(2);
    const OptionRule* option = nullptr;
    for (const OptionRule& o : rule->options)
      if (name == o.name) option = &o;
    if (!option) {
      *problem = "unknown option " + word + " for " + args->command;
      return false;
    }
    const bool valueFollows =
        i + 1 < words.size() && words[i + 1].rfind("--", 0) != 0;
    if (option->takes == Takes::kSwitch ||
        (option->takes == Takes::kOptionalText && !valueFollows)) {
      args->options.insert_or_assign(name, std::string(1, '1'));
      continue;
    }
    if (i + 1 >= words.size()) {
      *problem = word + " needs a value";
      return false;
    }
    const std::string& value = words[++i];
    const bool good = option->takes == Takes::kNumber  ? parsesAsNumber(value)
                      : option->takes == Takes::kCount ? parsesAsCount(value)
                      : option->takes == Takes::kPortList
                          ? parsesAsPortList(value)
                          : true;
    if (!good) {
      *problem = "bad value \"";
      *problem += value;
      *problem += "\" for ";
      *problem += word;
      return false;
    }
    args->options[name] = value;
  }
  if (rule->positional != kAnyCount &&
      args->positional.size() != rule->positional) {
    *problem = args->positional.size() > rule->positional
                   ? "unexpected \"" + args->positional[rule->positional] + "\""
                   : args->command + " needs " +
                         std::to_string(rule->positional) + " argument";
    return false;
  }
  return true;
}

int usage() {
  std::fprintf(
      stderr,
      "usage:\n"
      "  pixoria scan --simulate [--scene FILE] [--report FILE] "
      "[--out DIR] [--name NAME] [--fov DEG]\n"
      "               [--user U --password P] [--rtsp "
      "[--camera-latency MS] [--camera-b-frames N]\n"
      "               [--camera-first-b-frames N] | --onvif]\n"
      "               [--wled [--upload-ledmap] | --e131 [--universe U] "
      "[--start-channel C]]\n"
      "               [--view K] [--size METRES]\n"
      "  pixoria scan --controller HOST [--user U] [--password P]\n"
      "               [--camera ID | --rtsp URL | --onvif "
      "[DEVICE-URL]]\n"
      "               [--camera-user U] [--camera-password P]\n"
      "               [--ports 1,2] [--out DIR] [--name NAME] "
      "[--restore-wait SECONDS]\n"
      "               [--views N [--view-wait SECONDS] [--fov DEG] "
      "[--size METRES]]\n"
      "  pixoria scan --wled HOST [--ports 1,2] [--upload-ledmap] [camera, "
      "--out, --name]\n"
      "  pixoria scan --ddp HOST | --e131 HOST|multicast --pixels N\n"
      "               [--start-channel C] [--universe U] [--universe-size N]\n"
      "               [--color-order ORDER] [camera, --out, --name]\n"
      "  pixoria restore --controller HOST [--user U --password P] "
      "[--discard]\n"
      "  pixoria restore --list | --camera ID\n"
      "  pixoria gui [--simulate [--scene FILE]] [--controller HOST | --wled "
      "HOST]\n"
      "              [--camera ID | --rtsp URL] [--out DIR] [--name NAME]\n"
      "  pixoria serve --simulate [--scene FILE] [--camera-latency MS]\n"
      "                [--camera-b-frames N] [--camera-first-b-frames N] "
      "[--log-requests]\n"
      "  pixoria decode FOLDER [--out DIR] [--name NAME]\n"
      "  pixoria solve FOLDER FOLDER... [--fov DEG] [--out DIR] [--name NAME]\n"
      "                [--size METRES] [--scene FILE --report FILE]\n"
      "  pixoria cameras\n"
      "  pixoria discover [--timeout MS]\n"
      "  pixoria profiles DEVICE-URL [--user U --password P]\n");
  return 2;
}

// The manual page, for --help.
constexpr char kManual[] =
    "NAME\n"
    "    pixoria - find where every LED of a light-show prop sits, with a\n"
    "    camera, and write it as a model file\n"
    "\n"
    "SYNOPSIS\n"
    "    pixoria scan --controller HOST [--camera ID | --rtsp URL | --onvif "
    "[URL]]\n"
    "                 [--ports 1,2] [--out DIR] [--name NAME]\n"
    "                 [--views N [--view-wait SECONDS]]\n"
    "    pixoria scan --wled HOST [--ports 1,2] [--upload-ledmap] [...]\n"
    "    pixoria scan --ddp HOST | --e131 HOST|multicast --pixels N [...]\n"
    "    pixoria scan --simulate [--scene FILE] [--out DIR] [--name NAME]\n"
    "                 [--wled | --e131]\n"
    "    pixoria gui [--controller HOST] [--camera ID | --rtsp URL] "
    "[--simulate]\n"
    "    pixoria serve --simulate [--scene FILE]\n"
    "    pixoria restore --controller HOST [--discard] | --list | --camera "
    "ID\n"
    "    pixoria decode FOLDER [--out DIR] [--name NAME]\n"
    "    pixoria solve FOLDER FOLDER... [--fov DEG] [--out DIR] [--name "
    "NAME]\n"
    "    pixoria cameras | discover [--timeout MS] | profiles DEVICE-URL\n"
    "    pixoria --help\n"
    "\n"
    "DESCRIPTION\n"
    "    pixoria drives the prop through its FPP pixel controller (HTTP and\n"
    "    DDP), films it while every LED blinks its own code, decodes each\n"
    "    LED's position, snaps the positions to a grid and writes an\n"
    "    .xmodel file. The controller's pixel outputs are changed for the\n"
    "    scan and put back exactly as they were when the command ends,\n"
    "    also on Ctrl-C or when the console is closed. Before the first\n"
    "    change a restore record of the controller's configuration is\n"
    "    written to the user's state folder ($XDG_STATE_HOME/pixoria/\n"
    "    restore, by default ~/.local/state/pixoria/restore); the\n"
    "    configuration is read back once put back, and the record goes\n"
    "    only then. If the program was killed or the controller went away,\n"
    "    the next scan of that controller, or pixoria restore, puts the\n"
    "    configuration back from the record.\n"
    "\n"
    "    Props on other controllers: a WLED controller (--wled) is driven\n"
    "    through its realtime input; only its state changes (switched on at\n"
    "    full brightness when it would dim the scan), recorded and put back\n"
    "    the same way, never its configuration. Its own LED map is written\n"
    "    beside the model as ledmap.json, and with --upload-ledmap sent to\n"
    "    it as ledmap.json or, when a map is there, the next free\n"
    "    ledmapN.json. Any DDP (--ddp) or E1.31 (--e131) receiver is driven\n"
    "    as the show drives it, changing nothing on it: say where its\n"
    "    pixels start and how many there are; nothing is sent outside that\n"
    "    channel range but the zeros E1.31 needs before the start channel\n"
    "    in the first universe.\n"
    "\n"
    "    3D: scan --views N scans the prop from N places in one session\n"
    "    (the controller is prepared once and put back once): between\n"
    "    views it says what the last one saw and waits for Enter, or\n"
    "    --view-wait seconds, while the camera is carried to the next\n"
    "    place. The views are then solved in 3D and written as a point\n"
    "    model, with NAME.csv beside it (index,x,y,z; the prop's largest\n"
    "    extent is --size metres, default 1). Each view's scan data is\n"
    "    kept, and pixoria solve solves kept folders of one prop again,\n"
    "    from one session or several, as the live solve would. A view\n"
    "    that spoils the solve (its camera moved during the scan, or it\n"
    "    filmed another prop) is left out and named with its reason.\n"
    "\n"
    "COMMANDS\n"
    "    scan      Scan a prop: --controller for a real controller and\n"
    "              camera, --simulate for the built-in virtual rig.\n"
    "    gui       Open the scan window.\n"
    "    serve     Run the virtual rig's controller and network camera.\n"
    "    restore   Put a controller's configuration back from its restore\n"
    "              record (--controller), list the records kept (--list),\n"
    "              or put a camera's controls back (--camera).\n"
    "    decode    Decode a kept scan-data folder again.\n"
    "    solve     Solve kept scan-data folders of one prop, a view each,\n"
    "              in 3D.\n"
    "    cameras   List the local cameras (identifier, name).\n"
    "    discover  List the ONVIF network cameras that answer on this "
    "network.\n"
    "    profiles  List a network camera's H.264 profiles and stream "
    "addresses.\n"
    "\n"
    "OPTIONS\n"
    "    --controller HOST   the FPP controller's host name or address\n"
    "    --wled HOST         a WLED controller\n"
    "    --ddp HOST          a DDP receiver, as it is\n"
    "    --e131 HOST|multicast\n"
    "                        an E1.31 receiver, as it is (multicast: to\n"
    "                        each universe's group 239.255.hi.lo)\n"
    "    --pixels N          the receiver's pixels to scan\n"
    "    --start-channel C   the receiver's channel of the first pixel "
    "(1-based;\n"
    "                        E1.31: in the first universe; default 1)\n"
    "    --universe U        E1.31: the first universe (default 1)\n"
    "    --universe-size N   E1.31: channels per universe (default 510)\n"
    "    --color-order ORDER the receiver's colour order (default RGB)\n"
    "    --upload-ledmap     WLED: put the LED map on the controller too\n"
    "    --user U, --password P\n"
    "                        the controller's (or, for profiles, the "
    "camera's)\n"
    "                        credentials\n"
    "    --camera ID         a local camera, as listed by pixoria cameras\n"
    "    --rtsp URL          a network camera's stream address\n"
    "    --onvif [URL]       a network camera found over ONVIF\n"
    "    --camera-user U, --camera-password P\n"
    "                        the network camera's credentials\n"
    "    --ports 1,2         the FPP or WLED outputs to scan (default: all)\n"
    "    --out DIR           where the model and the scan data go\n"
    "                        (default: pixoria-out)\n"
    "    --name NAME         the model's name\n"
    "    --scene FILE        the virtual rig's scene (sim/scenes/); solve:\n"
    "                        score the solve against it (--report FILE)\n"
    "    --views N           scan from N places and solve them in 3D\n"
    "    --view-wait SECONDS between views, wait this long instead of for\n"
    "                        Enter\n"
    "    --view K            simulate: scan only pose K of the scene\n"
    "    --fov DEG           the camera's horizontal field of view "
    "(default:\n"
    "                        searched)\n"
    "    --size METRES       the prop's largest extent, for the CSV\n"
    "    --log-requests      serve: print each request the controller gets\n"
    "    --timeout MS        how long discover listens (default 3000)\n"
    "    --restore-wait SECONDS\n"
    "                        how long putting the controller back keeps\n"
    "                        trying (default 60)\n"
    "    --discard           restore: remove the controller's record and\n"
    "                        keep what the controller holds now\n"
    "    --camera-latency MS, --camera-b-frames N\n"
    "                        the simulated network camera's delay and the\n"
    "                        B-frames in its stream (default 0)\n"
    "    --camera-first-b-frames N\n"
    "                        B-frames in the simulated camera's first group\n"
    "                        of pictures, after which its encoder starts\n"
    "                        again with --camera-b-frames (default: the "
    "same)\n"
    "\n"
    "EXIT STATUS\n"
    "    0 success; 1 the command failed (the reason is on standard error),\n"
    "    also when the controller could not be put back (its configuration\n"
    "    then stays in the restore record); 2 bad usage (nothing was\n"
    "    connected or changed); 130 interrupted (the controller was put\n"
    "    back first).\n"
    "\n"
    "EXAMPLES\n"
    "    pixoria scan --simulate --out demo\n"
    "    pixoria scan --controller 192.168.1.50 --camera /dev/video0 --ports "
    "1\n"
    "    pixoria scan --controller 192.168.1.50 --views 3 --name Tree\n"
    "    pixoria solve pixoria-out/*/scan_* --name Tree\n";

int manual() {
  std::fputs(kManual, stdout);
  return 0;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "pixoria: %s\n", message.c_str());
  return 1;
}

// Bad usage: nothing was connected or changed.
int badUsage(const std::string& message) {
  std::fprintf(stderr, "pixoria: %s\n", message.c_str());
  return 2;
}

// Progress: counted messages ("... 3/57") redraw one line with a bar on a
// terminal; others get a line of their own.
void showProgress(const std::string& message) {
  static bool onBar = false;
  const bool terminal = pxo::platform::standardOutputIsTerminal();
  size_t slash = message.rfind('/');
  size_t space = message.rfind(' ', slash);
  if (terminal && slash != std::string::npos && space != std::string::npos) {
    double done = std::atof(message.c_str() + space + 1);
    double total = std::atof(message.c_str() + slash + 1);
    int filled = total > 0 ? static_cast<int>(30 * done / total) : 0;
    std::printf("\r  %-40s [%s%s]",
                message.substr(0, space).c_str(),
                std::string(static_cast<size_t>(filled), '#').c_str(),
                std::string(static_cast<size_t>(30 - filled), '.').c_str());
    std::fflush(stdout);
    onBar = true;
    return;
  }
  if (onBar) std::printf("\n");
  onBar = false;
  if (slash == std::string::npos || !terminal)
    std::printf("  %s\n", message.c_str());
  std::fflush(stdout);
}

bool copyInto(const std::string& from,
              const fs::path& folder,
              std::string* copied) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path source = pathFromUtf8(from);
  fs::path to = folder / source.filename();
  fs::copy_file(source, to, fs::copy_options::overwrite_existing, ec);
  if (ec) return false;
  *copied = pathToUtf8(to);
  return true;
}

bool writePreview(ScanSession& session,
                  const fs::path& path,
                  std::string* error) {
  if (session.lastRun.marks.empty() || !session.camera) {
    if (error) *error = "no scan to preview";
    return false;
  }
  pxowin::BgraFrame frame;
  // The picture the positions were decoded in, so that they land on it.
  if (!session.camera->extractFrame(
          session.lastRun.marks[0].time + session.lastRun.settleOffset,
          pxo::kScanFrameMaxDimension,
          frame,
          error))
    return false;
  return pxo::tools::writePreviewPng(
      frame, session.lastRun.decoded, pathToUtf8(path), error);
}

void printDiscovered(const std::vector<pxo::DiscoveredNetworkCamera>& found) {
  if (found.empty()) std::printf("no ONVIF cameras answered\n");
  for (const pxo::DiscoveredNetworkCamera& c : found)
    std::printf("%s\t%s\t%s\n",
                c.label.c_str(),
                c.host.c_str(),
                c.serviceAddress.c_str());
}

void printProfiles(const std::vector<pxo::OnvifProfile>& profiles) {
  for (const pxo::OnvifProfile& p : profiles)
    std::printf(
        "%s\t%dx%d @%d fps\t%s\n",
        p.name.c_str(),
        p.width,
        p.height,
        p.frameRateLimit,
        p.streamUri.empty() ? "(no stream address)" : p.streamUri.c_str());
}

// The stream a scan films: the largest H.264 profile of the ONVIF camera at
// `deviceUrl`, or of the first camera that answers discovery when it is
// empty (when `onlyDevice` is given, the first with that service address).
bool findOnvifStream(std::string deviceUrl,
                     const std::string& onlyDevice,
                     const std::string& user,
                     const std::string& password,
                     std::string* streamUri,
                     std::string* error) {
  if (deviceUrl.empty()) {
    std::printf("Looking for ONVIF cameras...\n");
    std::vector<pxo::DiscoveredNetworkCamera> found;
    if (pxo::discoverOnvifCameras(16, 3000, &found) < 0) {
      *error = "could not open a socket for camera discovery";
      return false;
    }
    printDiscovered(found);
    for (const pxo::DiscoveredNetworkCamera& c : found) {
      if (!onlyDevice.empty() && c.serviceAddress != onlyDevice) continue;
      deviceUrl = c.serviceAddress;
      break;
    }
    if (deviceUrl.empty()) {
      *error = "no ONVIF camera answered discovery";
      return false;
    }
  }
  std::vector<pxo::OnvifProfile> profiles;
  if (pxo::listCameraProfiles(deviceUrl, user, password, &profiles, error) <= 0)
    return false;
  printProfiles(profiles);
  for (const pxo::OnvifProfile& p : profiles) {
    if (p.streamUri.empty()) continue;
    std::printf("ONVIF camera at %s: profile '%s', %d x %d\n",
                deviceUrl.c_str(),
                p.name.c_str(),
                p.width,
                p.height);
    *streamUri = p.streamUri;
    return true;
  }
  *error = "the camera gave no stream address for its H.264 profiles";
  return false;
}

// A WLED controller's own map of the scan, beside the model, and on the
// controller too with --upload-ledmap. Nothing for other controllers or a
// 3D result.
bool writeWledLedMap(const ScanSession& session,
                     const Arguments& args,
                     const fs::path& out,
                     std::string* error) {
  if (session.controller.kind != pxo::ControllerKind::kWled ||
      !session.points3d.empty())
    return true;
  const std::string path =
      pxo::writeControllerLedMap(session, pathToUtf8(out), error);
  if (path.empty()) return false;
  std::printf("LED map:    %s\n", path.c_str());
  if (!args.has("upload-ledmap")) return true;
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string storedAs;
  if (!in || !pxo::uploadWledLedMap(
                 session.controller.host, text.str(), &storedAs, error)) {
    if (error->empty()) *error = "could not read " + path;
    return false;
  }
  std::printf("Uploaded to %s as %s\n",
              session.controller.host.c_str(),
              storedAs.c_str());
  return true;
}

// How many controllers the command names: --controller, --wled, --ddp,
// --e131.
int controllersNamed(const Arguments& args) {
  int named = 0;
  for (const char* option : {"controller", "wled", "ddp", "e131"})
    named += args.has(option) ? 1 : 0;
  return named;
}

// The receiver's settings from the command line over `base`.
pxo::PlainReceiver receiverFromArguments(const Arguments& args,
                                         pxo::PlainReceiver base) {
  auto count = [&](const char* option, int32_t* value) {
    if (args.has(option)) *value = std::atoi(args.get(option).c_str());
  };
  count("pixels", &base.pixels);
  count("start-channel", &base.startChannel);
  count("universe", &base.universe);
  count("universe-size", &base.universeSize);
  base.colorOrder = args.get("color-order", base.colorOrder);
  for (char& c : base.colorOrder)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return base;
}

// Scans the scene's prop once per camera pose; with more than one pose the
// views are solved in 3D and the model is the 3D point model.
// The 3D points as "index,x,y,z", one LED a line, ascending: the solve's
// frame (principal axes, the largest extent 1) scaled by `size`.
bool writePointsCsv(const fs::path& path,
                    const std::vector<pxo::ModelPoint3D>& points,
                    double size,
                    std::string* error) {
  std::string text = "index,x,y,z\n";
  char line[128];
  for (const pxo::ModelPoint3D& p : points) {
    std::snprintf(line,
                  sizeof line,
                  "%d,%.6f,%.6f,%.6f\n",
                  p.id,
                  p.x * size,
                  p.y * size,
                  p.z * size);
    text += line;
  }
  return pxo::writeTextFile(path, text, error);
}

// Each line of `text` after `indent`.
void printIndented(const std::string& text, const char* indent) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::printf("%s%.*s\n",
                indent,
                static_cast<int>(end - start),
                text.c_str() + start);
    start = end + 1;
  }
}

// Views only ever add: the LEDs that the views before the last placed and
// the solve of them all does not, and why. With three views or more.
void reportWhatTheLastViewTook(std::span<const pxo::ScanView> views,
                               double fovDeg,
                               const char* indent) {
  if (views.size() < 3) return;
  pxo::Solve3DResultPtr all = pxo::solveViews(views, fovDeg, nullptr);
  pxo::Solve3DResultPtr before =
      pxo::solveViews(views.first(views.size() - 1), fovDeg, nullptr);
  if (!all || !before) return;
  const std::string taken = pxo::ledsTakenAway(*before, *all);
  if (taken.empty()) {
    std::printf("%sEvery LED views 1 to %zu placed is still placed\n",
                indent,
                views.size() - 1);
    return;
  }
  std::printf("%sView %zu took away LEDs the views before it placed:\n",
              indent,
              views.size());
  printIndented(taken, (std::string(indent) + "  ").c_str());
}

// The 3D figures of a report against the scene.
void addSolveReport(pxo::JsonObjectText* report,
                    const pxo::sim::SolveScore& solved,
                    double trueFov,
                    double chosenFov) {
  using namespace pxo;
  report->add("solved3d", jsonInt(solved.solved))
      .add("interpolated3d", jsonInt(solved.interpolated))
      .add("removed3d", jsonInt(solved.removed))
      .add("rms3dFraction", jsonDouble(solved.rmsFraction))
      .add("rms3dSolvedFraction", jsonDouble(solved.solvedRmsFraction))
      .add("seenTwice3d", jsonInt(solved.seenTwice))
      .add("seenTwiceSolved3d", jsonInt(solved.seenTwiceSolved))
      .add("fovTrueDeg", jsonDouble(trueFov))
      .add("fovChosenDeg", jsonDouble(chosenFov));
}

// The simulated network camera's ONVIF side: found by discovery and asked
// for its profiles with a password digest, as a real camera would be. A
// larger MJPEG profile and a smaller H.264 one that leads nowhere check
// that the right one is taken.
pxo::sim::OnvifCameraConfig simulatedOnvif(const pxo::sim::SceneConfig& scene,
                                           const std::string& url) {
  pxo::sim::OnvifCameraConfig onvif;
  onvif.user = "admin";
  onvif.password = "simulated";
  pxo::sim::SimProfile main;
  main.name = "MainStream";
  main.token = "main";
  main.width = scene.camera.imaging.width;
  main.height = scene.camera.imaging.height;
  main.streamUri = url;
  pxo::sim::SimProfile sub = main;
  sub.name = "SubStream";
  sub.token = "sub";
  sub.width = main.width / 2;
  sub.height = main.height / 2;
  sub.streamUri = "rtsp://127.0.0.1:9/sub";
  pxo::sim::SimProfile jpeg = main;
  jpeg.name = "Snapshot";
  jpeg.token = "jpeg";
  jpeg.encoding = "JPEG";
  jpeg.width = main.width * 2;
  jpeg.height = main.height * 2;
  onvif.profiles = {sub, jpeg, main};
  return onvif;
}

// The rig's camera as the session films it: the virtual camera itself, or
// (--rtsp, --onvif) its pictures encoded to H.264 and served over RTSP on
// loopback with a network camera's lag, found over ONVIF with --onvif.
struct SimulatedCamera {
  pxo::sim::VirtualCamera* virtualCamera = nullptr;
  std::unique_ptr<pxowin::ICaptureSource> forSession;
  // What serves the network camera, when there is one.
  std::unique_ptr<pxo::sim::VirtualCamera> filmed;
  std::unique_ptr<pxo::sim::NetworkCamera> network;
  std::unique_ptr<pxo::sim::OnvifCamera> onvif;
};

bool filmSimulated(const Arguments& args,
                   const pxo::sim::SceneConfig& scene,
                   std::unique_ptr<pxo::sim::VirtualCamera> owned,
                   SimulatedCamera* camera,
                   std::string* error) {
  camera->virtualCamera = owned.get();
  if (!args.has("rtsp") && !args.has("onvif")) {
    camera->forSession = std::move(owned);
    return true;
  }
  pxo::sim::NetworkCameraConfig config;
  config.latencyMs = std::atof(args.get("camera-latency", "500").c_str());
  config.bFrames = std::atoi(args.get("camera-b-frames", "0").c_str());
  config.firstGroupBFrames =
      std::atoi(args.get("camera-first-b-frames", "-1").c_str());
  camera->filmed = std::move(owned);
  camera->network =
      std::make_unique<pxo::sim::NetworkCamera>(*camera->filmed, config);
  if (!camera->network->start(error)) return false;
  std::printf("Network camera at %s (%g ms latency)\n",
              camera->network->url().c_str(),
              config.latencyMs);
  std::string url = camera->network->url();
  if (args.has("onvif")) {
    const pxo::sim::OnvifCameraConfig onvif = simulatedOnvif(scene, url);
    camera->onvif = std::make_unique<pxo::sim::OnvifCamera>();
    if (!camera->onvif->start(onvif, error) ||
        !camera->onvif->startResponder(error) ||
        !findOnvifStream("",
                         camera->onvif->deviceServiceUrl(),
                         onvif.user,
                         onvif.password,
                         &url,
                         error))
      return false;
  }
  auto rtsp = std::make_unique<pxowin::RTSPCapture>(url, "", "");
  // The recording's time 0 is the stream's first picture plus the
  // stream time of its first recorded one.
  camera->filmed->setRecordingStart(
      [rtspCamera = rtsp.get(), server = camera->network.get()] {
        return server->clientStreamStart() + rtspCamera->recordingBase();
      });
  camera->forSession = std::move(rtsp);
  return true;
}

// Connects the session to the rig's controller of the kind asked for and
// selects the scene's ports.
bool connectSimulated(const Arguments& args,
                      const pxo::sim::SceneConfig& scene,
                      pxo::sim::SimulatedRig& rig,
                      ScanSession& session,
                      std::string* error) {
  if (args.has("e131")) {
    // What the user tells of the receiver; the rig's own settings unless
    // the command says otherwise (a wrong one shows in the accuracy).
    return pxo::connectReceiver(
        session,
        pxo::ControllerKind::kE131,
        receiverFromArguments(args, rig.receiverSettings()),
        error);
  }
  if (args.has("wled")) {
    if (!pxo::connectWledController(session, rig.controllerAddress(), error))
      return false;
    // The controller's outputs, in the scene's port order.
    for (size_t k = 0; k < scene.ports.size(); ++k)
      if (k < session.controller.ports.size())
        session.controller.ports[k].selected = scene.ports[k].selected;
    return true;
  }
  // The rig knows its controller's password; --user and --password win.
  const std::string password = args.get("password", scene.password);
  const std::string user =
      args.get("user", password.empty() ? std::string() : "admin");
  if (!pxo::connectController(
          session, rig.controllerAddress(), user, password, error))
    return false;
  for (pxo::ControllerPort& port : session.controller.ports)
    for (const pxo::sim::ScenePort& p : scene.ports)
      if (p.port == port.portNumber) port.selected = p.selected;
  return true;
}

// The 2D figures add up over the views; the errors are the worst view's.
struct SimulatedTotals {
  pxo::sim::DecodeScore score;
  double recording = 0;
  double processing = 0;
  int32_t overlapping = 0;
};

SimulatedTotals addUp(const std::vector<pxo::sim::PoseScan>& scans) {
  SimulatedTotals totals;
  pxo::sim::DecodeScore& score = totals.score;
  for (const pxo::sim::PoseScan& scan : scans) {
    totals.overlapping += scan.overlapping;
    const pxo::sim::DecodeScore& s = scan.score;
    score.leds += s.leds;
    score.visible += s.visible;
    score.correct += s.correct;
    score.wrong += s.wrong;
    score.missed += s.missed;
    score.estimated += s.estimated;
    score.medianErrorPx = std::max(score.medianErrorPx, s.medianErrorPx);
    score.p95ErrorPx = std::max(score.p95ErrorPx, s.p95ErrorPx);
    score.referenceShiftX = s.referenceShiftX;
    score.referenceShiftY = s.referenceShiftY;
    totals.recording += scan.recordingSeconds;
    totals.processing += scan.processingSeconds;
  }
  return totals;
}

// What a simulated scan wrote and how it scored.
struct SimulatedOutcome {
  std::vector<pxo::sim::PoseScan> scans;
  size_t onlyPose = 0;  // --view K, else 0
  bool solving = false;
  pxo::sim::SolveScore solved;
  double chosenFov = 0;
  std::string model;
  std::string dataFolder;
  fs::path preview;
  bool previewOk = false;
  std::string previewError;
};

void printSimulated(const SimulatedOutcome& outcome,
                    const SimulatedTotals& totals,
                    double trueFov) {
  std::printf("\nModel:      %s\nScan data:  %s\nPreview:    %s\n",
              outcome.model.c_str(),
              outcome.dataFolder.c_str(),
              outcome.previewOk ? pathToUtf8(outcome.preview).c_str()
                                : outcome.previewError.c_str());
  for (size_t i = 0; i < outcome.scans.size(); ++i)
    std::printf(
        "Accuracy:   %s%s\n",
        outcome.onlyPose > 0
            ? ("view " + std::to_string(outcome.onlyPose) + ": ").c_str()
        : outcome.solving ? ("view " + std::to_string(i + 1) + ": ").c_str()
                          : "",
        outcome.scans[i].score.summary().c_str());
  if (outcome.solving)
    std::printf("3D:         %s (FOV %g° chosen, %g° true)\n",
                outcome.solved.summary().c_str(),
                outcome.chosenFov,
                trueFov);
  std::printf("Time:       recording %.1f s, processing %.2f s\n",
              totals.recording,
              totals.processing);
}

bool writeSimulatedReport(const std::string& path,
                          const SimulatedOutcome& outcome,
                          const SimulatedTotals& totals,
                          double trueFov,
                          std::string* error) {
  using namespace pxo;
  const sim::DecodeScore& score = totals.score;
  JsonObjectText report;
  report.add("leds", jsonInt(score.leds))
      .add("visible", jsonInt(score.visible))
      .add("correct", jsonInt(score.correct))
      .add("wrong", jsonInt(score.wrong))
      .add("missed", jsonInt(score.missed))
      .add("estimated", jsonInt(score.estimated))
      .add("overlapping", jsonInt(totals.overlapping))
      .add("medianErrorPx", jsonDouble(score.medianErrorPx))
      .add("p95ErrorPx", jsonDouble(score.p95ErrorPx))
      .add("referenceShiftX", jsonDouble(score.referenceShiftX))
      .add("referenceShiftY", jsonDouble(score.referenceShiftY))
      .add("recordingSeconds", jsonDouble(totals.recording))
      .add("processingSeconds", jsonDouble(totals.processing))
      .add("modelFile", jsonString(outcome.model))
      .add("scanDataFolder", jsonString(outcome.dataFolder));
  if (outcome.solving) {
    report.add("views", jsonInt(static_cast<int32_t>(outcome.scans.size())));
    addSolveReport(&report, outcome.solved, trueFov, outcome.chosenFov);
  }
  return writeTextFile(path, report.text(), error);
}

// Scans the poses asked for with a prepared session and, from several
// views, solves them in 3D and writes the point model and its CSV; then
// the preview and the WLED map. False with the reason; the session stays
// prepared either way.
bool scanSimulatedPoses(const Arguments& args,
                        pxo::sim::SimulatedRig& rig,
                        ScanSession& session,
                        pxo::sim::VirtualCamera& camera,
                        const fs::path& out,
                        SimulatedOutcome* outcome,
                        std::string* error) {
  const std::string name = args.get("name", "Simulated prop");
  std::vector<pxo::sim::PoseScan>& scans = outcome->scans;
  if (outcome->onlyPose > 0) {
    scans.emplace_back();
    if (!pxo::sim::scanPose(rig,
                            session,
                            camera,
                            outcome->onlyPose - 1,
                            name,
                            &scans[0],
                            error))
      return false;
  } else if (!pxo::sim::scanEveryPose(
                 rig, session, camera, name, &scans, error)) {
    return false;
  }
  std::string model = scans.back().modelPath;
  if (outcome->solving) {
    if (!pxo::solve3D(session, std::atof(args.get("fov", "0").c_str()), error))
      return false;
    std::printf("  3D: %s\n", session.solveStatus.c_str());
    printIndented(session.solveDetails, "      ");
    reportWhatTheLastViewTook(session.views, session.solveFovDeg, "      ");
    outcome->solved = pxo::sim::scoreSessionSolve(rig, session);
    model = pxo::writeModelFile(pxo::modelOutputInputs(session),
                                pxo::ModelOutputKind::kMultiPoint3D,
                                error);
    if (model.empty() ||
        !writePointsCsv(out / pathFromUtf8(name + ".csv"),
                        session.points3d,
                        std::atof(args.get("size", "1").c_str()),
                        error))
      return false;
  }
  if (!copyInto(model, out, &outcome->model)) outcome->model = model;
  outcome->preview = out / "preview.png";
  outcome->previewOk =
      writePreview(session, outcome->preview, &outcome->previewError);
  outcome->dataFolder = session.scanDataFolder;
  outcome->chosenFov = session.solveFovDeg;
  return writeWledLedMap(session, args, out, error);
}

int scanSimulated(const Arguments& args) {
  pxo::sim::SceneConfig scene = pxo::sim::defaultScene();
  std::string error;
  if (args.has("scene") &&
      !pxo::sim::loadSceneFile(args.get("scene"), &scene, &error))
    return fail(error);
  SimulatedOutcome outcome;
  // --view K: the scene's pose K alone, kept as a view of its own.
  outcome.onlyPose =
      args.has("view")
          ? static_cast<size_t>(std::atoi(args.get("view").c_str()))
          : 0;
  if (args.has("view") &&
      (outcome.onlyPose < 1 || outcome.onlyPose > scene.poses.size()))
    return badUsage("--view is a pose of the scene, 1 to " +
                    std::to_string(scene.poses.size()));
  const fs::path out = pathFromUtf8(args.get("out", "pixoria-out"));
  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec) return fail("could not create " + pathToUtf8(out));

  pxo::sim::SimulatedRig rig(scene);
  const bool e131 = args.has("e131");
  if (e131) {
    const pxo::PlainReceiver wanted =
        receiverFromArguments(args, pxo::PlainReceiver{});
    pxo::E131Layout layout;
    layout.firstUniverse = static_cast<uint16_t>(
        std::clamp<int32_t>(wanted.universe, 1, pxo::kE131MaxUniverse));
    layout.universeSize = wanted.universeSize;
    layout.startChannel = wanted.startChannel;
    rig.useE131Receiver(layout);
  }
  const bool wled = args.has("wled");
  if (wled) rig.useWledController(pxo::sim::WledSimConfig{});
  if (!rig.start(&error)) return fail(error);
  const size_t poses = scene.poses.size();
  std::printf("Simulated %s at %s, %zu LEDs, camera %d x %d, %zu %s\n",
              e131   ? "E1.31 receiver"
              : wled ? "WLED controller"
                     : "controller",
              rig.controllerAddress().c_str(),
              rig.ledCount(),
              scene.camera.imaging.width,
              scene.camera.imaging.height,
              poses,
              poses == 1 ? "view" : "views");
  SimulatedCamera camera;
  if (!filmSimulated(
          args,
          scene,
          rig.makeCamera(outcome.onlyPose > 0 ? outcome.onlyPose - 1 : 0),
          &camera,
          &error))
    return fail(error);
  auto session =
      pxo::createScanSession(std::move(camera.forSession), "", pathToUtf8(out));
  session->progress = showProgress;
  if (!connectSimulated(args, scene, rig, *session, &error)) return fail(error);
  if (!pxo::prepareScan(*session, &error)) {
    pxo::teardownScan(*session);
    return fail(error);
  }
  outcome.solving = outcome.onlyPose == 0 && poses > 1;
  if (!scanSimulatedPoses(
          args, rig, *session, *camera.virtualCamera, out, &outcome, &error)) {
    pxo::teardownScan(*session);
    return fail(error);
  }
  if (!pxo::teardownScan(*session, &error)) return fail(error);

  const SimulatedTotals totals = addUp(outcome.scans);
  printSimulated(outcome, totals, scene.camera.fovDeg);
  if (args.has("report") &&
      !writeSimulatedReport(
          args.get("report"), outcome, totals, scene.camera.fovDeg, &error))
    return fail(error);
  return 0;
}

// The session being scanned, for the interrupt handler: put the controller
// back before the process ends.
// Guarded by gActiveMutex: the handler holds it while it restores, so the
// session is not torn down and destroyed under it.
ScanSession* gActive = nullptr;
std::mutex gActiveMutex;

void setActive(ScanSession* session) {
  std::lock_guard lock(gActiveMutex);
  gActive = session;
}

// Between two views: what the last one saw, then the user moves the camera
// (Enter, or --view-wait seconds), and it starts again.
bool nextView(ScanSession& session,
              const Arguments& args,
              int view,
              int views,
              std::string* error) {
  if (args.has("view-wait")) {
    const double seconds = std::atof(args.get("view-wait").c_str());
    std::printf(
        "Move the camera to the next place: view %d of %d starts in %g s\n",
        view,
        views,
        seconds);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  } else {
    std::printf("Move the camera to the next place and press Enter\n");
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line)) {
      *error =
          "no Enter to go on with (standard input ended); --view-wait "
          "SECONDS waits instead";
      return false;
    }
  }
  return pxo::startCamera(session, error);
}

// The camera the command names; null with the reason when an ONVIF camera
// cannot be found.
std::unique_ptr<pxowin::ICaptureSource> openCamera(const Arguments& args,
                                                   std::string* error) {
  if (args.has("onvif")) {
    std::string url;
    const std::string device = args.get("onvif");
    if (!findOnvifStream(device == "1" ? "" : device,
                         "",
                         args.get("camera-user"),
                         args.get("camera-password"),
                         &url,
                         error))
      return nullptr;
    return std::make_unique<pxowin::RTSPCapture>(
        url, args.get("camera-user"), args.get("camera-password"));
  }
  if (args.has("rtsp"))
    return std::make_unique<pxowin::RTSPCapture>(
        args.get("rtsp"), args.get("camera-user"), args.get("camera-password"));
  if (args.get("camera") == "sim:black")
    return std::make_unique<pxo::sim::BlankCamera>();
  return pxowin::createLocalCamera();
}

// The interrupt handler puts back only what this run changed, after any
// change in flight (interruptController waits for it); interrupted while
// connecting, nothing was written and it just ends.
void putBackOnInterrupt() {
  std::printf("\nInterrupted\n");
  std::fflush(stdout);
  std::lock_guard lock(gActiveMutex);
  if (!gActive) return;
  std::string failure;
  switch (pxo::interruptController(&gActive->controller, &failure)) {
    case pxo::InterruptRestore::kRestored:
      std::printf("Controller restored\n");
      break;
    case pxo::InterruptRestore::kNothingChanged:
      std::printf("The controller was not changed\n");
      break;
    case pxo::InterruptRestore::kFailed:
      std::fprintf(stderr, "pixoria: %s\n", failure.c_str());
      break;
  }
}

// Connects to the controller or receiver the command names.
bool connectNamed(const Arguments& args,
                  ScanSession& session,
                  std::string* error) {
  if (args.has("wled"))
    return pxo::connectWledController(session, args.get("wled"), error);
  if (args.has("ddp") || args.has("e131")) {
    const bool ddp = args.has("ddp");
    pxo::PlainReceiver base;
    base.host = args.get(ddp ? "ddp" : "e131");
    return pxo::connectReceiver(
        session,
        ddp ? pxo::ControllerKind::kDdp : pxo::ControllerKind::kE131,
        receiverFromArguments(args, base),
        error);
  }
  return pxo::connectController(session,
                                args.get("controller"),
                                args.get("user"),
                                args.get("password"),
                                error);
}

// Selects the --ports asked for (default: every port with pixels) where
// the controller has ports to choose, and lists them.
void choosePorts(const Arguments& args, ScanSession& session) {
  std::vector<int32_t> wanted;
  std::stringstream list(args.get("ports"));
  for (std::string item; std::getline(list, item, ',');)
    wanted.push_back(std::atoi(item.c_str()));
  std::printf("Controller ports:\n");
  const bool choosesPorts =
      session.controller.kind == pxo::ControllerKind::kFpp ||
      session.controller.kind == pxo::ControllerKind::kWled;
  for (pxo::ControllerPort& port : session.controller.ports) {
    if (choosesPorts)
      port.selected =
          wanted.empty()
              ? port.pixelCount > 0
              : std::find(wanted.begin(), wanted.end(), port.portNumber) !=
                    wanted.end();
    std::printf("  port %d: %d pixels, %s%s\n",
                port.portNumber,
                port.pixelCount,
                port.colorOrder.c_str(),
                port.selected ? " (scanned)" : "");
  }
}

// Solves the session's views in 3D and writes the point model and its
// CSV: the model's path, empty with the reason on failure.
std::string solveSessionViews(const Arguments& args,
                              ScanSession& session,
                              const fs::path& out,
                              const std::string& name,
                              std::string* error) {
  if (!pxo::solve3D(session, std::atof(args.get("fov", "0").c_str()), error))
    return {};
  std::printf("3D: %s\n", session.solveStatus.c_str());
  printIndented(session.solveDetails, "    ");
  reportWhatTheLastViewTook(session.views, session.solveFovDeg, "    ");
  std::string model = pxo::writeModelFile(pxo::modelOutputInputs(session),
                                          pxo::ModelOutputKind::kMultiPoint3D,
                                          error);
  if (model.empty() || !writePointsCsv(out / pathFromUtf8(name + ".csv"),
                                       session.points3d,
                                       std::atof(args.get("size", "1").c_str()),
                                       error))
    return {};
  return model;
}

// Scans every view with the prepared session (one session for all: the
// controller stays prepared while the camera is carried from place to
// place, and is put back once) and solves several in 3D: the model's
// path, empty on failure.
std::string scanViews(const Arguments& args,
                      ScanSession& session,
                      const fs::path& out,
                      std::string* error) {
  const std::string name = args.get("name", "Scanned prop");
  const int views = std::max(1, std::atoi(args.get("views", "1").c_str()));
  std::string model;
  std::vector<std::string> folders;
  for (int view = 1; view <= views; ++view) {
    if (view > 1 && !nextView(session, args, view, views, error)) return {};
    if (views > 1) std::printf("View %d of %d\n", view, views);
    pxo::runScan(session, &model, name, error);
    if (model.empty()) return {};
    folders.push_back(session.scanDataFolder);
    if (views > 1)
      std::printf("view %d of %d: %d of %d LEDs seen\n",
                  view,
                  views,
                  session.observedCount,
                  session.resultLedCount);
  }
  if (views > 1) {
    model = solveSessionViews(args, session, out, name, error);
    for (const std::string& folder : folders)
      std::printf("Scan data: %s\n", folder.c_str());
  }
  return model;
}

int scanController(const Arguments& args) {
  std::string error;
  const fs::path out = pathFromUtf8(args.get("out", "pixoria-out"));
  std::error_code ec;
  fs::create_directories(out, ec);
  std::unique_ptr<pxowin::ICaptureSource> camera = openCamera(args, &error);
  if (!camera) return fail(error);
  auto session = pxo::createScanSession(
      std::move(camera), args.get("camera"), pathToUtf8(out));
  session->progress = showProgress;
  // Declared after the session, so destroyed before it.
  struct Inactive {
    ~Inactive() { setActive(nullptr); }
  } inactive;
  setActive(session.get());
  pxo::platform::onInterrupt(putBackOnInterrupt);
  if (args.has("restore-wait"))
    session->controller.restoreSeconds =
        std::atof(args.get("restore-wait").c_str());
  if (!connectNamed(args, *session, &error)) return fail(error);
  choosePorts(args, *session);
  std::string model;
  std::string modelCopy;
  if (pxo::prepareScan(*session, &error)) {
    model = scanViews(args, *session, out, &error);
  }
  if (!model.empty()) {
    if (!copyInto(model, out, &modelCopy)) modelCopy = model;
    std::string previewError;
    (void)writePreview(*session, out / "preview.png", &previewError);
    if (!writeWledLedMap(*session, args, out, &error)) model.clear();
  }
  std::string restoreError;
  const bool restored = pxo::teardownScan(*session, &restoreError);
  setActive(nullptr);
  if (model.empty()) {
    (void)fail(error);
    if (!restored) (void)fail(restoreError);
    return 1;
  }
  std::printf("\nModel: %s\n", modelCopy.c_str());
  // A model is no success while the user's configuration is not back.
  if (!restored) return fail(restoreError);
  return 0;
}

int restoreCamera(const std::string& deviceId) {
  bool found = false;
  std::string error;
  if (!pxowin::restoreCameraControls(deviceId, &found, &error))
    return fail(error);
  if (!found)
    std::printf("nothing to put back for camera %s\n", deviceId.c_str());
  else
    std::printf("The controls of camera %s are back as they were\n",
                deviceId.c_str());
  return 0;
}

// Puts a controller's configuration (or a camera's controls) back from its
// restore record, or lists the records kept.
int restoreCommand(const Arguments& args) {
  if (args.has("list")) {
    const std::vector<pxo::ListedRecord> records = pxo::listRestoreRecords();
    if (records.empty()) std::printf("no restore records kept\n");
    for (const pxo::ListedRecord& listed : records) {
      const std::string path = pathToUtf8(listed.path);
      if (listed.state != pxo::RecordState::kOk) {
        std::printf("damaged\t%s\t%s\n", listed.problem.c_str(), path.c_str());
        continue;
      }
      const pxo::RestoreRecord& r = listed.record;
      std::string what;
      for (const pxo::RestoreFile& file : r.files)
        what += (what.empty() ? "" : ", ") + file.name;
      for (const pxo::CameraControlValue& control : r.controls)
        what += (what.empty() ? "" : ", ") + control.name;
      std::printf(
          "%s %s\t%s\t%s\t%s\n",
          r.device.c_str(),
          r.device == pxo::kControllerDevice ? r.host.c_str() : r.key.c_str(),
          r.created.c_str(),
          what.c_str(),
          path.c_str());
    }
    return 0;
  }
  if (args.has("camera")) return restoreCamera(args.get("camera"));
  if (!args.has("controller")) return usage();
  const std::string host = args.get("controller");
  std::string error;
  if (args.has("discard")) {
    if (!pxo::removeRestoreRecord(
            pxo::kControllerDevice, pxo::controllerRecordKey(host), &error))
      return fail(error);
    std::printf("Removed the restore record of %s; nothing was put back\n",
                host.c_str());
    return 0;
  }
  const double seconds = args.has("restore-wait")
                             ? std::atof(args.get("restore-wait").c_str())
                             : pxo::kDefaultRestoreSeconds;
  bool found = false;
  std::vector<std::string> report;
  const bool ok = pxo::restoreRecordedController(host,
                                                 args.get("user"),
                                                 args.get("password"),
                                                 seconds,
                                                 showProgress,
                                                 &found,
                                                 &report,
                                                 &error);
  for (const std::string& line : report) std::printf("  %s\n", line.c_str());
  if (!ok) return fail(error);
  if (!found) {
    std::printf("nothing to put back for %s\n", host.c_str());
    return 0;
  }
  std::printf("The configuration of %s is back as it was before the scan\n",
              host.c_str());
  return 0;
}

// Decodes a saved scan-data folder again, as the live scan decoded it.
int decodeFolder(const Arguments& args) {
  if (args.positional.empty()) return usage();
  const fs::path folder = pathFromUtf8(args.positional[0]);
  std::string error;
  pxo::ScanDecodeResult decoded;
  if (!pxo::decodeScanDataFolder(folder, showProgress, &decoded, &error))
    return fail(error);
  const std::string outFolder = args.get("out", pathToUtf8(folder));
  std::error_code ec;
  fs::create_directories(pathFromUtf8(outFolder), ec);
  if (ec) return fail("could not create " + outFolder);
  pxo::ModelOutputInputs inputs;
  inputs.modelName = args.get("name", "Decoded prop");
  inputs.gridWidth = decoded.grid->cols;
  inputs.gridHeight = decoded.grid->rows;
  inputs.gridDepth = 1;
  inputs.cells = decoded.grid->cells;
  std::string path = pxo::writeModelFile(
      inputs, pxo::ModelOutputKind::kCustomGrid, &error, outFolder);
  if (path.empty()) return fail(error);
  const int32_t observed = decoded.observedCount();
  std::printf("Decoded %d of %d LEDs (%zu estimated)\nModel: %s\n",
              observed,
              decoded.ledCount,
              decoded.leds.size() - static_cast<size_t>(observed),
              path.c_str());
  if (decoded.stats.overlapping > 0)
    std::printf("%s\n",
                pxo::overlappingLedsNotice(decoded.stats.overlapping).c_str());
  return 0;
}

// Why the saved views are not of one prop (the same LEDs on the same ports
// in every folder); "" when they are.
std::string notOneProp(const std::vector<pxo::SavedView>& saved,
                       const std::vector<std::string>& folders) {
  for (size_t i = 1; i < saved.size(); ++i) {
    const pxo::SavedView& a = saved[0];
    const pxo::SavedView& b = saved[i];
    bool samePorts = a.ports.size() == b.ports.size();
    for (size_t k = 0; samePorts && k < a.ports.size(); ++k)
      samePorts = a.ports[k].port == b.ports[k].port &&
                  a.ports[k].first == b.ports[k].first &&
                  a.ports[k].count == b.ports[k].count;
    if (a.totalLEDs != b.totalLEDs || a.skippedIds != b.skippedIds ||
        !samePorts)
      return "these folders are not views of one prop: " + folders[0] +
             " has " + std::to_string(a.totalLEDs) + " LEDs, " + folders[i] +
             " has " + std::to_string(b.totalLEDs) + " LEDs" +
             (a.totalLEDs == b.totalLEDs ? " on other ports" : "");
  }
  return {};
}

// Scores the solve against the rig's scene (--scene) and writes the
// report (--report).
bool reportSolve(const Arguments& args,
                 const pxo::Solve3DResult& result,
                 const std::vector<pxo::ScanView>& views,
                 double chosenFov,
                 const std::string& model,
                 std::string* error) {
  pxo::sim::SceneConfig scene;
  if (!pxo::sim::loadSceneFile(args.get("scene"), &scene, error)) return false;
  pxo::sim::SolveScore solved = pxo::sim::scoreSolve(scene.leds, result, views);
  solved.removed = result.outliersRemoved;
  std::printf("3D:         %s (FOV %g° chosen, %g° true)\n",
              solved.summary().c_str(),
              chosenFov,
              scene.camera.fovDeg);
  pxo::JsonObjectText report;
  report.add("views", pxo::jsonInt(static_cast<int32_t>(views.size())))
      .add("modelFile", pxo::jsonString(model));
  addSolveReport(&report, solved, scene.camera.fovDeg, chosenFov);
  return pxo::writeTextFile(args.get("report"), report.text(), error);
}

int solveFolders(const Arguments& args) {
  if (args.positional.size() < 2)
    return badUsage("solve needs two or more scan-data folders, one a view");
  const double size = std::atof(args.get("size", "1").c_str());
  if (!(size > 0)) return badUsage("--size is the prop's largest extent, > 0");
  std::vector<pxo::SavedView> saved(args.positional.size());
  std::string error;
  for (size_t i = 0; i < saved.size(); ++i)
    if (!pxo::readSavedView(
            pathFromUtf8(args.positional[i]), &saved[i], &error))
      return fail(args.positional[i] + ": " + error);
  if (const std::string why = notOneProp(saved, args.positional); !why.empty())
    return fail(why);
  std::vector<pxo::ScanView> views;
  views.reserve(saved.size());
  for (pxo::SavedView& v : saved) views.push_back(std::move(v.view));
  const double fov = std::atof(args.get("fov", "0").c_str());
  pxo::FovChoice chosen;
  pxo::Solve3DResultPtr result = pxo::solveViews(views, fov, &chosen);
  if (!result) return fail(pxo::kSolveFailed);
  if (const std::string text = pxo::fovChoiceText(chosen); !text.empty())
    std::printf("%s\n", text.c_str());
  std::printf("3D: %s\n",
              pxo::solveSummary(
                  *result, static_cast<int32_t>(views.size()), chosen.fovDeg)
                  .c_str());
  printIndented(pxo::solveDetails(*result), "    ");
  reportWhatTheLastViewTook(views, chosen.fovDeg, "    ");

  const fs::path out = pathFromUtf8(args.get("out", "pixoria-out"));
  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec) return fail("could not create " + pathToUtf8(out));
  pxo::ModelOutputInputs inputs;
  inputs.modelName = args.get("name", "Solved prop");
  for (const pxo::Point3D& p : result->points)
    inputs.points3d.push_back({p.id, p.x, p.y, p.z, p.interpolated});
  const std::string model = pxo::writeModelFile(
      inputs, pxo::ModelOutputKind::kMultiPoint3D, &error, pathToUtf8(out));
  if (model.empty()) return fail(error);
  const fs::path csv = out / pathFromUtf8(inputs.modelName + ".csv");
  if (!writePointsCsv(csv, inputs.points3d, size, &error)) return fail(error);
  std::printf("Model:      %s\nPoints:     %s\n",
              model.c_str(),
              pathToUtf8(csv).c_str());

  if (args.has("scene") && args.has("report") &&
      !reportSolve(args, *result, views, chosen.fovDeg, model, &error))
    return fail(error);
  return 0;
}

int discoverCameras(const Arguments& args) {
  std::vector<pxo::DiscoveredNetworkCamera> found;
  if (pxo::discoverOnvifCameras(
          64, std::atoi(args.get("timeout", "3000").c_str()), &found) < 0)
    return fail("could not open a socket for camera discovery");
  printDiscovered(found);
  return 0;
}

int listProfiles(const Arguments& args) {
  if (args.positional.empty()) return usage();
  std::vector<pxo::OnvifProfile> profiles;
  std::string error;
  if (pxo::listCameraProfiles(args.positional[0],
                              args.get("user"),
                              args.get("password"),
                              &profiles,
                              &error) <= 0)
    return fail(error);
  printProfiles(profiles);
  return 0;
}

// The scan window; with --simulate the virtual rig stands behind it: the
// host field holds the simulated controller, the camera films its prop.
// Waits for the window to go and prints what it gave.
int openWindow(const Arguments& args) {
  std::unique_ptr<pxo::sim::SimulatedRig> rig;
  std::unique_ptr<pxowin::ICaptureSource> camera;
  std::string host = args.get("controller");
  std::string error;
  if (args.has("simulate")) {
    pxo::sim::SceneConfig scene = pxo::sim::defaultScene();
    if (args.has("scene") &&
        !pxo::sim::loadSceneFile(args.get("scene"), &scene, &error))
      return fail(error);
    rig = std::make_unique<pxo::sim::SimulatedRig>(scene);
    if (!rig->start(&error)) return fail(error);
    host = rig->controllerAddress();
    camera = rig->makeCamera(0);
    std::printf("Simulated controller at %s, %zu LEDs\n",
                host.c_str(),
                rig->ledCount());
  } else if (args.has("rtsp")) {
    camera = std::make_unique<pxowin::RTSPCapture>(
        args.get("rtsp"), args.get("camera-user"), args.get("camera-password"));
  } else {
    camera = pxowin::createLocalCamera();
  }
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::string> result;
  pxo::ui::ScanWindowLaunch launch;
  launch.session = pxo::createScanSession(
      std::move(camera), args.get("camera"), args.get("out", ""));
  launch.result = [&](const std::string& path) {
    std::lock_guard lock(mutex);
    result = path;
    done.notify_one();
  };
  // The simulated controller is put in the host field for the user to
  // connect to; a --controller is connected to at once.
  if (args.has("simulate"))
    launch.hostField = host;
  else
    launch.controllerHost = host;
  if (args.has("wled")) {
    launch.controllerKind = pxo::ControllerKind::kWled;
    launch.controllerHost = args.get("wled");
  }
  launch.modelName = args.get("name");
  if (!pxo::ui::openScanWindow(std::move(launch)))
    return fail("could not open a window (no display?)");
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return result.has_value(); });
  if (result->empty()) {
    std::printf("Cancelled\n");
    return 1;
  }
  std::printf("Model: %s\n", result->c_str());
  return 0;
}

// The virtual rig on its own, for a host program to drive: the simulated
// controller and the prop's camera served over RTSP on loopback. Prints
// both addresses and runs until it is stopped.
int serveRig(const Arguments& args) {
  pxo::sim::SceneConfig scene = pxo::sim::defaultScene();
  std::string error;
  if (args.has("scene") &&
      !pxo::sim::loadSceneFile(args.get("scene"), &scene, &error))
    return fail(error);
  pxo::sim::SimulatedRig rig(scene);
  if (!rig.start(&error)) return fail(error);
  if (args.has("log-requests")) rig.controller().setLogToStdout(true);
  auto filmed = rig.makeCamera(0);
  pxo::sim::NetworkCameraConfig config;
  // A scene of several poses: after each recording the camera is carried
  // to the next place, as the user of `scan --views` would carry it.
  std::atomic<size_t> nextPose = 1;
  config.clientGone = [&] {
    const size_t pose = nextPose++;
    if (pose < scene.poses.size()) filmed->moveTo(scene.poses[pose]);
  };
  config.latencyMs = std::atof(args.get("camera-latency", "100").c_str());
  config.bFrames = std::atoi(args.get("camera-b-frames", "0").c_str());
  config.firstGroupBFrames =
      std::atoi(args.get("camera-first-b-frames", "-1").c_str());
  pxo::sim::NetworkCamera camera(*filmed, config);
  if (!camera.start(&error)) return fail(error);
  std::printf("controller %s\ncamera %s\n",
              rig.controllerAddress().c_str(),
              camera.url().c_str());
  if (scene.poses.size() > 1)
    std::printf("poses %zu (the camera moves on after each recording)\n",
                scene.poses.size());
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

int listCameras() {
  std::vector<pxowin::CameraDevice> cameras;
  std::string error;
  if (!pxowin::enumerateCameras(&cameras, &error)) return fail(error);
  if (cameras.empty()) std::printf("no video capture devices\n");
  for (const pxowin::CameraDevice& c : cameras)
    std::printf("%s\t%s\n", c.id.c_str(), c.name.c_str());
  return 0;
}

int runCommand(const std::vector<std::string>& words) {
  for (const std::string& word : words)
    if (word == "--help" || word == "-h") return manual();
  if (words.size() >= 2 && words[1] == "help") return manual();
  Arguments args;
  std::string problem;
  // Nothing is connected or changed before every word has been understood.
  if (!parseArguments(words, &args, &problem)) {
    if (!problem.empty())
      std::fprintf(stderr, "pixoria: %s\n", problem.c_str());
    return usage();
  }
  if (args.command == "scan") {
    // One controller, and what a receiver needs, before anything connects.
    const int named = controllersNamed(args);
    const bool simulate = args.has("simulate");
    if (named > 1 || (simulate && (args.has("controller") || args.has("ddp"))))
      return badUsage(
          "name one controller: --controller, --wled, --ddp or --e131 (or "
          "--simulate [--wled | --e131])");
    for (const char* kind : {"wled", "e131"}) {
      const bool bare = args.has(kind) && args.get(kind) == "1";
      if (simulate && args.has(kind) && !bare)
        return badUsage(std::string("--simulate --") + kind +
                        " takes no address: the rig has its own");
      if (!simulate && bare)
        return badUsage(std::string("--") + kind +
                        (std::string(kind) == "wled"
                             ? " needs the controller's address"
                             : " needs the receiver's address, or multicast"));
    }
    if (simulate && args.has("views"))
      return badUsage(
          "--views is for a controller and a camera of your own; --simulate "
          "scans every pose of its scene (--view K one of them)");
    if (!simulate && args.has("view"))
      return badUsage("--view K picks a pose of a --simulate scene");
    if (args.has("view-wait") && !args.has("views"))
      return badUsage("--view-wait is the pause between --views");
    if (args.has("views") && std::atoi(args.get("views").c_str()) < 1)
      return badUsage("--views is how many places to scan from, 1 or more");
    if (args.has("upload-ledmap") && !args.has("wled"))
      return badUsage("--upload-ledmap is for a WLED controller (--wled)");
    if ((args.has("ddp") || args.has("e131")) && !args.has("simulate") &&
        !args.has("pixels"))
      return badUsage("--pixels is needed for a DDP or E1.31 receiver");
    if ((args.has("ddp") || args.has("e131")) && !args.has("simulate")) {
      const bool ddp = args.has("ddp");
      pxo::PlainReceiver receiver;
      receiver.host = args.get(ddp ? "ddp" : "e131");
      std::string wrong;
      if (!pxo::checkPlainReceiver(
              ddp ? pxo::ControllerKind::kDdp : pxo::ControllerKind::kE131,
              receiverFromArguments(args, receiver),
              &wrong))
        return badUsage(wrong);
    }
  }
  if (args.command == "scan" && args.has("simulate"))
    return scanSimulated(args);
  if (args.command == "scan" && controllersNamed(args) == 1)
    return scanController(args);
  if (args.command == "restore") return restoreCommand(args);
  if (args.command == "gui") return openWindow(args);
  if (args.command == "serve" && args.has("simulate")) return serveRig(args);
  if (args.command == "decode") return decodeFolder(args);
  if (args.command == "solve") return solveFolders(args);
  if (args.command == "cameras") return listCameras();
  if (args.command == "discover") return discoverCameras(args);
  if (args.command == "profiles") return listProfiles(args);
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // UTF-8 on every platform (Windows hands main its ANSI code page).
    return runCommand(pxo::platform::commandLineArguments(argc, argv));
  } catch (const std::exception& e) {
    // Only the runtime's own failures (memory, threads) get here.
    std::fprintf(stderr, "pixoria: %s\n", e.what());
    return 1;
  }
}
