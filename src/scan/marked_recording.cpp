#include "scan/marked_recording.h"

#include "scan/session.h"
#include "scan/sleep.h"

#include <algorithm>
#include <chrono>

namespace pxo {

bool recordMarkedSteps(ScanSession& session,
                       const std::filesystem::path& path,
                       std::span<const MarkedStep> steps,
                       const RecordingTail& tail,
                       std::vector<pxowin::CaptureMark>* marks,
                       std::string* error) {
  marks->clear();
  pxowin::ICaptureSource& camera = *session.camera;
  if (!camera.startRecording(path, error)) return false;
  (void)camera.waitForRecordedFrame(5.0);
  // A camera that stops sending ends the recording at once: the steps
  // after it would show to no one.
  std::string cameraFailure = camera.failure();
  // Each step ends a dwell after the previous one ended, so the time spent
  // sending and reporting does not add up over the steps; a step that
  // started late still shows for most of its dwell.
  using Clock = std::chrono::steady_clock;
  auto due = Clock::now();
  for (const MarkedStep& step : steps) {
    if (session.stopRequested || !cameraFailure.empty()) break;
    if (!step.progress.empty()) session.report(step.progress);
    session.player.setCurrentFrame(step.channels);
    if (session.sink) (void)session.sink->send(step.channels);
    camera.addMark(step.label);
    const std::chrono::milliseconds dwell(std::max(step.dwellMs, 0));
    due = std::max(due + dwell, Clock::now() + dwell * 3 / 4);
    sleepUntil(due);
    cameraFailure = camera.failure();
  }
  const bool stopped = session.stopRequested || !cameraFailure.empty();
  if (tail.dwellMs > 0 && !stopped) {
    const auto until = Clock::now() + std::chrono::milliseconds(tail.dwellMs);
    constexpr auto kAsk = std::chrono::milliseconds(10);
    while (Clock::now() < until && !(tail.endsEarly && tail.endsEarly()))
      sleepUntil(std::min(until, Clock::now() + kAsk));
  }
  if (tail.blackout || stopped)
    (void)sendBlackout(session.sink.get(), session.channelCount);
  (void)camera.stopRecording();
  *marks = camera.takeMarks();
  // What went wrong while the recording was finalised counts too (a stream
  // that could not be written with the right times).
  if (cameraFailure.empty() && !session.stopRequested)
    cameraFailure = camera.failure();
  if (error && !cameraFailure.empty())
    *error = cameraFailure;
  else if (error && session.stopRequested)
    *error = kScanStopped;
  return !session.stopRequested && cameraFailure.empty();
}

}  // namespace pxo
