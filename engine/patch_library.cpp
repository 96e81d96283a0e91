#include "engine/patch_library.h"

#include <windows.h>

#include "common/win_handles.h"

namespace {

struct PatchLibrary {
    bool attempted = false;
    UniqueLibrary module;  // freed when the process ends
};

PatchLibrary& Library() {
    static PatchLibrary library;
    return library;
}

}  // namespace

bool LoadPatchLibraryOnce() {
    PatchLibrary& library = Library();
    if (!library.attempted) {
        library.attempted = true;
        library.module.reset(LoadLibraryA("patchw32.dll"));
    }
    return library.module.valid();
}

PatchApplyEntry ResolvePatchApplyEntry() {
    PatchLibrary& library = Library();
    if (!library.module.valid()) return nullptr;
    return reinterpret_cast<PatchApplyEntry>(
        reinterpret_cast<void*>(GetProcAddress(library.module.get(), PATCHLIB_ENTRY_NAME)));
}
