#include "platform/state_file.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pxo::platform {

namespace {

bool failWith(std::string* error, const std::string& what) {
  if (error)
    *error =
        what + ": " + std::error_code(errno, std::generic_category()).message();
  return false;
}

}  // namespace

std::filesystem::path userStateFolder() {
  // NOLINTBEGIN(concurrency-mt-unsafe): nothing here sets the environment
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  // NOLINTEND(concurrency-mt-unsafe)
  if (state && *state == '/') return state;
  if (home && *home) return std::filesystem::path(home) / ".local" / "state";
  return {};
}

bool makePrivateFolder(const std::filesystem::path& folder,
                       std::string* error) {
  if (folder.empty()) {
    if (error) *error = "no folder for the user's state (HOME is not set)";
    return false;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return true;
  if (folder.has_parent_path() && folder.parent_path() != folder &&
      !makePrivateFolder(folder.parent_path(), error))
    return false;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return failWith(error, "could not create " + folder.string());
  return true;
}

bool replaceFileAtomically(const std::filesystem::path& path,
                           std::string_view bytes,
                           std::string* error) {
  const std::filesystem::path temporary =
      path.string() + ".tmp-" + std::to_string(::getpid());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return failWith(error, "could not create " + temporary.string());
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n =
        ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failWith(error, "could not write " + temporary.string());
      ::close(fd);
      ::unlink(temporary.c_str());
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    failWith(error, "could not flush " + temporary.string());
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    failWith(error, "could not replace " + path.string());
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder's entry.
  const std::filesystem::path folder =
      path.has_parent_path() ? path.parent_path() : ".";
  if (const int dir =
          ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace pxo::platform
