// Starting a program through the shell and waiting for it to end.
#pragma once
#include <string>

// With exclusiveOpenTest the program is started only if its file can first be opened
// for reading with no sharing at all. The shell's "open" verb starts it with the given
// parameters, directory (empty: the shell's default) and show command. Returns true
// when the program was started and has ended; its exit code is not looked at.
bool RunAndWait(const std::string& program, const std::string& parameters,
                const std::string& directory, int showCommand, bool exclusiveOpenTest);
