// The outside binary-patch library, patchw32.dll: loaded once per process by its bare
// name (the ordinary library search, starting with the program's directory) and freed
// at process exit.
#pragma once
#include "patchlib/patchw32.h"

// Loads the library the first time it is called; later calls only return what the first
// one found. Not retried after a failure. The caller serialises the first call.
bool LoadPatchLibraryOnce();

// The library's entry point, or null when the library or the export is missing.
PatchApplyEntry ResolvePatchApplyEntry();
