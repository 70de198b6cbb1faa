#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Files a program keeps for its user between runs, written so that a crash
// or a power cut at any moment leaves either the old file or the new one,
// whole.

namespace pxo::platform {

// The user's own folder for such state: $XDG_STATE_HOME, else
// ~/.local/state (Linux); %LOCALAPPDATA% (Windows). Empty when the
// environment names none.
std::filesystem::path userStateFolder();

// Creates `folder` and its parents; the folders made are the user's only
// (0700 on Linux; on Windows the profile's own permissions hold).
[[nodiscard]] bool makePrivateFolder(const std::filesystem::path& folder,
                                     std::string* error);

// Replaces `path` with `bytes`: a temporary file beside it, flushed to the
// disk, renamed over it (and, on Linux, the folder flushed). The file is
// readable by its user only. False with a message naming the step that
// failed; the old file is then untouched.
[[nodiscard]] bool replaceFileAtomically(const std::filesystem::path& path,
                                         std::string_view bytes,
                                         std::string* error);

}  // namespace pxo::platform
