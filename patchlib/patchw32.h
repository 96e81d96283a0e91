/* The binary-patch library patchw32.dll, as its callers see it.

   Entry point: exported under the name "RTPatchApply32@12" (load it with
   GetProcAddress) and as ordinal 1 (link the import library target
   `patchw32_import`, which imports by ordinal). Standard calling convention, three
   32-bit arguments on i686:
     commandLine  "DIRECTORY" "PATCH FILE" (two double-quoted texts), or one bare
                  patch-file name relative to the current directory, which is then also
                  the directory to patch; in the system's ANSI code page;
     callback     may be null; called on the caller's thread with the message ids of
                  patch_codes.h, texts in the ANSI code page ('?' for a character it
                  lacks); a null answer stops the application;
     flags        reserved; both callers pass 1, any value is accepted.
   Result: PATCHLIB_OK (0) exactly when the patch was applied; otherwise one of the
   PATCHLIB_ERR_ codes and the patch changed nothing (but see PATCHLIB_ERR_ROLLBACK
   and PATCHLIB_ERR_JOURNAL). An application killed half way is finished or undone by
   the next one in the same directory (see patchlib/FORMAT.md). */
#ifndef PATCHLIB_PATCHW32_H
#define PATCHLIB_PATCHW32_H

#include <stdint.h>

#include "patchlib/patch_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* messageId: 32-bit; parameter: text, pointer to a number, or null (see patch_codes.h).
   Returns non-null to go on, null to stop. */
typedef void*(__stdcall* PatchLibraryCallback)(uint32_t messageId, void* parameter);

typedef uint32_t(__stdcall* PatchApplyEntry)(const char* commandLine, PatchLibraryCallback callback,
                                              uint32_t flags);

#define PATCHLIB_ENTRY_NAME "RTPatchApply32@12"
#define PATCHLIB_ENTRY_ORDINAL 1

#ifdef PATCHLIB_BUILDING_DLL
#define PATCHLIB_IMPORT
#else
#define PATCHLIB_IMPORT __declspec(dllimport)
#endif

PATCHLIB_IMPORT uint32_t __stdcall RTPatchApply32(const char* commandLine, PatchLibraryCallback callback,
                                                  uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif
