#pragma once

#include "scan/pixel_sink.h"
#include "scan/scan_plan.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

// The pattern player a prepared scan session owns: the current DDP frame,
// the keep-alive thread that repeats it every 25 ms so the controller holds
// the pattern as long as needed, the aiming preview, and the sweep thread
// that animates the snapped grid on the LEDs after a scan.
//
// Threads: setCurrentFrame, currentFrame and showPreviewLevel may be called
// from any thread (the scan worker, the window). startKeepAlive,
// stopKeepAlive, startSweep and stopSweep are called by the session's owner,
// one call at a time, never from the player's own threads. The frame mutex
// is held only to copy the frame, never while sending.
//
//   PatternPlayer player;
//   player.showPreviewLevel(plan, 192);
//   player.startKeepAlive(sink);   // the sink outlives stopKeepAlive()
//   ...
//   player.stopKeepAlive();

namespace pxo {

inline constexpr int kKeepAliveIntervalMs = 25;
inline constexpr uint8_t kSweepLevel = 80;
inline constexpr int kSweepDurationMs = 7000;
inline constexpr int kMinSweepFramePeriodMs = 15;

// What the sweep needs from a scan's result: the snapped grid (cells hold
// LED IDs, row major, 0 for empty) and where each LED's bytes sit.
struct SweepInput {
  int32_t cols = 0;
  int32_t rows = 0;
  std::vector<int32_t> cells;
  std::vector<int32_t> channelOffsets;  // per LED, its first channel byte
  int32_t channelCount = 0;             // bytes in one DDP frame
};

// Milliseconds each sweep frame stays up: max(trunc(7000 / F), 15).
int sweepFramePeriodMs(int32_t frameCount);

// Clamps a drive level to 1 ... 255.
int clampLevel(int level);

class PatternPlayer {
 public:
  PatternPlayer() = default;
  ~PatternPlayer();
  PatternPlayer(const PatternPlayer&) = delete;
  PatternPlayer& operator=(const PatternPlayer&) = delete;

  // Copies `frame` into the current frame.
  void setCurrentFrame(std::span<const uint8_t> frame);
  std::vector<uint8_t> currentFrame() const;

  // The aiming preview: clamps `level` to 1 ... 255 and, when a plan is
  // given, sets it as the plan's level and shows the red flood (every LED's
  // first colour byte at that level). Returns the clamped level, which the
  // session keeps.
  int showPreviewLevel(ScanPlan* plan, int level);

  // Starts the keep-alive thread repeating the current frame (when not
  // empty) through `sink`, which may be null and must outlive
  // stopKeepAlive(). Does nothing when already running.
  void startKeepAlive(PixelSink* sink);
  // Stops and joins the keep-alive thread; true when it was running.
  bool stopKeepAlive();
  bool keepAliveRunning() const { return keepAliveRunning_.load(); }

  // Stops any sweep, then plays `input` over and over (about 7 s a round)
  // until stopSweep(). False, and nothing started, without channel offsets.
  bool startSweep(SweepInput input);
  // Stops and joins the sweep thread. The current frame keeps the last sweep
  // frame shown.
  void stopSweep();
  bool sweepRunning() const { return sweepRunning_.load(); }

 private:
  void keepAliveLoop(PixelSink* sink);
  void sweepLoop(SweepInput input);
  // Waits `milliseconds` or until `flag` is cleared; false when cleared.
  bool waitWhile(const std::atomic<bool>& flag, int milliseconds);

  mutable std::mutex frameMutex_;
  std::vector<uint8_t> currentFrame_;

  std::atomic<bool> keepAliveRunning_{false};
  std::thread keepAliveThread_;
  std::atomic<bool> sweepRunning_{false};
  std::thread sweepThread_;

  // Lets stop calls cut a thread's wait short.
  std::mutex wakeMutex_;
  std::condition_variable wake_;
};

}  // namespace pxo
