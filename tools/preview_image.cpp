#include "preview_image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

#include <png.h>

namespace pxo::tools {

namespace {

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

  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"),
                                             &std::fclose);
  if (!file) return fail("could not open " + path);
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, &info);
    return fail("could not write " + path);
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return fail("could not write " + path);
  }
  png_init_io(png, file.get());
  png_set_IHDR(png,
               info,
               static_cast<png_uint_32>(canvas.width),
               static_cast<png_uint_32>(canvas.height),
               8,
               PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int32_t y = 0; y < canvas.height; ++y)
    png_write_row(png, &canvas.rgb[static_cast<size_t>(y) * canvas.width * 3]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace pxo::tools
