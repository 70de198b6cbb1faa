#include "ui/gtk/gtk_scan_window.h"

#include "ui/scan_wizard.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <gtk/gtk.h>

namespace pxo::ui {

namespace {

// ---- The GTK thread -------------------------------------------------------

// The main context the windows live on, once GTK is up.
GMainContext* gtkContext = nullptr;
std::mutex gtkMutex;

// Runs `work` on `context`'s thread, later (never within this call, even
// on that thread).
void later(GMainContext* context, std::function<void()> work) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(work)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(source, context);
  g_source_unref(source);
}

// Starts GTK, once for the process:
//  - called on the thread that runs the default main context (a host's own
//    GTK loop): GTK is set up there if the host has not, and the windows
//    live there;
//  - the default context run by another thread (a host's loop, called from
//    elsewhere): GTK is set up on that thread, through the context;
//  - nobody runs it: a thread of our own sets GTK up and runs gtk_main for
//    good.
// False without a display (or when the host's loop does not answer).
bool ensureGtk() {
  std::lock_guard lock(gtkMutex);
  if (gtkContext) return true;
  GMainContext* context = g_main_context_default();
  if (g_main_context_is_owner(context)) {
    if (!gtk_init_check(nullptr, nullptr)) return false;
    gtkContext = context;
    return true;
  }
  std::mutex startMutex;
  std::condition_variable started;
  int state = 0;  // 1 running, -1 no display
  auto answer = [&](bool ok) {
    std::lock_guard running(startMutex);
    state = ok ? 1 : -1;
    started.notify_one();
  };
  if (!g_main_context_acquire(context)) {
    // Another thread runs the default context. The state lives on this
    // stack frame: a loop that answers late finds the flag set and must
    // not touch it, so it gets its own copy of the outcome.
    auto shared = std::make_shared<std::pair<std::mutex, int>>();
    later(context, [shared, &answer] {
      std::lock_guard once(shared->first);
      if (shared->second != 0) return;  // gave up waiting
      const bool ok = gtk_init_check(nullptr, nullptr);
      shared->second = ok ? 1 : -1;
      answer(ok);
    });
    std::unique_lock startLock(startMutex);
    if (!started.wait_for(
            startLock, std::chrono::seconds(5), [&] { return state != 0; })) {
      startLock.unlock();
      std::lock_guard once(shared->first);
      if (shared->second == 0) {
        shared->second = -1;
        return false;
      }
      startLock.lock();
    }
    if (state < 0) return false;
    gtkContext = context;
    return true;
  }
  g_main_context_release(context);
  std::thread([&answer] {
    if (!gtk_init_check(nullptr, nullptr)) {
      answer(false);
      return;
    }
    answer(true);
    gtk_main();
  }).detach();
  std::unique_lock startLock(startMutex);
  started.wait(startLock, [&] { return state != 0; });
  if (state < 0) return false;
  gtkContext = context;
  return true;
}

// Runs `work` on the GTK thread, later.
void onGtkThread(std::function<void()> work) {
  later(gtkContext, std::move(work));
}

// ---- One window ----------------------------------------------------------

std::string gtkText(const char* text) {
  // "&&" is an ampersand in the control texts.
  std::string out;
  for (const char* p = text; *p; ++p) {
    out += *p;
    if (p[0] == '&' && p[1] == '&') ++p;
  }
  return out;
}

void setDrawColour(cairo_t* cr, const Rgb& colour) {
  cairo_set_source_rgb(
      cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0);
}

class ScanWindow : public std::enable_shared_from_this<ScanWindow> {
 public:
  explicit ScanWindow(ScanWindowLaunch launch)
      : hostField_(std::move(launch.hostField)),
        controllerKind_(static_cast<int32_t>(launch.controllerKind)),
        wizard_(std::move(launch.session),
                std::move(launch.result),
                std::move(launch.controllerHost),
                std::move(launch.modelName)) {}

  ~ScanWindow() = default;

  void open() {
    build();
    std::weak_ptr<ScanWindow> weak = weak_from_this();
    // The teardown waits for a running scan and restores the controller
    // over the network: it runs on a thread of its own, the window hidden
    // meanwhile, and the window goes on the GTK thread when it is done.
    wizard_.setFinishRunner([weak](std::function<void()> teardown) {
      std::shared_ptr<ScanWindow> self = weak.lock();
      std::thread([self, teardown = std::move(teardown)]() mutable {
        teardown();
        onGtkThread([self = std::move(self)] {
          self->showRestoreFailure();
          self->destroy();
        });
      }).detach();
    });
    const bool connectNow = wizard_.start([weak](PostedMessage message) {
      onGtkThread([weak, message = std::move(message)] {
        if (auto self = weak.lock()) self->handle(message);
      });
    });
    gtk_combo_box_set_active(GTK_COMBO_BOX(widgets_[kControllerKindList]),
                             controllerKind_);
    showStage();
    gtk_widget_show(window_);
    if (!connectNow && !hostField_.empty())
      gtk_entry_set_text(GTK_ENTRY(widgets_[kHostEdit]), hostField_.c_str());
    if (connectNow) {
      gtk_entry_set_text(GTK_ENTRY(widgets_[kHostEdit]),
                         wizard_.hostText().c_str());
      onGtkThread([weak] {
        if (auto self = weak.lock()) self->connect();
      });
    }
  }

 private:
  // A layout length in the display's pixels.
  int32_t px(int32_t units) const {
    return static_cast<int32_t>(std::lround(units * scale_));
  }

  static ScanWindow* from(gpointer data) {
    return static_cast<ScanWindow*>(data);
  }

  // Controls as compact as the window's layout: entries, buttons and lists
  // fit the heights the layout gives them.
  static void compactStyle(GtkWidget* window) {
    static const char kCss[] =
        "entry, button, combobox button { min-height: 0; padding-top: 0; "
        "padding-bottom: 0; }"
        "entry { padding-left: 4px; padding-right: 4px; min-width: 0; }";
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
    gtk_style_context_add_provider_for_screen(
        gtk_widget_get_screen(window),
        GTK_STYLE_PROVIDER(css),
        GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
  }

  void build() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    // The layout is in units of a 96-dpi display; fonts follow the
    // display's resolution (Xft.dpi, GDK_DPI_SCALE), and so do the
    // positions. GTK scales both by a whole-number window scale itself.
    const double dpi =
        gdk_screen_get_resolution(gtk_widget_get_screen(window_));
    if (dpi > 0) scale_ = std::clamp(dpi / 96.0, 0.5, 4.0);
    compactStyle(window_);
    gtk_window_set_title(GTK_WINDOW(window_), kWindowTitle);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    fixed_ = gtk_fixed_new();
    gtk_widget_set_size_request(fixed_, px(kClientWidth), px(kClientHeight));
    gtk_container_add(GTK_CONTAINER(window_), fixed_);
    gtk_widget_show(fixed_);
    g_signal_connect(
        window_,
        "delete-event",
        G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
          from(data)->close("");
          return TRUE;
        }),
        this);
    for (const ControlLayout& control : wizardControls()) {
      GtkWidget* w = makeControl(control);
      // A drop-down's height in the layout includes its open list.
      const int32_t height = control.kind == ControlKind::kDropDown
                                 ? std::min(control.height, 26)
                                 : control.height;
      gtk_widget_set_size_request(w, px(control.width), px(height));
      gtk_fixed_put(GTK_FIXED(fixed_), w, px(control.x), px(control.y));
      controls_.push_back({&control, w});
      if (control.id != kNoId) widgets_[control.id] = w;
    }
  }

  GtkWidget* makeControl(const ControlLayout& control) {
    switch (control.kind) {
      case ControlKind::kLabel:
        return makeLabel(control);
      case ControlKind::kEdit:
      case ControlKind::kPasswordEdit:
      case ControlKind::kDigitsEdit:
        return makeEdit(control);
      case ControlKind::kButton:
        return makeButton(control);
      case ControlKind::kCheckBox:
        return makeCheckBox(control);
      case ControlKind::kTrackbar:
        return makeTrackbar();
      case ControlKind::kDropDown:
        return makeDropDown(control);
      case ControlKind::kPortViewport:
        return makePortViewport();
      case ControlKind::kCameraPreview:
        return makeCameraPreview();
      case ControlKind::kReviewPreview:
        return makeReviewPreview();
    }
    return gtk_label_new("");
  }

  GtkWidget* makeLabel(const ControlLayout& control) {
    GtkWidget* w = gtk_label_new(gtkText(control.text).c_str());
    gtk_label_set_xalign(GTK_LABEL(w), 0);
    gtk_label_set_line_wrap(GTK_LABEL(w), TRUE);
    if (control.role == ControlRole::kTotalLabel) totalLabel_ = w;
    if (control.role == ControlRole::kViewsLabel) viewsLabel_ = w;
    if (control.role == ControlRole::kStatusLabel) statusLabel_ = w;
    return w;
  }

  GtkWidget* makeEdit(const ControlLayout& control) {
    GtkWidget* w = gtk_entry_new();
    gtk_entry_set_width_chars(GTK_ENTRY(w), 1);
    gtk_entry_set_text(GTK_ENTRY(w), control.text);
    if (control.kind == ControlKind::kPasswordEdit)
      gtk_entry_set_visibility(GTK_ENTRY(w), FALSE);
    if (control.kind == ControlKind::kDigitsEdit) digitsOnly(w);
    if (control.id == kFovEdit)
      g_signal_connect(
          w,
          "changed",
          G_CALLBACK(+[](GtkEditable* e, gpointer data) {
            from(data)->wizard_.setFovText(gtk_entry_get_text(GTK_ENTRY(e)));
            from(data)->refresh();
          }),
          this);
    return w;
  }

  GtkWidget* makeButton(const ControlLayout& control) {
    GtkWidget* w = gtk_button_new_with_label(gtkText(control.text).c_str());
    g_object_set_data(G_OBJECT(w), "pxo-id", GINT_TO_POINTER(control.id));
    g_signal_connect(w,
                     "clicked",
                     G_CALLBACK(+[](GtkButton* b, gpointer data) {
                       from(data)->command(GPOINTER_TO_INT(
                           g_object_get_data(G_OBJECT(b), "pxo-id")));
                     }),
                     this);
    return w;
  }

  GtkWidget* makeCheckBox(const ControlLayout& control) {
    GtkWidget* w = gtk_check_button_new_with_label(control.text);
    g_signal_connect(w,
                     "toggled",
                     G_CALLBACK(+[](GtkToggleButton* b, gpointer data) {
                       ScanWindow* self = from(data);
                       if (self->updating_) return;
                       self->wizard_.setShow3D(gtk_toggle_button_get_active(b));
                       self->refresh();
                     }),
                     this);
    return w;
  }

  GtkWidget* makeTrackbar() {
    GtkWidget* w =
        gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 5, 255, 1);
    gtk_range_set_value(GTK_RANGE(w), 128);
    gtk_scale_set_draw_value(GTK_SCALE(w), FALSE);
    g_signal_connect(w,
                     "value-changed",
                     G_CALLBACK(+[](GtkRange* r, gpointer data) {
                       from(data)->wizard_.setTrackbar(
                           static_cast<int32_t>(gtk_range_get_value(r)));
                     }),
                     this);
    return w;
  }

  GtkWidget* makeDropDown(const ControlLayout& control) {
    GtkWidget* w = gtk_combo_box_text_new();
    std::string items = control.text;
    size_t start = 0;
    while (start <= items.size()) {
      const size_t end = std::min(items.find('\n', start), items.size());
      gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w),
                                     items.substr(start, end - start).c_str());
      start = end + 1;
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(w), 0);
    if (control.role == ControlRole::kSaveAsList)
      g_signal_connect(
          w,
          "changed",
          G_CALLBACK(+[](GtkComboBox* c, gpointer data) {
            from(data)->wizard_.setSaveAsIndex(gtk_combo_box_get_active(c));
          }),
          this);
    return w;
  }

  GtkWidget* makePortViewport() {
    GtkWidget* w = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(
        GTK_SCROLLED_WINDOW(w), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(w), GTK_SHADOW_IN);
    rowsBox_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(w), rowsBox_);
    GtkAdjustment* adjustment =
        gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(w));
    gtk_adjustment_set_step_increment(adjustment, px(kPortRowPitch));
    viewport_ = w;
    return w;
  }

  GtkWidget* makeCameraPreview() {
    GtkWidget* w = gtk_drawing_area_new();
    g_signal_connect(
        w,
        "draw",
        G_CALLBACK(
            +[](GtkWidget* widget, cairo_t* cr, gpointer data) -> gboolean {
              from(data)->drawCamera(widget, cr);
              return TRUE;
            }),
        this);
    cameraPreview_ = w;
    return w;
  }

  GtkWidget* makeReviewPreview() {
    GtkWidget* w = gtk_drawing_area_new();
    gtk_widget_add_events(w,
                          GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                              GDK_POINTER_MOTION_MASK | GDK_SCROLL_MASK);
    g_signal_connect(
        w,
        "draw",
        G_CALLBACK(
            +[](GtkWidget* widget, cairo_t* cr, gpointer data) -> gboolean {
              from(data)->drawReview(widget, cr);
              return TRUE;
            }),
        this);
    g_signal_connect(
        w,
        "button-press-event",
        G_CALLBACK(
            +[](GtkWidget*, GdkEventButton* e, gpointer data) -> gboolean {
              ScanWindow* self = from(data);
              if (e->button != 1) return FALSE;
              self->dragging_ = true;
              self->lastX_ = e->x;
              self->lastY_ = e->y;
              return TRUE;
            }),
        this);
    g_signal_connect(
        w,
        "button-release-event",
        G_CALLBACK(
            +[](GtkWidget*, GdkEventButton* e, gpointer data) -> gboolean {
              if (e->button == 1) from(data)->dragging_ = false;
              return TRUE;
            }),
        this);
    g_signal_connect(w,
                     "motion-notify-event",
                     G_CALLBACK(+[](GtkWidget* widget,
                                    GdkEventMotion* e,
                                    gpointer data) -> gboolean {
                       ScanWindow* self = from(data);
                       if (!self->dragging_) return FALSE;
                       self->wizard_.reviewCamera().drag(e->x - self->lastX_,
                                                         e->y - self->lastY_);
                       self->lastX_ = e->x;
                       self->lastY_ = e->y;
                       gtk_widget_queue_draw(widget);
                       return TRUE;
                     }),
                     this);
    g_signal_connect(w,
                     "scroll-event",
                     G_CALLBACK(+[](GtkWidget* widget,
                                    GdkEventScroll* e,
                                    gpointer data) -> gboolean {
                       ScanWindow* self = from(data);
                       if (e->direction == GDK_SCROLL_UP)
                         self->wizard_.reviewCamera().wheel(1);
                       if (e->direction == GDK_SCROLL_DOWN)
                         self->wizard_.reviewCamera().wheel(-1);
                       gtk_widget_queue_draw(widget);
                       return TRUE;
                     }),
                     this);
    reviewPreview_ = w;
    return w;
  }

  static void digitsOnly(GtkWidget* entry) {
    g_signal_connect(
        entry,
        "insert-text",
        G_CALLBACK(
            +[](GtkEditable* e, gchar* text, gint length, gint*, gpointer) {
              for (gint i = 0; i < length; ++i)
                if (!g_ascii_isdigit(text[i])) {
                  g_signal_stop_emission_by_name(e, "insert-text");
                  return;
                }
            }),
        nullptr);
  }

  void command(int32_t id) {
    const Stage before = wizard_.stage();
    switch (id) {
      case kConnectButton:
        connect();
        break;
      case kContinueButton:
        readPortRows();
        wizard_.continueToAim();
        break;
      case kStartScanButton:
        wizard_.startScan();
        break;
      case kAddToLayoutButton:
        if (wizard_.addToLayout()) {
          gtk_widget_hide(window_);
          return;
        }
        break;
      case kCancelButton:
        close("");
        return;
      case kSaveToFileButton:
        wizard_.saveToFile([this](const std::string& suggestion) {
          return chooseFile(suggestion);
        });
        break;
      case kSaveScanDataButton:
        wizard_.saveScanData(
            [this](const std::string&) { return chooseFolder(); });
        break;
      case kCaptureAnotherAngleButton:
        wizard_.captureAnotherAngle();
        break;
      case kDiscardButton:
        wizard_.discardAndRescan();
        break;
      default:
        break;
    }
    if (window_ && wizard_.stage() != before) showStage();
    refresh();
  }

  void connect() {
    wizard_.setControllerKind(
        gtk_combo_box_get_active(GTK_COMBO_BOX(widgets_[kControllerKindList])));
    wizard_.setReceiverFields(
        gtk_entry_get_text(GTK_ENTRY(widgets_[kReceiverPixelsEdit])),
        gtk_entry_get_text(GTK_ENTRY(widgets_[kStartChannelEdit])),
        gtk_entry_get_text(GTK_ENTRY(widgets_[kUniverseEdit])));
    wizard_.setHostFields(
        gtk_entry_get_text(GTK_ENTRY(widgets_[kHostEdit])),
        gtk_entry_get_text(GTK_ENTRY(widgets_[kUserEdit])),
        gtk_entry_get_text(GTK_ENTRY(widgets_[kPasswordEdit])));
    wizard_.connect();
    refresh();
  }

  // Hides the window at once; it is destroyed when the finish is done.
  void close(const std::string& result) {
    if (window_) gtk_widget_hide(window_);
    wizard_.finish(result);
  }

  // The controller could not be put back: the user is told, with the
  // command that finishes it, before the window goes.
  void showRestoreFailure() {
    const std::string failure = wizard_.restoreFailure();
    if (failure.empty()) return;
    GtkWidget* dialog =
        gtk_message_dialog_new(window_ ? GTK_WINDOW(window_) : nullptr,
                               GTK_DIALOG_MODAL,
                               GTK_MESSAGE_ERROR,
                               GTK_BUTTONS_CLOSE,
                               "%s",
                               ScanWizard::kRestoreFailureTitle);
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog), "%s", failure.c_str());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
  }

  void destroy() {
    if (!window_) return;
    GtkWidget* window = window_;
    window_ = nullptr;
    gtk_widget_destroy(window);
    // The last reference goes once GTK is done with this call.
    onGtkThread([keep = std::move(self_)] {});
  }

  void handle(const PostedMessage& message) {
    if (!window_ || wizard_.finished()) return;
    const Stage before = wizard_.stage();
    wizard_.handle(message);
    if (message.message == WizardMessage::kFrameWaiting) {
      PreviewFrame frame;
      if (wizard_.takePreviewFrame(&frame)) {
        frame_ = std::move(frame);
        gtk_widget_queue_draw(cameraPreview_);
      }
      return;
    }
    if (message.message == WizardMessage::kConnectFinished && message.ok)
      buildPortRows();
    if (wizard_.stage() != before) showStage();
    refresh();
  }

  void showStage() {
    for (const auto& [control, widget] : controls_)
      gtk_widget_set_visible(
          widget,
          controlShown(*control, wizard_.stage(), wizard_.hasScanData()));
    gtk_widget_queue_draw(window_);
  }

  void refresh() {
    if (!window_) return;
    updating_ = true;
    gtk_label_set_text(GTK_LABEL(statusLabel_), wizard_.status().c_str());
    gtk_label_set_text(GTK_LABEL(totalLabel_), wizard_.totalLabel().c_str());
    gtk_label_set_text(GTK_LABEL(viewsLabel_), wizard_.viewsLabel().c_str());
    gtk_widget_set_sensitive(widgets_[kConnectButton],
                             wizard_.connectEnabled());
    gtk_widget_set_sensitive(widgets_[kContinueButton],
                             wizard_.continueEnabled());
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widgets_[kShow3DCheck]),
                                 wizard_.show3DChecked());
    gtk_widget_set_sensitive(widgets_[kShow3DCheck], wizard_.show3DEnabled());
    gtk_widget_set_visible(widgets_[kSaveScanDataButton],
                           controlShown(*findControl(kSaveScanDataButton),
                                        wizard_.stage(),
                                        wizard_.hasScanData()));
    updating_ = false;
    if (reviewPreview_) gtk_widget_queue_draw(reviewPreview_);
  }

  static const ControlLayout* findControl(int32_t id) {
    for (const ControlLayout& control : wizardControls())
      if (control.id == id) return &control;
    return nullptr;
  }

  void buildPortRows() {
    for (GtkWidget* w : rowWidgets_) gtk_widget_destroy(w);
    rowWidgets_.clear();
    rows_.clear();
    const auto& rows = wizard_.portRows();
    for (size_t i = 0; i < rows.size(); ++i) {
      const int32_t y = 6 + kPortRowPitch * static_cast<int32_t>(i);
      RowWidgets r;
      r.check = gtk_check_button_new_with_label(rows[i].checkLabel.c_str());
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(r.check),
                                   rows[i].selected);
      r.pixels = gtk_entry_new();
      gtk_entry_set_width_chars(GTK_ENTRY(r.pixels), 1);
      gtk_entry_set_text(GTK_ENTRY(r.pixels), rows[i].pixels.c_str());
      digitsOnly(r.pixels);
      r.nulls = gtk_entry_new();
      gtk_entry_set_width_chars(GTK_ENTRY(r.nulls), 1);
      gtk_entry_set_text(GTK_ENTRY(r.nulls), rows[i].nulls.c_str());
      digitsOnly(r.nulls);
      r.order = gtk_combo_box_text_new();
      gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(r.order), "RGB");
      gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(r.order), "RGBW");
      gtk_combo_box_set_active(GTK_COMBO_BOX(r.order), rows[i].rgbw ? 1 : 0);
      GtkWidget* pxLabel = gtk_label_new("px:");
      GtkWidget* nulls = gtk_label_new("null:");
      GtkWidget* info = gtk_label_new(rows[i].infoLabel.c_str());
      gtk_label_set_xalign(GTK_LABEL(info), 0);
      const std::pair<GtkWidget*, std::array<int32_t, 2>> placed[] = {
          {r.check, {8, 84}},
          {pxLabel, {96, 22}},
          {r.pixels, {120, 60}},
          {nulls, {186, 34}},
          {r.nulls, {222, 48}},
          {r.order, {278, 76}},
          {info, {362, 240}}};
      for (const auto& [widget, xw] : placed) {
        gtk_widget_set_size_request(widget, px(xw[1]), px(24));
        gtk_fixed_put(GTK_FIXED(rowsBox_), widget, px(xw[0]), px(y));
        rowWidgets_.push_back(widget);
      }
      for (GtkWidget* w : {r.check, r.pixels})
        g_signal_connect(w,
                         GTK_IS_ENTRY(w) ? "changed" : "toggled",
                         G_CALLBACK(+[](GtkWidget*, gpointer data) {
                           from(data)->readPortRows();
                           from(data)->refresh();
                         }),
                         this);
      rows_.push_back(r);
    }
    gtk_widget_set_size_request(
        rowsBox_,
        px(600),
        px(12 + kPortRowPitch * static_cast<int32_t>(rows.size())));
    gtk_widget_show_all(rowsBox_);
  }

  void readPortRows() {
    for (size_t i = 0; i < rows_.size(); ++i) {
      wizard_.setPortSelected(
          i, gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(rows_[i].check)));
      wizard_.setPortPixels(i, gtk_entry_get_text(GTK_ENTRY(rows_[i].pixels)));
      wizard_.setPortNulls(i, gtk_entry_get_text(GTK_ENTRY(rows_[i].nulls)));
      wizard_.setPortRgbw(
          i, gtk_combo_box_get_active(GTK_COMBO_BOX(rows_[i].order)) == 1);
    }
  }

  void drawCamera(GtkWidget* widget, cairo_t* cr) {
    const double w = gtk_widget_get_allocated_width(widget);
    const double h = gtk_widget_get_allocated_height(widget);
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.05);
    cairo_paint(cr);
    if (frame_.pixels.empty() || frame_.width < 1 || frame_.height < 1) return;
    cairo_surface_t* image =
        cairo_image_surface_create_for_data(frame_.pixels.data(),
                                            CAIRO_FORMAT_RGB24,
                                            frame_.width,
                                            frame_.height,
                                            frame_.stride);
    const double scale = std::min(w / frame_.width, h / frame_.height);
    cairo_translate(
        cr, (w - frame_.width * scale) / 2, (h - frame_.height * scale) / 2);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint(cr);
    cairo_surface_destroy(image);
  }

  void drawReview(GtkWidget* widget, cairo_t* cr) {
    const double w = gtk_widget_get_allocated_width(widget);
    const double h = gtk_widget_get_allocated_height(widget);
    const ReviewDrawing d = wizard_.reviewDrawing(w, h);
    setDrawColour(cr, d.background);
    cairo_paint(cr);
    if (!d.path.empty()) {
      setDrawColour(cr, d.lineColour);
      cairo_set_line_width(cr, 1);
      cairo_move_to(cr, d.path[0][0], d.path[0][1]);
      for (const auto& p : d.path) cairo_line_to(cr, p[0], p[1]);
      cairo_stroke(cr);
    }
    for (const Dot& dot : d.dots) {
      setDrawColour(cr, dot.colour);
      cairo_arc(cr, dot.x, dot.y, dot.radius, 0, 2 * G_PI);
      cairo_fill(cr);
    }
  }

  // A file chooser of `action` titled `title`, set up by `prepare`; the
  // chosen path, or "" when it was dismissed.
  std::string runChooser(const char* title,
                         GtkFileChooserAction action,
                         const char* accept,
                         const std::function<void(GtkFileChooser*)>& prepare) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(title,
                                                    GTK_WINDOW(window_),
                                                    action,
                                                    "_Cancel",
                                                    GTK_RESPONSE_CANCEL,
                                                    accept,
                                                    GTK_RESPONSE_ACCEPT,
                                                    nullptr);
    if (prepare) prepare(GTK_FILE_CHOOSER(dialog));
    std::string chosen;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
      if (gchar* name =
              gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
        chosen = name;
        g_free(name);
      }
    }
    gtk_widget_destroy(dialog);
    return chosen;
  }

  std::string chooseFile(const std::string& suggestion) {
    std::string chosen = runChooser(
        "Save mapped model",
        GTK_FILE_CHOOSER_ACTION_SAVE,
        "_Save",
        [&](GtkFileChooser* chooser) {
          GtkFileFilter* filter = gtk_file_filter_new();
          gtk_file_filter_set_name(filter, "xLights Model");
          gtk_file_filter_add_pattern(filter, "*.xmodel");
          gtk_file_chooser_add_filter(chooser, filter);
          gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
          gtk_file_chooser_set_current_name(chooser, suggestion.c_str());
        });
    if (!chosen.empty() &&
        chosen.find('.', chosen.find_last_of('/') + 1) == std::string::npos)
      chosen += ".xmodel";
    return chosen;
  }

  std::string chooseFolder() {
    return runChooser("Choose a folder for the raw scan data",
                      GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
                      "_Select",
                      nullptr);
  }

 public:
  // Keeps the window alive until it is destroyed.
  std::shared_ptr<ScanWindow> self_;

 private:
  struct RowWidgets {
    GtkWidget* check = nullptr;
    GtkWidget* pixels = nullptr;
    GtkWidget* nulls = nullptr;
    GtkWidget* order = nullptr;
  };

  std::string hostField_;
  int32_t controllerKind_ = 0;  // the list's first choice
  ScanWizard wizard_;
  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GtkWidget* viewport_ = nullptr;
  GtkWidget* rowsBox_ = nullptr;
  GtkWidget* totalLabel_ = nullptr;
  GtkWidget* viewsLabel_ = nullptr;
  GtkWidget* statusLabel_ = nullptr;
  GtkWidget* cameraPreview_ = nullptr;
  GtkWidget* reviewPreview_ = nullptr;
  std::map<int32_t, GtkWidget*> widgets_;
  std::vector<std::pair<const ControlLayout*, GtkWidget*>> controls_;
  std::vector<GtkWidget*> rowWidgets_;
  std::vector<RowWidgets> rows_;
  PreviewFrame frame_;
  double scale_ = 1;
  bool updating_ = false;
  bool dragging_ = false;
  double lastX_ = 0, lastY_ = 0;
};

}  // namespace

bool openScanWindow(ScanWindowLaunch launch) {
  if (!ensureGtk()) {
    // Never on the caller's thread: the host may hold a lock it takes
    // again in its callback.
    std::thread([launch = std::move(launch)]() mutable {
      if (launch.result) launch.result("");
      destroyScanSession(std::move(launch.session));
    }).detach();
    return false;
  }
  auto shared = std::make_shared<ScanWindowLaunch>(std::move(launch));
  onGtkThread([shared] {
    auto window = std::make_shared<ScanWindow>(std::move(*shared));
    window->self_ = window;
    window->open();
  });
  return true;
}

}  // namespace pxo::ui
