#include "output/model_writer.h"

#include "codec/xml_text.h"
#include "platform/utf8_path.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

namespace pxo {

namespace {

std::string scaleText(int32_t divisor) {
  float d = static_cast<float>(std::max(divisor, 1));
  float scale = 100.0f / d;
  return formatFixed6(static_cast<double>(scale));
}

void attribute(std::string* out, const char* key, const std::string& value) {
  out->append("    ").append(key).append("=\"").append(value).append("\"\n");
}

}  // namespace

std::string formatFixed6(double value) {
  char buffer[400];
  auto written = std::to_chars(
      buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (written.ec != std::errc()) return "0.000000";
  return std::string(buffer, written.ptr);
}

std::string buildCustomModelGrid(int32_t width,
                                 int32_t height,
                                 int32_t depth,
                                 std::span<const int32_t> cells) {
  std::string out;
  for (int32_t layer = 0; layer < depth; ++layer) {
    if (layer > 0) out.push_back('|');
    for (int32_t row = 0; row < height; ++row) {
      if (row > 0) out.push_back(';');
      for (int32_t column = 0; column < width; ++column) {
        if (column > 0) out.push_back(',');
        size_t index =
            (static_cast<size_t>(layer) * height + row) * width + column;
        if (index < cells.size() && cells[index] > 0)
          out.append(std::to_string(cells[index]));
      }
    }
  }
  return out;
}

std::string buildCustomModelXml(const std::string& name,
                                int32_t width,
                                int32_t height,
                                int32_t depth,
                                std::span<const int32_t> cells) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<custommodel\n";
  attribute(&out, "name", xmlEscape(name));
  attribute(&out, "DisplayAs", "Custom");
  attribute(&out, "CustomWidth", std::to_string(width));
  attribute(&out, "CustomHeight", std::to_string(height));
  if (depth > 1) attribute(&out, "Depth", std::to_string(depth));
  // Releases up to 2026.03 read the size only from these.
  attribute(&out, "parm1", std::to_string(width));
  attribute(&out, "parm2", std::to_string(height));
  attribute(&out, "parm3", std::to_string(std::max(depth, 1)));
  attribute(&out, "StringType", xmlEscape(kModelStringType));
  attribute(&out, "Transparency", "0");
  attribute(&out, "PixelSize", "2");
  attribute(&out, "ModelBrightness", "0");
  attribute(&out, "Antialias", "1");
  attribute(&out, "ScaleX", scaleText(width));
  attribute(&out, "ScaleY", scaleText(height));
  attribute(&out, "ScaleZ", scaleText(depth >= 2 ? depth : width));
  attribute(&out, "StrandNames", "");
  attribute(&out, "NodeNames", "");
  attribute(&out,
            "CustomModel",
            xmlEscape(buildCustomModelGrid(width, height, depth, cells)));
  attribute(&out, "SourceVersion", xmlEscape(kModelSourceVersion));
  attribute(&out, "Controller", "No Controller");
  attribute(&out, "StartChannel", "1");
  out.append("    >\n</custommodel>\n");
  return out;
}

std::string buildMultiPointModelXml(const std::string& name,
                                    std::span<const ModelPoint2D> points2d,
                                    std::span<const ModelPoint3D> points3d) {
  std::string points;
  size_t count = 0;
  auto add = [&](double v) {
    if (!points.empty()) points.push_back(',');
    points.append(formatFixed6(v));
  };
  if (!points3d.empty()) {
    std::vector<ModelPoint3D> sorted(points3d.begin(), points3d.end());
    std::stable_sort(sorted.begin(),
                     sorted.end(),
                     [](const ModelPoint3D& a, const ModelPoint3D& b) {
                       return a.id < b.id;
                     });
    float minX = sorted[0].x, maxX = minX, minY = -sorted[0].y, maxY = minY;
    float minZ = sorted[0].z, maxZ = minZ;
    for (const ModelPoint3D& p : sorted) {
      minX = std::min(minX, p.x);
      maxX = std::max(maxX, p.x);
      minY = std::min(minY, -p.y);
      maxY = std::max(maxY, -p.y);
      minZ = std::min(minZ, p.z);
      maxZ = std::max(maxZ, p.z);
    }
    float span = std::max({maxX - minX, maxY - minY, maxZ - minZ, 0.000001f});
    for (const ModelPoint3D& p : sorted) {
      add(static_cast<double>((p.x - minX) / span));
      add(static_cast<double>((-p.y - minY) / span));
      add(static_cast<double>((p.z - minZ) / span));
    }
    count = sorted.size();
  } else {
    std::vector<ModelPoint2D> sorted(points2d.begin(), points2d.end());
    std::stable_sort(sorted.begin(),
                     sorted.end(),
                     [](const ModelPoint2D& a, const ModelPoint2D& b) {
                       return a.id < b.id;
                     });
    for (const ModelPoint2D& p : sorted) {
      add(static_cast<double>(p.x));
      add(1.0 - static_cast<double>(p.y));
      add(0.0);
    }
    count = sorted.size();
  }

  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<multipointmodel\n";
  attribute(&out, "name", xmlEscape(name));
  attribute(&out, "DisplayAs", "MultiPoint");
  attribute(&out, "NumPoints", std::to_string(count));
  attribute(&out, "PointData", xmlEscape(points));
  attribute(&out, "StringType", xmlEscape(kModelStringType));
  attribute(&out, "parm1", "1");
  attribute(&out, "parm2", std::to_string(count));
  attribute(&out, "parm3", "1");
  attribute(&out, "Transparency", "0");
  attribute(&out, "PixelSize", "2");
  attribute(&out, "ModelBrightness", "0");
  attribute(&out, "Antialias", "1");
  attribute(&out, "ScaleX", "100.000000");
  attribute(&out, "ScaleY", "100.000000");
  attribute(&out, "ScaleZ", "100.000000");
  attribute(&out, "StrandNames", "");
  attribute(&out, "NodeNames", "");
  attribute(&out, "SourceVersion", xmlEscape(kModelSourceVersion));
  attribute(&out, "Controller", "No Controller");
  attribute(&out, "StartChannel", "1");
  out.append("    >\n</multipointmodel>\n");
  return out;
}

std::string modelFileStem(std::string_view name) {
  std::string stem;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    bool refused = u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == ':' ||
                   c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
                   c == '|';
    stem.push_back(refused ? '_' : c);
  }
  // ".." anywhere could climb out of the directory; so could a stem that
  // is only dots.
  for (size_t at = stem.find(".."); at != std::string::npos;
       at = stem.find("..", at))
    stem.replace(at, 2, "__");
  // Windows ignores trailing dots and spaces; keep the stem what it says.
  while (!stem.empty() && (stem.back() == '.' || stem.back() == ' '))
    stem.back() = '_';
  return stem.empty() ? "MappedModel" : stem;
}

template <typename Point>
std::vector<Point> fillMissingIds(std::span<const Point> points) {
  std::map<int32_t, Point> byId;
  for (const Point& p : points)
    if (p.id >= 1) byId.emplace(p.id, p);
  std::vector<Point> out;
  if (byId.empty()) return out;
  const int32_t highest = byId.rbegin()->first;
  out.reserve(static_cast<size_t>(highest));
  for (int32_t id = 1; id <= highest; ++id) {
    auto above = byId.lower_bound(id);
    Point p;
    if (above->first == id || above == byId.begin()) {
      p = above->second;  // present, or before the lowest present ID
    } else {
      auto below = std::prev(above);
      p = (id - below->first <= above->first - id) ? below->second
                                                   : above->second;
    }
    p.id = id;
    out.push_back(p);
  }
  return out;
}

template std::vector<ModelPoint2D> fillMissingIds(
    std::span<const ModelPoint2D>);
template std::vector<ModelPoint3D> fillMissingIds(
    std::span<const ModelPoint3D>);

std::string writeModelFile(const ModelOutputInputs& inputs,
                           ModelOutputKind kind,
                           std::string* error,
                           const std::string& directory) {
  auto fail = [&](const char* message) {
    if (error) *error = message;
    return std::string();
  };
  if (inputs.modelName.empty()) return fail("no scan to write");
  if (kind == ModelOutputKind::kMultiPoint3D && inputs.points3d.empty())
    return fail("no 3D solve to write");
  if (kind == ModelOutputKind::kCustomGrid && !inputs.hasGrid())
    return fail("no grid to write");

  std::string text;
  switch (kind) {
    case ModelOutputKind::kCustomGrid:
      text = buildCustomModelXml(inputs.modelName,
                                 inputs.gridWidth,
                                 inputs.gridHeight,
                                 inputs.gridDepth,
                                 inputs.cells);
      break;
    case ModelOutputKind::kMultiPoint2D:
      text = buildMultiPointModelXml(
          inputs.modelName,
          fillMissingIds(std::span<const ModelPoint2D>(inputs.points2d)),
          {});
      break;
    case ModelOutputKind::kMultiPoint3D:
      text = buildMultiPointModelXml(
          inputs.modelName,
          inputs.points2d,
          fillMissingIds(std::span<const ModelPoint3D>(inputs.points3d)));
      break;
  }
  if (text.empty()) return fail("xmodel write failed");

  std::error_code ec;
  std::filesystem::path folder = directory.empty()
                                     ? std::filesystem::temp_directory_path(ec)
                                     : platform::pathFromUtf8(directory);
  if (ec) return fail("xmodel write failed");
  std::filesystem::path path =
      folder / (modelFileStem(inputs.modelName) + ".xmodel");
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return fail("xmodel write failed");
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) return fail("xmodel write failed");
  return platform::pathToUtf8(path);
}

}  // namespace pxo
