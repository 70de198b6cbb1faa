#pragma once

#include "capture/capture_source.h"
#include "scan/session.h"
#include "ui/review_drawing.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

// The scan window's behaviour without a toolkit: its five stages and the
// controls each shows, the commands, the worker threads and the messages
// they post back, the port rows, the live-preview throttle and the review
// drawing. A view (GTK, or a test) owns one ScanWizard, shows its state and
// turns the user's clicks into its commands.
//
// Threads:
//  - the window thread (the view's) calls every method except onFrame and
//    the poster; it alone reads and writes the wizard's state;
//  - worker threads run connectController, prepareScan, startCamera and
//    runScan on the session and only post messages;
//  - the camera's capture thread calls onFrame;
//  - the poster may be called from any thread and must deliver the message
//    to handle() on the window thread.

namespace pxo::ui {

enum class Stage : int32_t {
  kConnect = 0,
  kPorts = 1,
  kAim = 2,
  kScanning = 3,
  kReview = 4,
};

// Identifiers of the controls that send commands.
enum ControlId : int32_t {
  kNoId = 0,
  kHostEdit = 1001,
  kUserEdit = 1002,
  kPasswordEdit = 1003,
  kConnectButton = 1004,
  kContinueButton = 1005,
  kStartScanButton = 1006,
  kAddToLayoutButton = 1007,
  kCancelButton = 1008,
  kSaveScanDataButton = 1009,
  kBrightnessTrackbar = 1010,
  kCaptureAnotherAngleButton = 1011,
  kShow3DCheck = 1012,
  kFovEdit = 1013,
  kDiscardButton = 1014,
  kSaveToFileButton = 1015,
  kControllerKindList = 1016,
  kReceiverPixelsEdit = 1017,
  kStartChannelEdit = 1018,
  kUniverseEdit = 1019,
};

enum class ControlKind : int32_t {
  kLabel,
  kEdit,
  kPasswordEdit,
  kDigitsEdit,
  kButton,
  kCheckBox,
  kTrackbar,
  kDropDown,
  kPortViewport,
  kCameraPreview,
  kReviewPreview,
};

// Labels the wizard changes, by name.
enum class ControlRole : int32_t {
  kNone,
  kTotalLabel,
  kViewsLabel,
  kStatusLabel,
  kSaveAsList,
};

// One control: where it sits (client units at 96 dpi) and in which stages
// it shows (bit s for stage s).
struct ControlLayout {
  int32_t id;
  ControlKind kind;
  const char* text;
  int32_t x, y, width, height;
  uint32_t stages;
  ControlRole role = ControlRole::kNone;
};

// Every control of the main window, in creation order.
std::span<const ControlLayout> wizardControls();
// Whether `control` shows in `stage`; "Save Scan Data…" only when the scan
// kept its data.
bool controlShown(const ControlLayout& control, Stage stage, bool hasScanData);

inline constexpr const char* kWindowTitle = "Glowtrace \xE2\x80\x94 Scan";
inline constexpr int32_t kClientWidth = 664;
inline constexpr int32_t kClientHeight = 562;
inline constexpr int32_t kPortRowPitch = 28;
inline constexpr int32_t kWheelDelta = 120;
inline constexpr int32_t kPreviewIntervalMs = 60;
inline constexpr const char* kDefaultModelName = "MappedModel";

// What the workers and the capture thread post to the window.
enum class WizardMessage : int32_t {
  kScanFinished = 1,     // ok; text: the model path or the error
  kFrameWaiting = 2,     // a new camera frame is waiting
  kStatus = 3,           // text: a progress line from the session
  kConnectFinished = 4,  // ok; text: the error
  kSetupFinished = 5,    // ok; text: the error (prepare or camera restart)
};

struct PostedMessage {
  WizardMessage message = WizardMessage::kStatus;
  bool ok = false;
  std::string text;
};

using Poster = std::function<void(PostedMessage)>;

// One controller port as its row shows it.
struct PortRow {
  int32_t portNumber = 0;  // 0-based; the check box reads "Port n+1"
  bool selected = false;
  std::string pixels;      // digits
  std::string nulls;       // digits
  bool rgbw = false;       // the colour-order list shows "RGBW"
  std::string checkLabel;  // "Port 3"
  std::string infoLabel;   // "(150 px, GRB)"
};

// The newest camera frame, for the live preview.
struct PreviewFrame {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  std::vector<uint8_t> pixels;  // BGRA
  double time = 0;
};

// A file-save or folder choice the view asks the user for; empty: dismissed.
using PathChooser = std::function<std::string(const std::string& suggestion)>;

class ScanWizard {
 public:
  // `result` is called exactly once, by finish(), with the model path or ""
  // for a cancel; the wrapper of the host's callback.
  ScanWizard(std::unique_ptr<ScanSession> session,
             std::function<void(const std::string&)> result,
             std::string controllerHost,
             std::string modelName);
  // Waits for the workers, finishes with an empty result when nothing
  // finished yet, and destroys the session (and with it the camera). A
  // finish handed to a runner must have run by then.
  ~ScanWizard();
  ScanWizard(const ScanWizard&) = delete;
  ScanWizard& operator=(const ScanWizard&) = delete;

  // Gives the session its progress callback (posting kStatus) and selects
  // stage 0. True when the launch named a controller: the host field is
  // filled and the view should send connect() at once.
  bool start(Poster poster);

  // Commands (window thread).
  void setHostFields(std::string host, std::string user, std::string password);
  // The controller list's choice (ControllerKind's order: FPP, WLED, DDP,
  // E1.31) and, for a DDP or E1.31 receiver, its pixels, start channel and
  // universe as typed.
  void setControllerKind(int32_t index);
  void setReceiverFields(std::string pixels,
                         std::string startChannel,
                         std::string universe);
  void connect();
  void continueToAim();
  void startScan();
  // Writes the model of the chosen kind and finishes with its path; false
  // (and the window stays) when it cannot be written.
  bool addToLayout();
  void cancel() { finish(""); }
  void saveToFile(const PathChooser& chooseFile);
  void saveScanData(const PathChooser& chooseFolder);
  void captureAnotherAngle();
  void setShow3D(bool checked);
  void setFovText(std::string text);
  void discardAndRescan();
  void setTrackbar(int32_t position);
  void setSaveAsIndex(int32_t index) { saveAsIndex_ = index; }
  // Row edits; each recomputes the total.
  void setPortSelected(size_t row, bool selected);
  void setPortPixels(size_t row, std::string digits);
  void setPortNulls(size_t row, std::string digits);
  void setPortRgbw(size_t row, bool rgbw);

  // A posted message, on the window thread.
  void handle(const PostedMessage& message);

  // The camera's frame callback (capture thread): keeps the newest frame
  // and posts kFrameWaiting at most once per 60 ms, never twice queued.
  void onFrame(const pxowin::BgraFrame& frame);
  // On kFrameWaiting: clears the pending flag and copies the newest frame.
  bool takePreviewFrame(PreviewFrame* out);

  // The one finishing path: the first call tears the scan down (the
  // controller is restored, the camera stops) and calls the result;
  // later calls do nothing. True for the call that finished.
  //
  // The teardown waits for a running worker (a scan, a reconfiguration)
  // and talks to the controller, so a view that must not block hands it to
  // a runner of its own (a thread) with setFinishRunner; by default it
  // runs within finish().
  bool finish(const std::string& result);
  bool finished() const { return finished_.load(); }
  // After the teardown: empty, or why the controller's configuration could
  // not be put back (with the command that puts it back from its record),
  // for the view to show before the window goes.
  std::string restoreFailure() const;
  // The title of that message.
  static constexpr char kRestoreFailureTitle[] =
      "The controller was not put back";
  // True once the teardown ran and the result was called.
  bool finishDone() const { return finishDone_.load(); }
  using FinishRunner = std::function<void(std::function<void()> teardown)>;
  void setFinishRunner(FinishRunner runner) {
    finishRunner_ = std::move(runner);
  }

  // State the view shows.
  Stage stage() const { return stage_; }
  const std::string& status() const { return status_; }
  const std::string& hostText() const { return host_; }
  const std::vector<PortRow>& portRows() const { return rows_; }
  std::string totalLabel() const;
  std::string viewsLabel() const;
  bool connectEnabled() const { return connectEnabled_; }
  bool continueEnabled() const { return continueEnabled_; }
  bool show3DChecked() const { return show3D_; }
  bool show3DEnabled() const { return show3DEnabled_; }
  const std::string& fovText() const { return fovText_; }
  int32_t trackbar() const { return trackbar_; }
  int32_t saveAsIndex() const { return saveAsIndex_; }
  bool hasScanData() const;
  const std::string& scanResult() const { return scanResult_; }
  // Workers started so far (a test's check that a command started none).
  int32_t workersStarted() const { return workersStarted_; }
  // True while a worker runs.
  bool busy() const;
  ReviewDrawing reviewDrawing(double width, double height) const;
  ReviewCamera& reviewCamera() { return reviewCamera_; }
  ScanSession& session() { return *session_; }

 private:
  void setStatus(std::string text) { status_ = std::move(text); }
  void selectStage(Stage stage) { stage_ = stage; }
  void runWorker(std::function<PostedMessage()> work);
  void restartCamera();
  void solve3DPreview();
  ModelOutputKind chosenKind() const;
  void buildPortRows();
  void joinWorkers();

  std::unique_ptr<ScanSession> session_;
  std::function<void(const std::string&)> result_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> finishDone_{false};
  mutable std::mutex failureMutex_;
  std::string restoreFailure_;  // under failureMutex_
  FinishRunner finishRunner_;
  Poster poster_;
  std::string controllerHost_;
  std::string modelName_;

  Stage stage_ = Stage::kConnect;
  std::string status_ = "Enter your FPP controller and Connect.";
  std::string host_, user_, password_;
  ControllerKind kind_ = ControllerKind::kFpp;
  std::string receiverPixels_, startChannel_ = "1", universe_ = "1";
  std::vector<PortRow> rows_;
  bool connectEnabled_ = true;
  bool continueEnabled_ = true;
  bool show3D_ = false;
  bool show3DEnabled_ = false;
  std::string fovText_ = "0";
  int32_t trackbar_ = 128;
  int32_t saveAsIndex_ = 0;
  std::string scanResult_;
  // What the running scan said that the review must still show: ports whose
  // LEDs answer in another colour order.
  std::vector<std::string> scanNotices_;
  ReviewCamera reviewCamera_;

  // Workers: joined before the session goes.
  mutable std::mutex workerMutex_;
  std::vector<std::thread> workers_;
  std::atomic<int32_t> running_{0};
  int32_t workersStarted_ = 0;

  // The live preview's hand-over from the capture thread.
  std::mutex frameMutex_;
  PreviewFrame latest_;
  std::atomic<bool> framePending_{false};
  std::chrono::steady_clock::time_point lastFramePost_{};
};

}  // namespace pxo::ui
