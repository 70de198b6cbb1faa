#include "preview_image.h"

#include "platform/utf8_path.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>

namespace pxo::tools {

namespace {

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

void putBigEndian(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<uint8_t>(value >> shift));
}

void putChunk(std::vector<uint8_t>* out,
              const char (&type)[5],
              const std::vector<uint8_t>& body) {
  putBigEndian(out, static_cast<uint32_t>(body.size()));
  const size_t typeAt = out->size();
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), body.begin(), body.end());
  putBigEndian(out, crc32(out->data() + typeAt, body.size() + 4));
}

// Rows of RGB as a PNG. The picture data is a zlib stream of stored
// (uncompressed) blocks: a preview is looked at once, so a few hundred
// kilobytes more are cheaper than a compressor.
std::vector<uint8_t> encodePng(int32_t width,
                               int32_t height,
                               const std::vector<uint8_t>& rgb) {
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> raw;
  raw.reserve((rowBytes + 1) * static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    const auto row = rgb.begin() + static_cast<std::ptrdiff_t>(y * rowBytes);
    raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(rowBytes));
  }
  std::vector<uint8_t> zlib = {0x78, 0x01};
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  size_t at = 0;
  do {
    const size_t length = std::min<size_t>(raw.size() - at, 65535);
    const bool last = at + length == raw.size();
    zlib.push_back(last ? 1 : 0);
    zlib.push_back(static_cast<uint8_t>(length));
    zlib.push_back(static_cast<uint8_t>(length >> 8));
    zlib.push_back(static_cast<uint8_t>(~length));
    zlib.push_back(static_cast<uint8_t>(~length >> 8));
    zlib.insert(zlib.end(),
                raw.begin() + static_cast<std::ptrdiff_t>(at),
                raw.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  } while (at < raw.size());
  putBigEndian(&zlib, (b << 16) | a);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> header;
  putBigEndian(&header, static_cast<uint32_t>(width));
  putBigEndian(&header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  putChunk(&png, "IHDR", header);
  putChunk(&png, "IDAT", zlib);
  putChunk(&png, "IEND", {});
  return png;
}

struct Canvas {
  int32_t width;
  int32_t height;
  std::vector<uint8_t> rgb;

  void put(int32_t x, int32_t y, std::array<uint8_t, 3> c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    p[0] = c[0];
    p[1] = c[1];
    p[2] = c[2];
  }
  void line(
      double x0, double y0, double x1, double y1, std::array<uint8_t, 3> c) {
    int steps =
        static_cast<int>(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))) + 1;
    for (int i = 0; i <= steps; ++i) {
      double t = double(i) / steps;
      put(static_cast<int32_t>(std::lround(x0 + (x1 - x0) * t)),
          static_cast<int32_t>(std::lround(y0 + (y1 - y0) * t)),
          c);
    }
  }
  void ring(double cx, double cy, double r, std::array<uint8_t, 3> c) {
    for (int a = 0; a < 32; ++a) {
      double t = a * 6.283185307 / 32;
      put(static_cast<int32_t>(std::lround(cx + r * std::cos(t))),
          static_cast<int32_t>(std::lround(cy + r * std::sin(t))),
          c);
    }
  }
  // Digits in a 3 × 5 font.
  void number(int32_t x, int32_t y, int32_t value, std::array<uint8_t, 3> c) {
    static constexpr uint16_t kDigits[10] = {0x7B6F,
                                             0x2C97,
                                             0x73E7,
                                             0x73CF,
                                             0x5BC9,
                                             0x79CF,
                                             0x79EF,
                                             0x7249,
                                             0x7BEF,
                                             0x7BCF};
    std::string text = std::to_string(value);
    for (char ch : text) {
      uint16_t bits = kDigits[ch - '0'];
      for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 3; ++col)
          if (bits & (1u << (14 - (row * 3 + col)))) put(x + col, y + row, c);
      x += 4;
    }
  }
};

}  // namespace

bool writePreviewPng(const pxowin::BgraFrame& frame,
                     const std::vector<DecodedLed>& leds,
                     const std::string& path,
                     std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  if (frame.width < 1 || frame.height < 1)
    return fail("no frame for the preview");
  Canvas canvas{frame.width,
                frame.height,
                std::vector<uint8_t>(static_cast<size_t>(frame.width) *
                                     frame.height * 3)};
  // The picture, darkened so the marks stand out.
  for (int32_t y = 0; y < frame.height; ++y)
    for (int32_t x = 0; x < frame.width; ++x) {
      const uint8_t* p =
          &frame.pixels[static_cast<size_t>(y) * frame.stride + size_t{4} * x];
      canvas.put(x,
                 y,
                 {static_cast<uint8_t>(p[2] / 2),
                  static_cast<uint8_t>(p[1] / 2),
                  static_cast<uint8_t>(p[0] / 2)});
    }
  std::vector<DecodedLed> sorted = leds;
  std::sort(
      sorted.begin(),
      sorted.end(),
      [](const DecodedLed& a, const DecodedLed& b) { return a.id < b.id; });
  for (size_t i = 1; i < sorted.size(); ++i)
    canvas.line(sorted[i - 1].x,
                sorted[i - 1].y,
                sorted[i].x,
                sorted[i].y,
                {70, 70, 140});
  for (size_t i = 0; i < sorted.size(); ++i) {
    const DecodedLed& led = sorted[i];
    std::array<uint8_t, 3> colour = led.estimated
                                        ? std::array<uint8_t, 3>{255, 150, 0}
                                        : std::array<uint8_t, 3>{255, 255, 255};
    if (i == 0) colour = {0, 255, 0};
    canvas.ring(led.x, led.y, 4, colour);
    if (!led.estimated)
      canvas.number(static_cast<int32_t>(led.x) + 5,
                    static_cast<int32_t>(led.y) - 7,
                    led.id,
                    colour);
  }

  const std::vector<uint8_t> png =
      encodePng(canvas.width, canvas.height, canvas.rgb);
  std::ofstream file(platform::pathFromUtf8(path), std::ios::binary);
  if (!file) return fail("could not open " + path);
  file.write(reinterpret_cast<const char*>(png.data()),
             static_cast<std::streamsize>(png.size()));
  if (!file.flush()) return fail("could not write " + path);
  return true;
}

}  // namespace pxo::tools
