// fpp-sim: the simulated FPP controller as a program of its own, for trying
// the pixoria tool against a controller without hardware.
//
//   fpp-sim [--config FILE] [--address 127.0.0.2] [--port 8080]
//           [--version 8.5.1] [--status playing] [--delay "POST PATH MS"]...
//           [--refuse "METHOD PATH FROM"]... [--log] [--dump DIR]
//
// A bare file name is one of sim/data/ (fpp-pi.json, fpp-bbb.json).
// --version replaces the controller's FPP version (8.x applies files only
// when fppd restarts); --status sets what /api/system/status reports;
// --delay answers requests of that method whose path begins with PATH
// after MS milliseconds; --refuse answers 503 (and changes nothing) from
// the FROM-th such request on, until SIGUSR1 (where there is one) ends every
// refusal (the controller is back); --log prints each request as it arrives;
// --dump writes the stored pixel-string and universe files into DIR as
// "start-<file>" and, when stopped, "end-<file>" ("(missing)" for none).

#include "sim/fpp_simulator.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gStop{false};
std::atomic<bool> gBack{false};

void onSignal(int) { gStop = true; }
#ifdef SIGUSR1
void onBack(int) { gBack = true; }
#endif

int usage() {
  std::fprintf(stderr,
               "usage: fpp-sim [--config FILE] [--address 127.x.y.z] "
               "[--port N] [--version V] [--status NAME]\n"
               "               [--delay \"METHOD PATH MS\"]... "
               "[--refuse \"METHOD PATH FROM\"]...\n"
               "               [--log] [--dump DIR]\n");
  return 2;
}

void dump(const pxo::sim::FppSimulator& fpp,
          const std::string& folder,
          const std::string& prefix) {
  auto write = [&](const std::string& name,
                   const std::optional<std::string>& text) {
    std::ofstream out(folder + "/" + prefix + name, std::ios::binary);
    out << (text ? *text : std::string("(missing)"));
  };
  write("pixel-strings.json", fpp.pixelStringsFile());
  write("ci-universes.json", fpp.universeFile());
}

// What the command line asks for.
struct Options {
  std::string configPath = "fpp-pi.json";
  std::string address = "127.0.0.2";
  long port = 8080;
  std::string version, status, dumpFolder;
  bool log = false;
  struct Delay {
    std::string method, path;
    long ms;
  };
  std::vector<Delay> delays;
  std::vector<Delay> refusals;  // ms holds FROM
};

// False for a command line it does not understand.
bool readOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--log") {
      o->log = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    if (arg == "--config") {
      o->configPath = argv[++i];
    } else if (arg == "--address") {
      o->address = argv[++i];
    } else if (arg == "--port") {
      o->port = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--version") {
      o->version = argv[++i];
    } else if (arg == "--status") {
      o->status = argv[++i];
    } else if (arg == "--dump") {
      o->dumpFolder = argv[++i];
    } else if (arg == "--delay" || arg == "--refuse") {
      std::istringstream words(argv[++i]);
      Options::Delay d;
      const long least = arg == "--delay" ? 0 : 1;
      if (!(words >> d.method >> d.path >> d.ms) || d.ms < least) return false;
      (arg == "--delay" ? o->delays : o->refusals).push_back(d);
    } else {
      return false;
    }
  }
  return o->port >= 0 && o->port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!readOptions(argc, argv, &options)) return usage();
  const std::string& configPath = options.configPath;
  const std::string& address = options.address;
  const long port = options.port;
  const std::string& version = options.version;
  const std::string& status = options.status;
  const std::string& dumpFolder = options.dumpFolder;
  const bool log = options.log;
  const auto& delays = options.delays;
  const auto& refusals = options.refusals;

  pxo::sim::FppSimConfig config;
  std::string error;
  if (!pxo::sim::loadFppSimConfigFile(configPath, &config, &error)) {
    std::fprintf(
        stderr, "fpp-sim: %s: %s\n", configPath.c_str(), error.c_str());
    return 1;
  }
  if (!version.empty()) pxo::setString(config.systemInfo, "Version", version);
  pxo::sim::FppSimulator fpp(std::move(config));
  if (!status.empty()) fpp.setStatusName(status);
  for (const Options::Delay& d : delays)
    fpp.setDelay(d.method, d.path, static_cast<int32_t>(d.ms));
  for (const Options::Delay& r : refusals)
    fpp.setRefusal(r.method, r.path, static_cast<int32_t>(r.ms));
  fpp.setLogToStdout(log);
  if (!dumpFolder.empty()) dump(fpp, dumpFolder, "start-");
  if (!fpp.start(&error, address, static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "fpp-sim: %s\n", error.c_str());
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
#ifdef SIGUSR1
  std::signal(SIGUSR1, onBack);
#endif
  std::printf("fpp-sim: HTTP on %s, DDP on %s:4048 (Ctrl-C stops)\n",
              fpp.httpAddress().c_str(),
              fpp.address().c_str());
  std::fflush(stdout);
  while (!gStop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (gBack.exchange(false)) {
      fpp.clearRefusals();
      std::printf("fpp-sim: refusals ended\n");
      std::fflush(stdout);
    }
  }
  fpp.stop();
  std::printf("fpp-sim: %lld DDP packets applied, %lld ignored\n",
              static_cast<long long>(fpp.ddpPacketsApplied()),
              static_cast<long long>(fpp.ddpPacketsIgnored()));
  if (!dumpFolder.empty()) dump(fpp, dumpFolder, "end-");
  return 0;
}
