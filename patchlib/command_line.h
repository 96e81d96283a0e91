// The patch library's command line. Three forms are accepted:
//   "DIRECTORY" "PATCH FILE"   two double-quoted texts separated by blanks: the tree to
//                              patch and the patch file (as the engine passes them);
//   "DIRECTORY"                one double-quoted text: only settle an application that
//                              was interrupted in that tree (the engine, before a run);
//   NAME                       one bare name without blanks or quotes: the patch file,
//                              relative to the current directory, which is also the tree
//                              to patch (as the install library passes "install.rtp").
// Blanks before and after are ignored. Anything else is refused.
#pragma once
#include <string>

struct PatchCommand {
    std::string directory;  // empty: the current directory
    std::string patchFile;  // empty: settle the directory only
};

bool ParsePatchCommandLine(const char* text, PatchCommand* command);
