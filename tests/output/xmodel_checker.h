#pragma once

#include <map>
#include <string>
#include <vector>

// Reads a written .xmodel back the way the host's importer does, as far as
// its import checklist goes: the root element, the required attributes, a
// grid whose dimensions agree with its cell text, a point list whose count
// agrees with NumPoints. Returns the problems found (none: importable).

namespace pxo::testing {

struct XmodelFile {
  std::string root;
  std::map<std::string, std::string> attributes;  // values unescaped
};

bool parseXmodel(const std::string& text,
                 XmodelFile* out,
                 std::string* problem);
std::vector<std::string> checkXmodel(const std::string& text);

}  // namespace pxo::testing
