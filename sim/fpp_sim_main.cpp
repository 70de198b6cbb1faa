// fpp-sim: the simulated FPP controller as a program of its own, for trying
// the pixoria tool against a controller without hardware.
//
//   fpp-sim [--config FILE] [--address 127.0.0.2] [--port 8080]
//
// A bare file name is one of sim/data/ (fpp-pi.json, fpp-bbb.json).

#include "sim/fpp_simulator.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<bool> gStop{false};

void onSignal(int) { gStop = true; }

int usage() {
  std::fprintf(stderr,
               "usage: fpp-sim [--config FILE] [--address 127.x.y.z] "
               "[--port N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath = "fpp-pi.json";
  std::string address = "127.0.0.2";
  long port = 8080;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    if (arg == "--config")
      configPath = argv[++i];
    else if (arg == "--address")
      address = argv[++i];
    else if (arg == "--port")
      port = std::strtol(argv[++i], nullptr, 10);
    else
      return usage();
  }
  if (port < 0 || port > 65535) return usage();

  pxo::sim::FppSimConfig config;
  std::string error;
  if (!pxo::sim::loadFppSimConfigFile(configPath, &config, &error)) {
    std::fprintf(
        stderr, "fpp-sim: %s: %s\n", configPath.c_str(), error.c_str());
    return 1;
  }
  pxo::sim::FppSimulator fpp(std::move(config));
  if (!fpp.start(&error, address, static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "fpp-sim: %s\n", error.c_str());
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::printf("fpp-sim: HTTP on %s, DDP on %s:4048 (Ctrl-C stops)\n",
              fpp.httpAddress().c_str(),
              fpp.address().c_str());
  std::fflush(stdout);
  while (!gStop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  fpp.stop();
  return 0;
}
