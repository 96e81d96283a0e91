// The switches of halvorin.exe's command line.
#pragma once

enum class ServerSwitch { Serve, RegServer, UnregServer, Usage };

// Scans the whole command line (program path included) for "-" or "/"; a switch is
// everything after that character up to the end of the line, and counts only when it
// equals a switch word as a whole, in any case. The first RegServer or UnregServer ends
// the search. "?" and "help" (so -?, /?, -help, --help) ask for the usage text.
ServerSwitch FindServerSwitch(const char* commandLine);
