#include "capture/mf/mf_platform.h"

#include "capture/pixel_convert.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace pxowin::mf {
namespace {

// MF_SDK_VERSION 0x0002 and MF_API_VERSION 0x0070.
constexpr ULONG kMediaFoundationVersion = 0x20070;

std::mutex countMutex;
int count = 0;
Api functions;
HMODULE modules[3] = {};
// Keeps the process's multithreaded apartment alive while Media Foundation
// is in use: objects made on one thread are used on others, each of which
// enters and leaves COM per call, and the last thread to leave would
// otherwise unload the decoders under them (Windows 8 and later).
using MtaUsage = HRESULT(WINAPI*)(void**);
using MtaRelease = HRESULT(WINAPI*)(void*);
void* mtaCookie = nullptr;

template <typename F>
bool lookUp(HMODULE module, const char* name, F* out) {
  FARPROC proc = module ? ::GetProcAddress(module, name) : nullptr;
  *out = reinterpret_cast<F>(reinterpret_cast<void*>(proc));
  return proc != nullptr;
}

// Called with countMutex held.
bool load() {
  if (functions.startup) return true;
  const wchar_t* names[3] = {L"mfplat.dll", L"mf.dll", L"mfreadwrite.dll"};
  for (int i = 0; i < 3; ++i) {
    if (!modules[i])
      modules[i] =
          ::LoadLibraryExW(names[i], nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!modules[i]) return false;
  }
  Api api;
  const bool ok =
      lookUp(modules[0], "MFStartup", &api.startup) &&
      lookUp(modules[0], "MFShutdown", &api.shutdown) &&
      lookUp(modules[0], "MFCreateAttributes", &api.createAttributes) &&
      lookUp(modules[0], "MFCreateMediaType", &api.createMediaType) &&
      lookUp(modules[0], "MFCreateSample", &api.createSample) &&
      lookUp(modules[0], "MFCreateMemoryBuffer", &api.createMemoryBuffer) &&
      lookUp(modules[0], "MFTEnumEx", &api.enumTransforms) &&
      lookUp(modules[1], "MFEnumDeviceSources", &api.enumDeviceSources) &&
      lookUp(modules[1], "MFCreateDeviceSource", &api.createDeviceSource) &&
      lookUp(modules[2],
             "MFCreateSourceReaderFromURL",
             &api.createSourceReaderFromUrl) &&
      lookUp(modules[2],
             "MFCreateSourceReaderFromMediaSource",
             &api.createSourceReaderFromMediaSource) &&
      lookUp(modules[2],
             "MFCreateSinkWriterFromURL",
             &api.createSinkWriterFromUrl);
  if (ok) functions = api;
  return ok;
}

}  // namespace

bool acquire() {
  std::lock_guard lock(countMutex);
  if (count == 0) {
    if (!load() || FAILED(functions.startup(kMediaFoundationVersion, 0)))
      return false;
    MtaUsage increment = nullptr;
    if (lookUp(::GetModuleHandleW(L"ole32.dll"),
               "CoIncrementMTAUsage",
               &increment) &&
        FAILED(increment(&mtaCookie)))
      mtaCookie = nullptr;
  }
  ++count;
  return true;
}

void release() {
  std::lock_guard lock(countMutex);
  if (count > 0 && --count == 0) {
    functions.shutdown();
    MtaRelease decrement = nullptr;
    if (mtaCookie && lookUp(::GetModuleHandleW(L"ole32.dll"),
                            "CoDecrementMTAUsage",
                            &decrement))
      decrement(mtaCookie);
    mtaCookie = nullptr;
  }
}

const Api& api() { return functions; }

UINT64 packHalves(uint32_t high, uint32_t low) {
  return (static_cast<UINT64>(high) << 32) | low;
}

VideoFormat readVideoFormat(IMFMediaType* type, PixelFormat pixels) {
  VideoFormat format;
  format.pixels = pixels;
  UINT64 packed = 0;
  if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_SIZE, &packed))) {
    format.width = static_cast<int32_t>(packed >> 32);
    format.height = static_cast<int32_t>(packed & 0xffffffffu);
  }
  UINT32 stride = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)))
    format.stride = static_cast<int32_t>(stride);
  if (format.stride == 0)
    format.stride =
        pixels == PixelFormat::kRgb32 ? format.width * 4 : format.width;
  if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &packed)) &&
      (packed >> 32) != 0) {
    format.frameRateNumerator = static_cast<int32_t>(packed >> 32);
    format.frameRateDenominator =
        std::max<int32_t>(static_cast<int32_t>(packed & 0xffffffffu), 1);
  }
  MFVideoArea area{};
  UINT32 size = 0;
  if (SUCCEEDED(type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE,
                              reinterpret_cast<UINT8*>(&area),
                              sizeof area,
                              &size)) &&
      size == sizeof area && area.OffsetX.value == 0 &&
      area.OffsetY.value == 0 && area.Area.cx > 0 && area.Area.cy > 0 &&
      area.Area.cx <= format.width && area.Area.cy <= format.height) {
    format.width = area.Area.cx;
    format.height = area.Area.cy;
  }
  return format;
}

bool negotiateOutput(IMFSourceReader* reader, VideoFormat* format) {
  const auto stream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
  for (PixelFormat pixels : {PixelFormat::kRgb32, PixelFormat::kNv12}) {
    ComPtr<IMFMediaType> wanted;
    if (FAILED(api().createMediaType(wanted.put()))) return false;
    wanted->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    wanted->SetGUID(MF_MT_SUBTYPE,
                    pixels == PixelFormat::kRgb32 ? MFVideoFormat_RGB32
                                                  : MFVideoFormat_NV12);
    if (FAILED(reader->SetCurrentMediaType(stream, nullptr, wanted.get())))
      continue;
    ComPtr<IMFMediaType> current;
    if (FAILED(reader->GetCurrentMediaType(stream, current.put()))) continue;
    *format = readVideoFormat(current.get(), pixels);
    return true;
  }
  return false;
}

bool frameFromBytes(const uint8_t* data,
                    size_t length,
                    const VideoFormat& format,
                    int32_t maxDimension,
                    BgraFrame* out) {
  const int32_t width = format.width, height = format.height;
  if (width < 1 || height < 1 || !data) return false;
  if (format.pixels == PixelFormat::kNv12) {
    const int32_t stride = std::max(format.stride, width);
    // The rows the buffer holds: luma and half as many chroma rows.
    const auto rows = static_cast<int32_t>(std::min<size_t>(
        length * 2 / (static_cast<size_t>(stride) * 3), INT32_MAX));
    if (rows < height) return false;
    Yuv420Planes planes;
    planes.y = data;
    planes.u = data + static_cast<size_t>(stride) * rows;
    planes.v = planes.u + 1;
    planes.yStride = stride;
    planes.chromaStride = stride;
    planes.chromaStep = 2;
    planes.width = width;
    planes.height = height;
    return yuv420ToBgra(planes, maxDimension, out);
  }
  const int32_t rowBytes = width * 4;
  const int32_t pitch = std::max(std::abs(format.stride), rowBytes);
  if (length < static_cast<size_t>(pitch) * (height - 1) + rowBytes)
    return false;
  BgraFrame full;
  full.width = width;
  full.height = height;
  full.stride = rowBytes;
  full.pixels.resize(static_cast<size_t>(rowBytes) * height);
  for (int32_t y = 0; y < height; ++y) {
    const int32_t sourceRow = format.stride < 0 ? height - 1 - y : y;
    std::memcpy(full.pixels.data() + static_cast<size_t>(y) * rowBytes,
                data + static_cast<size_t>(sourceRow) * pitch,
                static_cast<size_t>(rowBytes));
  }
  *out = downscaleFrame(std::move(full), maxDimension);
  return true;
}

bool frameFromBuffer(IMFMediaBuffer* buffer,
                     const VideoFormat& format,
                     int32_t maxDimension,
                     BgraFrame* out) {
  BYTE* data = nullptr;
  DWORD length = 0;
  if (!buffer || FAILED(buffer->Lock(&data, nullptr, &length))) return false;
  const bool ok = frameFromBytes(data, length, format, maxDimension, out);
  buffer->Unlock();
  return ok;
}

bool frameFromSample(IMFSample* sample,
                     const VideoFormat& format,
                     int32_t maxDimension,
                     BgraFrame* out) {
  ComPtr<IMFMediaBuffer> buffer;
  if (!sample || FAILED(sample->ConvertToContiguousBuffer(buffer.put())))
    return false;
  return frameFromBuffer(buffer.get(), format, maxDimension, out);
}

bool runningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace pxowin::mf
