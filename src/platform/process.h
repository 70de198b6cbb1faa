#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pxo::platform {

// The calling process's ID.
uint32_t processId();

// Whether standard output goes to a terminal (a console on Windows).
bool standardOutputIsTerminal();

// The program's arguments as UTF-8, the program name first. On Windows
// they are read from the wide command line (main's are in the ANSI code
// page) and the console is switched to UTF-8 output.
std::vector<std::string> commandLineArguments(int argc, char** argv);

}  // namespace pxo::platform
