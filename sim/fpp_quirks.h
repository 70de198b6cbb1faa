#pragma once

#include "json/json.h"

#include <string>
#include <string_view>

// How the controller's PHP layer treats the documents it stores and serves.

namespace pxo::sim {

// PHP's stripslashes(): a backslash is dropped and the byte after it kept
// ("\\0" gives a NUL byte); a lone trailing backslash disappears.
std::string stripSlashes(std::string_view text);

// PHP's json_encode() with its default flags: "/" written as "\/", every
// non-ASCII character as "\uXXXX" (surrogate pairs above U+FFFF). With
// `pretty`, tab-indented one member per line, as the controller writes its
// universe file. The JSON module's writer in the controller's style: it must
// match what the real controller sends, which is what our parser has to cope
// with.
std::string phpJsonEncode(const JsonValue& value, bool pretty = false);

}  // namespace pxo::sim
