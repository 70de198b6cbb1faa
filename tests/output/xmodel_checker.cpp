#include "output/xmodel_checker.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace pxo::testing {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : text) {
    if (c == separator) {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  parts.push_back(current);
  return parts;
}

bool unescape(const std::string& raw, std::string* out) {
  out->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '&') {
      if (raw[i] == '<') return false;
      out->push_back(raw[i]);
      continue;
    }
    size_t end = raw.find(';', i);
    if (end == std::string::npos) return false;
    std::string entity = raw.substr(i, end - i + 1);
    if (entity == "&amp;")
      out->push_back('&');
    else if (entity == "&lt;")
      out->push_back('<');
    else if (entity == "&gt;")
      out->push_back('>');
    else if (entity == "&quot;")
      out->push_back('"');
    else if (entity == "&apos;")
      out->push_back('\'');
    else
      return false;
    i = end;
  }
  return true;
}

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

}  // namespace

bool parseXmodel(const std::string& text,
                 XmodelFile* out,
                 std::string* problem) {
  size_t at = 0;
  if (text.rfind("<?xml", 0) == 0) {
    at = text.find("?>");
    if (at == std::string::npos)
      return *problem = "unterminated declaration", false;
    at += 2;
  }
  while (at < text.size() && isSpace(text[at])) ++at;
  if (at >= text.size() || text[at] != '<')
    return *problem = "no root element", false;
  size_t nameEnd = ++at;
  while (nameEnd < text.size() && !isSpace(text[nameEnd]) &&
         text[nameEnd] != '>' && text[nameEnd] != '/')
    ++nameEnd;
  out->root = text.substr(at, nameEnd - at);
  at = nameEnd;
  for (;;) {
    while (at < text.size() && isSpace(text[at])) ++at;
    if (at >= text.size()) return *problem = "unterminated start tag", false;
    if (text[at] == '>' || text.compare(at, 2, "/>") == 0) break;
    size_t eq = text.find('=', at);
    if (eq == std::string::npos || text[eq + 1] != '"')
      return *problem = "malformed attribute", false;
    std::string key = text.substr(at, eq - at);
    size_t close = text.find('"', eq + 2);
    if (close == std::string::npos)
      return *problem = "unterminated value", false;
    std::string value;
    if (!unescape(text.substr(eq + 2, close - eq - 2), &value))
      return *problem = "bad entity in " + key, false;
    if (out->attributes.count(key))
      return *problem = "repeated attribute " + key, false;
    out->attributes[key] = value;
    at = close + 1;
  }
  if (text[at] == '>') {
    std::string end = "</" + out->root + ">";
    size_t closeTag = text.find(end, at);
    if (closeTag == std::string::npos) return *problem = "no end tag", false;
    for (size_t i = at + 1; i < closeTag; ++i)
      if (!isSpace(text[i])) return *problem = "unexpected content", false;
  }
  return true;
}

std::vector<std::string> checkXmodel(const std::string& text) {
  std::vector<std::string> problems;
  XmodelFile file;
  std::string problem;
  if (!parseXmodel(text, &file, &problem)) return {problem};
  auto attr = [&](const char* key) -> const std::string* {
    auto it = file.attributes.find(key);
    return it == file.attributes.end() ? nullptr : &it->second;
  };
  auto integer = [&](const char* key, long fallback) {
    const std::string* v = attr(key);
    if (!v) return fallback;
    char* end = nullptr;
    long n = std::strtol(v->c_str(), &end, 10);
    if (end == v->c_str() || *end)
      problems.push_back(std::string(key) + " is not a number");
    return n;
  };
  const std::string* name = attr("name");
  if (!name || name->empty()) problems.push_back("no name");
  const std::string* displayAs = attr("DisplayAs");
  if (displayAs && displayAs->empty()) problems.push_back("empty DisplayAs");

  if (file.root == "custommodel") {
    if (displayAs && *displayAs != "Custom")
      problems.push_back("DisplayAs disagrees");
    if (attr("CustomModelCompressed"))
      problems.push_back("compressed grid as well");
    long width = integer("CustomWidth", -1),
         height = integer("CustomHeight", -1);
    long depth = integer("Depth", 1);
    if (width < 1 || height < 1) problems.push_back("no size");
    if (integer("parm1", -1) != width || integer("parm2", -1) != height)
      problems.push_back("parm1/parm2 disagree with the size");
    if (attr("parm3") && integer("parm3", -1) != std::max(depth, 1L))
      problems.push_back("parm3 disagrees with the depth");
    const std::string* grid = attr("CustomModel");
    if (!grid) return problems.push_back("no CustomModel"), problems;
    std::vector<std::string> layers = split(*grid, '|');
    if (static_cast<long>(layers.size()) != std::max(depth, 1L))
      problems.push_back("layer count " + std::to_string(layers.size()) +
                         " != Depth");
    for (const std::string& layer : layers) {
      std::vector<std::string> rows = split(layer, ';');
      if (static_cast<long>(rows.size()) != height)
        problems.push_back("row count " + std::to_string(rows.size()) +
                           " != height");
      for (const std::string& row : rows) {
        std::vector<std::string> cells = split(row, ',');
        if (static_cast<long>(cells.size()) != width)
          problems.push_back("cell count " + std::to_string(cells.size()) +
                             " != width");
        for (const std::string& cell : cells) {
          if (cell.empty()) continue;
          char* end = nullptr;
          long node = std::strtol(cell.c_str(), &end, 10);
          if (*end || node < 1) problems.push_back("bad cell '" + cell + "'");
        }
      }
    }
  } else if (file.root == "multipointmodel") {
    if (displayAs && *displayAs != "MultiPoint")
      problems.push_back("DisplayAs disagrees");
    long count = integer("NumPoints", 2);
    const std::string* data = attr("PointData");
    if (!data) return problems.push_back("no PointData"), problems;
    std::vector<std::string> values =
        data->empty() ? std::vector<std::string>{} : split(*data, ',');
    if (values.size() % 3 != 0) problems.push_back("PointData is not triples");
    if (static_cast<long>(values.size() / 3) != count)
      problems.push_back("NumPoints disagrees with PointData");
    for (const std::string& v : values) {
      char* end = nullptr;
      errno = 0;
      double d = std::strtod(v.c_str(), &end);
      if (*end || errno) problems.push_back("bad coordinate '" + v + "'");
      if (d < 0 || d >= 100000)
        problems.push_back("coordinate out of range " + v);
      if (v.find('.') == std::string::npos)
        problems.push_back("no decimal point in " + v);
    }
  } else {
    problems.push_back("root element " + file.root);
  }
  return problems;
}

}  // namespace pxo::testing
