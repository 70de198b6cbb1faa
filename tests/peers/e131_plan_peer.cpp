// The scan's E1.31 output against a real receiver (the test script runs
// OLA's daemon and its recorder around it).
//
//   e131_plan_peer play HOST UNIVERSE START PIXELS EXPECTED
//     plays every pattern frame of the scan plan of PIXELS RGB pixels from
//     channel START of UNIVERSE through the scan's E1.31 sink, each held a
//     while, then ends the stream; writes what each frame puts in each
//     universe to EXPECTED.
//   e131_plan_peer check EXPECTED SHOW
//     compares the recorder's show file with it: every frame arrived, in
//     order, slot for slot, and nothing else.

#include "scan/e131_wire.h"
#include "scan/pixel_sink.h"
#include "scan/scan_plan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Frame = std::map<uint16_t, std::vector<uint8_t>>;  // universe → slots

std::string slotsText(const std::vector<uint8_t>& slots) {
  std::string text;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i) text += ',';
    text += std::to_string(slots[i]);
  }
  return text;
}

int play(const std::string& host,
         int universe,
         int start,
         int pixels,
         const std::string& expectedPath) {
  pxo::ControllerLink link;
  link.kind = pxo::ControllerKind::kE131;
  link.host = host;
  link.receiver.host = host;
  link.receiver.universe = universe;
  link.receiver.startChannel = start;
  link.receiver.pixels = pixels;
  std::string error;
  auto sink = pxo::openPixelSink(link, &error);
  if (!sink) {
    std::fprintf(stderr, "e131_plan_peer: %s\n", error.c_str());
    return 1;
  }
  const std::vector<pxo::PortGroup> groups{{0, pixels, 3}};
  pxo::ScanPlanPtr plan(pxo::buildScanPlan(groups, pixels, 2, true));
  const int32_t channels = pxo::planChannelCount(plan.get());
  const int32_t frames = pxo::planFrameCount(plan.get());
  pxo::E131Layout layout;
  layout.firstUniverse = static_cast<uint16_t>(universe);
  layout.startChannel = start;
  std::ofstream expected(expectedPath);
  std::vector<uint8_t> frame(static_cast<size_t>(channels));
  for (int32_t f = 0; f < frames; ++f) {
    if (pxo::renderPatternFrame(plan.get(), f, frame) != 0) return 1;
    for (const pxo::UniverseSlots& u : pxo::e131Universes(layout, frame))
      expected << f << ' ' << u.universe << ' ' << slotsText(u.slots) << '\n';
    // Held as the scan holds a pattern, repeated as its keep-alive does.
    for (int repeat = 0; repeat < 4; ++repeat) {
      if (sink->send(frame) != 0) {
        std::fprintf(stderr, "e131_plan_peer: a frame was not sent\n");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  (void)sink->finish();
  std::printf("played %d frames of %d channels\n", frames, channels);
  return 0;
}

// The show file: a line of the recorder's own, then per change a line
// "UNIVERSE SLOT,SLOT,…" followed by a line with the delay before it.
bool readShow(const std::string& path,
              std::map<uint16_t, std::vector<std::vector<uint8_t>>>* seen) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    unsigned universe = 0;
    std::string slots;
    if (!(fields >> universe >> slots)) continue;  // a delay line
    std::vector<uint8_t> values;
    std::istringstream list(slots);
    for (std::string v; std::getline(list, v, ',');)
      values.push_back(static_cast<uint8_t>(std::atoi(v.c_str())));
    auto& history = (*seen)[static_cast<uint16_t>(universe)];
    if (history.empty() || history.back() != values)
      history.push_back(std::move(values));
  }
  return true;
}

int check(const std::string& expectedPath, const std::string& showPath) {
  std::map<uint16_t, std::vector<std::vector<uint8_t>>> want, seen;
  std::ifstream expected(expectedPath);
  std::string line;
  while (std::getline(expected, line)) {
    std::istringstream fields(line);
    int frame = 0;
    unsigned universe = 0;
    std::string slots;
    fields >> frame >> universe >> slots;
    std::vector<uint8_t> values;
    std::istringstream list(slots);
    for (std::string v; std::getline(list, v, ',');)
      values.push_back(static_cast<uint8_t>(std::atoi(v.c_str())));
    auto& history = want[static_cast<uint16_t>(universe)];
    if (history.empty() || history.back() != values)
      history.push_back(std::move(values));
  }
  if (!readShow(showPath, &seen)) {
    std::fprintf(stderr, "e131_plan_peer: no show file %s\n", showPath.c_str());
    return 1;
  }
  int bad = 0;
  for (const auto& [universe, history] : want) {
    auto got = seen[universe];
    // The receiver pads a universe to 512 slots; the rest must stay 0.
    for (auto& values : got) {
      const size_t sent = history.front().size();
      for (size_t i = sent; i < values.size(); ++i)
        if (values[i] != 0) {
          std::fprintf(stderr,
                       "universe %u: slot %zu lit outside the channels\n",
                       universe,
                       i + 1);
          ++bad;
          break;
        }
      values.resize(std::min(values.size(), sent), 0);
      values.resize(sent, 0);
    }
    // What the receiver showed before the first frame and after the end.
    while (!got.empty() &&
           std::all_of(got.front().begin(),
                       got.front().end(),
                       [](uint8_t v) { return v == 0; }) &&
           got.front() != history.front())
      got.erase(got.begin());
    while (got.size() > history.size() && !got.empty() &&
           std::all_of(got.back().begin(), got.back().end(), [](uint8_t v) {
             return v == 0;
           }))
      got.pop_back();
    if (got != history) {
      std::fprintf(stderr,
                   "universe %u: %zu distinct frames expected, %zu recorded "
                   "or in another order\n",
                   universe,
                   history.size(),
                   got.size());
      ++bad;
    }
  }
  for (const auto& [universe, history] : seen)
    if (!want.count(universe)) {
      std::fprintf(
          stderr, "universe %u was sent to but not planned\n", universe);
      ++bad;
    }
  std::printf("checked %zu universes: %s\n",
              want.size(),
              bad ? "differences" : "every frame as planned");
  return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 6 && args[0] == "play")
    return play(args[1],
                std::atoi(args[2].c_str()),
                std::atoi(args[3].c_str()),
                std::atoi(args[4].c_str()),
                args[5]);
  if (args.size() == 3 && args[0] == "check") return check(args[1], args[2]);
  std::fprintf(stderr,
               "usage: e131_plan_peer play HOST UNIVERSE START PIXELS FILE\n"
               "       e131_plan_peer check EXPECTED SHOW\n");
  return 2;
}
