#include "server/command_line.h"

#include <windows.h>

ServerSwitch FindServerSwitch(const char* commandLine) {
    ServerSwitch found = ServerSwitch::Serve;
    if (commandLine == nullptr) return found;
    for (const char* p = commandLine; *p != '\0'; p = CharNextA(p)) {
        if (*p != '-' && *p != '/') continue;
        const char* candidate = p + 1;
        if (lstrcmpiA(candidate, "RegServer") == 0) return ServerSwitch::RegServer;
        if (lstrcmpiA(candidate, "UnregServer") == 0) return ServerSwitch::UnregServer;
        // "--help" is found here at its second '-'.
        if (lstrcmpiA(candidate, "?") == 0 || lstrcmpiA(candidate, "help") == 0) found = ServerSwitch::Usage;
    }
    return found;
}
