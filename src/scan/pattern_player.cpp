#include "scan/pattern_player.h"

#include <algorithm>
#include <chrono>

namespace pxo {

int sweepFramePeriodMs(int32_t frameCount) {
  if (frameCount < 1) return kSweepDurationMs;
  return std::max(kSweepDurationMs / frameCount, kMinSweepFramePeriodMs);
}

int clampLevel(int level) { return std::clamp(level, 1, 255); }

PatternPlayer::~PatternPlayer() {
  stopSweep();
  stopKeepAlive();
}

void PatternPlayer::setCurrentFrame(std::span<const uint8_t> frame) {
  std::lock_guard lock(frameMutex_);
  currentFrame_.assign(frame.begin(), frame.end());
}

std::vector<uint8_t> PatternPlayer::currentFrame() const {
  std::lock_guard lock(frameMutex_);
  return currentFrame_;
}

int PatternPlayer::showPreviewLevel(ScanPlan* plan, int level) {
  int clamped = clampLevel(level);
  if (plan) {
    setPlanLevel(plan, static_cast<uint8_t>(clamped));
    std::vector<uint8_t> frame(static_cast<size_t>(planChannelCount(plan)), 0);
    if (renderPatternFrame(plan, floodFrameIndex(plan, 0), frame) == 0)
      setCurrentFrame(frame);
  }
  return clamped;
}

bool PatternPlayer::waitWhile(const std::atomic<bool>& flag, int milliseconds) {
  std::unique_lock lock(wakeMutex_);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(std::max(milliseconds, 0));
  wake_.wait_until(lock, deadline, [&] { return !flag.load(); });
  return flag.load();
}

void PatternPlayer::startKeepAlive(PixelSink* sink) {
  if (keepAliveRunning_.exchange(true)) return;
  keepAliveThread_ = std::thread(&PatternPlayer::keepAliveLoop, this, sink);
}

bool PatternPlayer::stopKeepAlive() {
  bool wasRunning;
  {
    std::lock_guard lock(wakeMutex_);
    wasRunning = keepAliveRunning_.exchange(false);
  }
  wake_.notify_all();
  if (keepAliveThread_.joinable()) keepAliveThread_.join();
  return wasRunning;
}

void PatternPlayer::keepAliveLoop(PixelSink* sink) {
  std::vector<uint8_t> copy;
  while (keepAliveRunning_.load()) {
    {
      std::lock_guard lock(frameMutex_);
      copy.assign(currentFrame_.begin(), currentFrame_.end());
    }
    // A failed send is retried with the next repeat.
    if (!copy.empty() && sink) (void)sink->send(copy);
    if (!waitWhile(keepAliveRunning_, kKeepAliveIntervalMs)) break;
  }
}

bool PatternPlayer::startSweep(SweepInput input) {
  stopSweep();
  if (input.channelOffsets.empty()) return false;
  sweepRunning_.store(true);
  sweepThread_ = std::thread(&PatternPlayer::sweepLoop, this, std::move(input));
  return true;
}

void PatternPlayer::stopSweep() {
  {
    std::lock_guard lock(wakeMutex_);
    sweepRunning_.store(false);
  }
  wake_.notify_all();
  if (sweepThread_.joinable()) sweepThread_.join();
}

void PatternPlayer::sweepLoop(SweepInput input) {
  if (input.cols < 1 || input.rows < 1 || input.cells.empty() ||
      input.channelCount < 1)
    return;
  const int32_t frameCount = sweepFrameCount(input.cols, input.rows);
  const auto stride = static_cast<size_t>(input.channelCount);
  std::vector<uint8_t> frames(static_cast<size_t>(frameCount) * stride);
  int32_t rendered = renderSweepFrames(input.cols,
                                       input.rows,
                                       input.cells,
                                       input.channelOffsets,
                                       input.channelCount,
                                       kSweepLevel,
                                       frames);
  if (rendered < 1) return;
  const int period = sweepFramePeriodMs(rendered);
  while (sweepRunning_.load()) {
    for (int32_t f = 0; f < rendered; ++f) {
      if (!sweepRunning_.load()) return;
      setCurrentFrame(std::span(frames).subspan(f * stride, stride));
      if (!waitWhile(sweepRunning_, period)) return;
    }
  }
}

}  // namespace pxo
