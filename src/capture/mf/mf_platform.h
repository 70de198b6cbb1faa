#pragma once

// What the Media Foundation back end shares: the platform's functions,
// looked up at run time (a Windows edition without Media Foundation still
// loads the library; only its cameras and recordings fail), the process-wide
// start-up count, COM for the calling thread, a small owning pointer for COM
// objects, and frames out of media buffers.

#include "capture/capture_source.h"
#include "platform/windows/wide_text.h"

#include <cstdint>
#include <string>
#include <utility>

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <windows.h>

namespace pxowin::mf {

// Owns one reference to a COM object.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For the out-parameter of a call that hands over a new reference.
  T** put() {
    reset();
    return &p_;
  }
  template <typename U>
  ComPtr<U> as(REFIID iid) const {
    ComPtr<U> other;
    if (p_) p_->QueryInterface(iid, reinterpret_cast<void**>(other.put()));
    return other;
  }

 private:
  T* p_ = nullptr;
};

// The Media Foundation functions this back end calls (mfplat.dll, mf.dll,
// mfreadwrite.dll), valid between acquire() and release().
struct Api {
  decltype(&::MFStartup) startup = nullptr;
  decltype(&::MFShutdown) shutdown = nullptr;
  decltype(&::MFCreateAttributes) createAttributes = nullptr;
  decltype(&::MFCreateMediaType) createMediaType = nullptr;
  decltype(&::MFCreateSample) createSample = nullptr;
  decltype(&::MFCreateMemoryBuffer) createMemoryBuffer = nullptr;
  decltype(&::MFTEnumEx) enumTransforms = nullptr;
  decltype(&::MFEnumDeviceSources) enumDeviceSources = nullptr;
  decltype(&::MFCreateDeviceSource) createDeviceSource = nullptr;
  decltype(&::MFCreateSourceReaderFromURL) createSourceReaderFromUrl = nullptr;
  decltype(&::MFCreateSourceReaderFromMediaSource)
      createSourceReaderFromMediaSource = nullptr;
  decltype(&::MFCreateSinkWriterFromURL) createSinkWriterFromUrl = nullptr;
};

// Takes one count of the process-wide start-up (MFStartup on the first);
// false when Media Foundation is missing or does not start.
[[nodiscard]] bool acquire();
// Gives one count back (MFShutdown on the last).
void release();
// The functions; only to be used while holding a count.
const Api& api();

// Holds one start-up count for the lifetime of an object.
class Started {
 public:
  Started() = default;
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  ~Started() {
    if (held_) release();
  }
  // Takes the count once; true while it is held.
  bool take() { return held_ || (held_ = acquire()); }
  bool held() const { return held_; }

 private:
  bool held_ = false;
};

// COM for the calling thread for the lifetime of the object, undone only
// when this object's initialisation succeeded (a thread already in another
// apartment keeps it).
class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_MULTITHREADED)
      : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, model))) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (initialised_) ::CoUninitialize();
  }

 private:
  bool initialised_;
};

using pxo::platform::narrow;
using pxo::platform::widen;

// A 64-bit attribute packed as two 32-bit halves (frame size, frame rate).
UINT64 packHalves(uint32_t high, uint32_t low);

// The video format a reader hands over: packed 32-bit RGB (B, G, R, X in
// memory), or NV12 where the platform offers no conversion to it.
enum class PixelFormat { kRgb32, kNv12 };

// What a reader or decoder negotiated for its output.
struct VideoFormat {
  PixelFormat pixels = PixelFormat::kRgb32;
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;  // bytes per row; negative for bottom-up RGB
  int32_t frameRateNumerator = 30;
  int32_t frameRateDenominator = 1;
};

// Reads size, stride and frame rate from a media type: frame size (width
// in the high half), the default stride (width × 4 for RGB, width for NV12
// when absent or 0), the frame rate (30/1 when absent or 0), and the
// display area when it is smaller than the frame (a decoder that pads
// 360 rows to 368).
VideoFormat readVideoFormat(IMFMediaType* type, PixelFormat pixels);

// Asks the reader's first video stream for RGB32, then for NV12.
[[nodiscard]] bool negotiateOutput(IMFSourceReader* reader,
                                   VideoFormat* format);

// One picture of a media buffer as a packed top-down BGRA frame, reduced
// by nearest neighbour so its longer side is at most `maxDimension` (full
// size when below 1). RGB32 rows are copied (bottom-up ones turned);
// NV12 is converted with yuv420ToBgra, its chroma plane found after the
// luma rows the buffer really holds (which may be more than the picture's).
[[nodiscard]] bool frameFromBuffer(IMFMediaBuffer* buffer,
                                   const VideoFormat& format,
                                   int32_t maxDimension,
                                   BgraFrame* out);
// The same for a sample (its buffers made contiguous first).
[[nodiscard]] bool frameFromSample(IMFSample* sample,
                                   const VideoFormat& format,
                                   int32_t maxDimension,
                                   BgraFrame* out);

// Pure: the picture in `data` (as frameFromBuffer describes) to BGRA.
[[nodiscard]] bool frameFromBytes(const uint8_t* data,
                                  size_t length,
                                  const VideoFormat& format,
                                  int32_t maxDimension,
                                  BgraFrame* out);

// True when this process runs under Wine (its ntdll says so).
bool runningUnderWine();

}  // namespace pxowin::mf
