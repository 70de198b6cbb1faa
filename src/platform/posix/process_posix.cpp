#include "platform/process.h"

#include <unistd.h>

namespace pxo::platform {

uint32_t processId() { return static_cast<uint32_t>(::getpid()); }

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) != 0; }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace pxo::platform
