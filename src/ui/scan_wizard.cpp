#include "ui/scan_wizard.h"

#include "platform/utf8_path.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <system_error>

namespace pxo::ui {

namespace {

constexpr uint32_t kStage0 = 1u << 0;
constexpr uint32_t kStage1 = 1u << 1;
constexpr uint32_t kStage2 = 1u << 2;
constexpr uint32_t kStage3 = 1u << 3;
constexpr uint32_t kStage4 = 1u << 4;
constexpr uint32_t kAlways = 0x1F;

constexpr ControlLayout kLayout[] = {
    {kNoId, ControlKind::kLabel, "FPP host / IP:", 16, 16, 120, 20, kStage0},
    {kHostEdit, ControlKind::kEdit, "", 140, 14, 300, 24, kStage0},
    {kNoId, ControlKind::kLabel, "User (optional):", 16, 48, 120, 20, kStage0},
    {kUserEdit, ControlKind::kEdit, "", 140, 46, 300, 24, kStage0},
    {kNoId, ControlKind::kLabel, "Password:", 16, 80, 120, 20, kStage0},
    {kPasswordEdit, ControlKind::kPasswordEdit, "", 140, 78, 300, 24, kStage0},
    {kNoId, ControlKind::kLabel, "Controller:", 452, 16, 84, 20, kStage0},
    {kControllerKindList,
     ControlKind::kDropDown,
     "FPP\nWLED\nDDP\nE1.31",
     552,
     14,
     96,
     120,  // with its open list
     kStage0},
    {kNoId, ControlKind::kLabel, "DDP / E1.31:", 452, 48, 196, 20, kStage0},
    {kNoId, ControlKind::kLabel, "Pixels:", 452, 80, 96, 20, kStage0},
    {kReceiverPixelsEdit,
     ControlKind::kDigitsEdit,
     "",
     552,
     78,
     96,
     24,
     kStage0},
    {kNoId, ControlKind::kLabel, "Start channel:", 452, 112, 96, 20, kStage0},
    {kStartChannelEdit,
     ControlKind::kDigitsEdit,
     "1",
     552,
     110,
     96,
     24,
     kStage0},
    {kNoId, ControlKind::kLabel, "Universe:", 452, 144, 96, 20, kStage0},
    {kUniverseEdit, ControlKind::kDigitsEdit, "1", 552, 142, 96, 24, kStage0},
    {kConnectButton,
     ControlKind::kButton,
     "Connect",
     140,
     112,
     120,
     28,
     kStage0},
    {kNoId,
     ControlKind::kLabel,
     "Select ports to scan; confirm pixels, null pixels, and color order:",
     16,
     14,
     620,
     20,
     kStage1},
    {kNoId, ControlKind::kPortViewport, "", 16, 40, 632, 396, kStage1},
    {kNoId,
     ControlKind::kLabel,
     "Total LEDs to scan: 0",
     16,
     442,
     400,
     20,
     kStage1,
     ControlRole::kTotalLabel},
    {kContinueButton,
     ControlKind::kButton,
     "Continue",
     16,
     468,
     160,
     30,
     kStage1},
    {kNoId,
     ControlKind::kCameraPreview,
     "",
     16,
     150,
     640,
     300,
     kStage2 | kStage3},
    {kNoId, ControlKind::kReviewPreview, "", 16, 150, 640, 270, kStage4},
    {kNoId,
     ControlKind::kLabel,
     "Views: 1",
     16,
     428,
     72,
     20,
     kStage4,
     ControlRole::kViewsLabel},
    {kCaptureAnotherAngleButton,
     ControlKind::kButton,
     "Capture Another Angle",
     92,
     424,
     180,
     26,
     kStage4},
    {kShow3DCheck,
     ControlKind::kCheckBox,
     "Show 3D",
     282,
     426,
     84,
     22,
     kStage4},
    {kNoId, ControlKind::kLabel, "FOV:", 374, 428, 34, 20, kStage4},
    {kFovEdit, ControlKind::kDigitsEdit, "0", 410, 424, 50, 24, kStage4},
    {kNoId, ControlKind::kLabel, "LED brightness:", 16, 460, 110, 20, kStage2},
    {kBrightnessTrackbar,
     ControlKind::kTrackbar,
     "",
     130,
     456,
     420,
     28,
     kStage2},
    {kNoId, ControlKind::kLabel, "Save as:", 16, 460, 70, 20, kStage4},
    {kNoId,
     ControlKind::kDropDown,
     "Custom Model\nMultiPoint Model",
     90,
     456,
     200,
     200,
     kStage4,
     ControlRole::kSaveAsList},
    {kStartScanButton,
     ControlKind::kButton,
     "Start Scan",
     16,
     492,
     120,
     28,
     kStage2},
    {kAddToLayoutButton,
     ControlKind::kButton,
     "Add to Layout",
     16,
     492,
     120,
     28,
     kStage4},
    {kSaveToFileButton,
     ControlKind::kButton,
     "Save to File\xE2\x80\xA6",
     144,
     492,
     120,
     28,
     kStage4},
    {kDiscardButton,
     ControlKind::kButton,
     "Discard && Rescan",
     272,
     492,
     140,
     28,
     kStage4},
    {kCancelButton, ControlKind::kButton, "Cancel", 420, 492, 70, 28, kStage4},
    {kSaveScanDataButton,
     ControlKind::kButton,
     "Save Scan Data\xE2\x80\xA6",
     498,
     492,
     140,
     28,
     kStage4},
    {kNoId,
     ControlKind::kLabel,
     "Enter your FPP controller and Connect.",
     16,
     528,
     640,
     24,
     kAlways,
     ControlRole::kStatusLabel},
};

// A digits-only edit's number: up to 16 characters, decimal; 0 otherwise.
int32_t digitsValue(const std::string& text) {
  const std::string digits = text.substr(0, 16);
  int64_t value = 0;
  auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || value < 0) return 0;
  (void)end;
  return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

// Text joined piece by piece (GCC 12 at -O3 warns falsely, -Wrestrict, on a
// literal joined to a temporary string).
std::string joined(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (std::string_view piece : pieces) text += piece;
  return text;
}

std::string fileName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::span<const ControlLayout> wizardControls() { return kLayout; }

bool controlShown(const ControlLayout& control, Stage stage, bool hasScanData) {
  if (control.id == kSaveScanDataButton && !hasScanData) return false;
  return (control.stages >> static_cast<uint32_t>(stage)) & 1u;
}

ScanWizard::ScanWizard(std::unique_ptr<ScanSession> session,
                       std::function<void(const std::string&)> result,
                       std::string controllerHost,
                       std::string modelName)
    : session_(std::move(session)),
      result_(std::move(result)),
      controllerHost_(std::move(controllerHost)),
      modelName_(std::move(modelName)) {}

ScanWizard::~ScanWizard() {
  // Nothing finished yet: finish here, whatever runner the view set.
  finishRunner_ = nullptr;
  finish("");
  joinWorkers();
  if (session_) {
    session_->progress = nullptr;
    if (session_->camera) session_->camera->setFrameCallback(nullptr);
    destroyScanSession(std::move(session_));
  }
}

bool ScanWizard::start(Poster poster) {
  poster_ = std::move(poster);
  session_->progress = [this](const std::string& text) {
    if (poster_) poster_({WizardMessage::kStatus, true, text});
  };
  selectStage(Stage::kConnect);
  if (controllerHost_.empty()) return false;
  host_ = controllerHost_;
  return true;
}

void ScanWizard::setHostFields(std::string host,
                               std::string user,
                               std::string password) {
  host_ = std::move(host);
  user_ = std::move(user);
  password_ = std::move(password);
}

void ScanWizard::setControllerKind(int32_t index) {
  kind_ = index >= 0 && index <= static_cast<int32_t>(ControllerKind::kE131)
              ? static_cast<ControllerKind>(index)
              : ControllerKind::kFpp;
}

void ScanWizard::setReceiverFields(std::string pixels,
                                   std::string startChannel,
                                   std::string universe) {
  receiverPixels_ = std::move(pixels);
  startChannel_ = std::move(startChannel);
  universe_ = std::move(universe);
}

void ScanWizard::runWorker(std::function<PostedMessage()> work) {
  std::lock_guard lock(workerMutex_);
  ++workersStarted_;
  ++running_;
  workers_.emplace_back([this, work = std::move(work)] {
    PostedMessage message = work();
    --running_;
    if (poster_) poster_(std::move(message));
  });
}

bool ScanWizard::busy() const { return running_.load() > 0; }

void ScanWizard::joinWorkers() {
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(workerMutex_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers)
    if (t.joinable()) t.join();
}

void ScanWizard::connect() {
  if (stage_ != Stage::kConnect || !connectEnabled_) return;
  if (host_.empty()) {
    setStatus(kind_ == ControllerKind::kFpp
                  ? "Enter the FPP controller host/IP."
                  : joined({"Enter the ",
                            controllerKindName(kind_),
                            " controller host/IP."}));
    return;
  }
  PlainReceiver receiver;
  if (kind_ == ControllerKind::kDdp || kind_ == ControllerKind::kE131) {
    receiver.host = host_;
    receiver.pixels = digitsValue(receiverPixels_);
    receiver.startChannel =
        startChannel_.empty() ? 1 : digitsValue(startChannel_);
    receiver.universe = universe_.empty() ? 1 : digitsValue(universe_);
    std::string wrong;
    if (!checkPlainReceiver(kind_, receiver, &wrong)) {
      setStatus("Connect failed: " + wrong);
      return;
    }
  }
  setStatus("Connecting\xE2\x80\xA6");
  connectEnabled_ = false;
  runWorker([this,
             kind = kind_,
             receiver,
             host = host_,
             user = user_,
             password = password_] {
    std::string error;
    const bool ok =
        kind == ControllerKind::kFpp
            ? connectController(*session_, host, user, password, &error)
        : kind == ControllerKind::kWled
            ? connectWledController(*session_, host, &error)
            : connectReceiver(*session_, kind, receiver, &error);
    return PostedMessage{WizardMessage::kConnectFinished, ok, error};
  });
}

void ScanWizard::buildPortRows() {
  rows_.clear();
  for (const ControllerPort& port : session_->controller.ports) {
    PortRow row;
    row.portNumber = port.portNumber;
    row.selected = port.selected;
    row.pixels = std::to_string(port.scanPixelCount > 0 ? port.scanPixelCount
                                                        : port.pixelCount);
    row.nulls = std::to_string(port.nullNodes);
    row.rgbw = port.channelsPerPixel == 4;
    row.checkLabel = joined({"Port ", std::to_string(port.portNumber + 1)});
    row.infoLabel = joined(
        {"(", std::to_string(port.pixelCount), " px, ", port.colorOrder, ")"});
    rows_.push_back(std::move(row));
  }
}

std::string ScanWizard::totalLabel() const {
  int64_t total = 0;
  for (const PortRow& row : rows_)
    if (row.selected) total += digitsValue(row.pixels);
  return joined({"Total LEDs to scan: ", std::to_string(total)});
}

void ScanWizard::setPortSelected(size_t row, bool selected) {
  if (row < rows_.size()) rows_[row].selected = selected;
}
void ScanWizard::setPortPixels(size_t row, std::string digits) {
  if (row < rows_.size()) rows_[row].pixels = std::move(digits);
}
void ScanWizard::setPortNulls(size_t row, std::string digits) {
  if (row < rows_.size()) rows_[row].nulls = std::move(digits);
}
void ScanWizard::setPortRgbw(size_t row, bool rgbw) {
  if (row < rows_.size()) rows_[row].rgbw = rgbw;
}

void ScanWizard::continueToAim() {
  if (stage_ != Stage::kPorts || !continueEnabled_) return;
  std::vector<ControllerPort>& ports = session_->controller.ports;
  bool usable = false;
  for (size_t i = 0; i < rows_.size() && i < ports.size(); ++i) {
    ports[i].selected = rows_[i].selected;
    ports[i].scanPixelCount = digitsValue(rows_[i].pixels);
    ports[i].nullNodes = digitsValue(rows_[i].nulls);
    ports[i].channelsPerPixel = rows_[i].rgbw ? 4 : 3;
    usable = usable || (ports[i].selected && ports[i].scanPixelCount >= 1);
  }
  if (!usable) {
    setStatus("Select at least one port with a pixel count above 0.");
    return;
  }
  setStatus("Updating controller configuration\xE2\x80\xA6");
  continueEnabled_ = false;
  runWorker([this] {
    std::string error;
    const bool ok = prepareScan(*session_, &error);
    return PostedMessage{WizardMessage::kSetupFinished, ok, error};
  });
}

void ScanWizard::startScan() {
  if (stage_ != Stage::kAim || busy()) return;
  scanNotices_.clear();
  setStatus("Scanning \xE2\x80\x94 keep the camera still\xE2\x80\xA6");
  selectStage(Stage::kScanning);
  const std::string name =
      modelName_.empty() ? std::string(kDefaultModelName) : modelName_;
  runWorker([this, name] {
    std::string path, error;
    runScan(*session_, &path, name, &error);
    if (path.empty())
      return PostedMessage{WizardMessage::kScanFinished,
                           false,
                           error.empty() ? "scan failed" : error};
    return PostedMessage{WizardMessage::kScanFinished, true, path};
  });
}

ModelOutputKind ScanWizard::chosenKind() const {
  if (show3D_) return ModelOutputKind::kMultiPoint3D;
  return saveAsIndex_ == 1 ? ModelOutputKind::kMultiPoint2D
                           : ModelOutputKind::kCustomGrid;
}

bool ScanWizard::addToLayout() {
  std::string error;
  const std::string path =
      writeModelFile(modelOutputInputs(*session_), chosenKind(), &error);
  if (path.empty() && !error.empty()) {
    setStatus("Could not produce model: " + error);
    return false;
  }
  return finish(path.empty() ? scanResult_ : path);
}

void ScanWizard::saveToFile(const PathChooser& chooseFile) {
  std::string error;
  const std::string written =
      writeModelFile(modelOutputInputs(*session_), chosenKind(), &error);
  if (written.empty()) {
    setStatus("Could not produce model: " + error);
    return;
  }
  const std::string chosen = chooseFile ? chooseFile(fileName(written)) : "";
  if (chosen.empty()) return;
  std::error_code ec;
  std::filesystem::copy_file(
      written, chosen, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) {
    setStatus(joined({"Could not save model: ", ec.message()}));
    return;
  }
  std::filesystem::remove(written, ec);
  setStatus("Saved model to " + chosen);
}

bool ScanWizard::hasScanData() const {
  return !session_->scanDataFolder.empty();
}

void ScanWizard::saveScanData(const PathChooser& chooseFolder) {
  const std::string folder = session_->scanDataFolder;
  if (folder.empty()) {
    setStatus("No scan data to save.");
    return;
  }
  const std::string chosen = chooseFolder ? chooseFolder("") : "";
  if (chosen.empty()) return;
  const std::filesystem::path source = platform::pathFromUtf8(folder);
  const std::filesystem::path destination =
      platform::pathFromUtf8(chosen) / (source.has_filename()
                                            ? source.filename()
                                            : source.parent_path().filename());
  std::error_code ec;
  std::filesystem::copy(source,
                        destination,
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing,
                        ec);
  if (ec) {
    setStatus(joined({"Could not save scan data: ", ec.message()}));
    return;
  }
  setStatus(joined({"Saved scan data to ", platform::pathToUtf8(destination)}));
}

void ScanWizard::restartCamera() {
  show3D_ = false;
  setStatus("Restarting camera\xE2\x80\xA6");
  runWorker([this] {
    std::string error;
    const bool ok = startCamera(*session_, &error);
    return PostedMessage{WizardMessage::kSetupFinished, ok, error};
  });
}

void ScanWizard::captureAnotherAngle() {
  if (stage_ != Stage::kReview || busy()) return;
  stopSweep(*session_);
  restartCamera();
}

void ScanWizard::discardAndRescan() {
  if (stage_ != Stage::kReview || busy()) return;
  resetScanResults(*session_);
  show3DEnabled_ = false;
  restartCamera();
}

void ScanWizard::solve3DPreview() {
  std::string error;
  if (!solve3D(*session_, digitsValue(fovText_), &error)) {
    setStatus("3D solve: " + error);
    show3D_ = false;
    return;
  }
  show3D_ = true;
  setStatus("3D: " + session_->solveStatus +
            " \xE2\x80\x94 drag to rotate, wheel to zoom.");
}

void ScanWizard::setShow3D(bool checked) {
  if (!checked) {
    show3D_ = false;
    setStatus("Showing 2D preview.");
    return;
  }
  if (viewCount(*session_) < 2) {
    setStatus("Capture at least 2 angles before enabling 3D.");
    show3D_ = false;
    return;
  }
  solve3DPreview();
}

void ScanWizard::setFovText(std::string text) {
  fovText_ = std::move(text);
  if (show3D_) solve3DPreview();
}

void ScanWizard::setTrackbar(int32_t position) {
  trackbar_ = std::clamp(position, 5, 255);
  setLevel(*session_, trackbar_);
}

std::string ScanWizard::viewsLabel() const {
  return joined({"Views: ", std::to_string(viewCount(*session_))});
}

void ScanWizard::handle(const PostedMessage& message) {
  // A worker that ended after the window finished has nothing to show.
  if (finished_) return;
  switch (message.message) {
    case WizardMessage::kConnectFinished:
      connectEnabled_ = true;
      if (!message.ok) {
        setStatus("Connect failed: " + message.text);
        return;
      }
      buildPortRows();
      setStatus("Select the ports to scan, then Continue.");
      selectStage(Stage::kPorts);
      return;
    case WizardMessage::kSetupFinished:
      continueEnabled_ = true;
      if (!message.ok) {
        setStatus("Setup failed: " + message.text);
        return;
      }
      if (session_->camera)
        session_->camera->setFrameCallback(
            [this](const pxowin::BgraFrame& frame) { onFrame(frame); });
      setLevel(*session_, trackbar_);
      setStatus("Aim the camera at the prop, then Start Scan.");
      selectStage(Stage::kAim);
      return;
    case WizardMessage::kScanFinished: {
      if (!message.ok) {
        setStatus("Scan failed: " + message.text +
                  "\nClose the window to cancel.");
        selectStage(Stage::kAim);
        return;
      }
      scanResult_ = message.text;
      std::string text = "Scan complete";
      if (session_->grid)
        text += joined({": ",
                        std::to_string(session_->grid->cols),
                        "\xC3\x97",
                        std::to_string(session_->grid->rows),
                        " grid, ",
                        std::to_string(session_->observedCount),
                        " of ",
                        std::to_string(session_->resultLedCount),
                        " LEDs detected"});
      text += ". Accept to save, or Discard.";
      const int32_t views = viewCount(*session_);
      if (views >= 2) text += " (or enable Show 3D)";
      // Said during the scan, and still true of its result.
      for (const std::string& notice : scanNotices_) text += "\n" + notice;
      if (!session_->lastRun.warning.empty())
        text += "\n" + session_->lastRun.warning;
      setStatus(std::move(text));
      show3D_ = false;
      show3DEnabled_ = views >= 2;
      selectStage(Stage::kReview);
      startSweep(*session_);
      return;
    }
    case WizardMessage::kStatus:
      if (stage_ == Stage::kScanning &&
          message.text.find(": LEDs answer as ") != std::string::npos)
        scanNotices_.push_back(message.text);
      setStatus(message.text);
      return;
    case WizardMessage::kFrameWaiting:
      return;  // the view takes the frame with takePreviewFrame
  }
}

void ScanWizard::onFrame(const pxowin::BgraFrame& frame) {
  const auto now = std::chrono::steady_clock::now();
  {
    // Only a frame that will be shown is copied: the capture thread also
    // records, and a copy of every frame costs it time it needs.
    std::lock_guard lock(frameMutex_);
    if (now - lastFramePost_ < std::chrono::milliseconds(kPreviewIntervalMs))
      return;
    lastFramePost_ = now;
    latest_.width = frame.width;
    latest_.height = frame.height;
    latest_.stride = frame.stride;
    latest_.pixels = frame.pixels;
    latest_.time = frame.timestamp;
  }
  if (!framePending_.exchange(true) && poster_)
    poster_({WizardMessage::kFrameWaiting, true, ""});
}

bool ScanWizard::takePreviewFrame(PreviewFrame* out) {
  framePending_ = false;
  std::lock_guard lock(frameMutex_);
  if (latest_.pixels.empty()) return false;
  *out = latest_;
  return true;
}

bool ScanWizard::finish(const std::string& result) {
  if (finished_.exchange(true)) return false;
  // A running scan stops at its next pattern.
  if (session_) session_->stopRequested = true;
  auto teardown = [this, result] {
    // A worker in the middle of a scan or a reconfiguration finishes first:
    // the controller is restored from a settled state.
    joinWorkers();
    if (session_) {
      if (session_->camera) session_->camera->setFrameCallback(nullptr);
      std::string failure;
      // The controller not back is said out loud (restoreFailure), and the
      // host still gets its one callback.
      if (!teardownScan(*session_, &failure)) {
        std::lock_guard lock(failureMutex_);
        restoreFailure_ = failure;
      }
    }
    if (result_) result_(result);
    finishDone_ = true;
  };
  if (finishRunner_)
    finishRunner_(std::move(teardown));
  else
    teardown();
  return true;
}

std::string ScanWizard::restoreFailure() const {
  std::lock_guard lock(failureMutex_);
  return restoreFailure_;
}

ReviewDrawing ScanWizard::reviewDrawing(double width, double height) const {
  if (show3D_)
    return drawReview3D(session_->points3d, reviewCamera_, width, height);
  if (session_->views.empty()) return drawReview2D({}, width, height);
  return drawReview2D(session_->views.back().points, width, height);
}

}  // namespace pxo::ui
