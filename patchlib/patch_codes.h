/* Message ids of the patch library's callback and its result codes. Plain C, shared
   by the library, its callers (through patchw32.h) and the portable code. */
#ifndef PATCHLIB_PATCH_CODES_H
#define PATCHLIB_PATCH_CODES_H

/* Callback message ids. The parameter is a zero-terminated text (T), a pointer to a
   number (N) or null (-). Texts are UTF-8 inside the portable code; patchw32.dll
   hands them to its caller in the ANSI code page. */
#define PATCHLIB_MSG_WARNING_TITLE 1u   /* T */
#define PATCHLIB_MSG_WARNING_TEXT 2u    /* T */
#define PATCHLIB_MSG_ERROR_TITLE 3u     /* T: sent before a refusal, with 4 */
#define PATCHLIB_MSG_ERROR_TEXT 4u      /* T: which file and why */
#define PATCHLIB_MSG_FILE_PROGRESS 5u   /* N: unsigned 16-bit, 0 .. 0x8000 within the current file */
#define PATCHLIB_MSG_FILE_COUNT 6u      /* N: signed 32-bit, number of files the patch touches */
#define PATCHLIB_MSG_FILE_START 7u      /* T: path of the file as stored in the patch ('/' between parts) */
#define PATCHLIB_MSG_FILE_DONE 8u       /* - */
#define PATCHLIB_MSG_PROGRESS_TEXT 9u   /* T (not sent) */
#define PATCHLIB_MSG_HELP_TEXT 10u      /* T (not sent) */
#define PATCHLIB_MSG_COMMENT 11u        /* T: comment stored in the patch */
#define PATCHLIB_MSG_COPYRIGHT 12u      /* T: copyright text stored in the patch */
#define PATCHLIB_MSG_PATCH_DIALOG 13u   /* T (not sent) */
#define PATCHLIB_MSG_INVALID_PATCH 14u  /* - : the patch file is unreadable or invalid */
#define PATCHLIB_MSG_PASSWORD 15u       /* - (not sent) */
#define PATCHLIB_MSG_BAD_PASSWORD 16u   /* - (not sent) */
#define PATCHLIB_MSG_NEXT_DISK 17u      /* T (not sent) */
#define PATCHLIB_MSG_BAD_DISK 18u       /* - (not sent) */
#define PATCHLIB_MSG_IDLE 21u           /* - : now and then during long checks */
#define PATCHLIB_MSG_SEARCHING 22u      /* T (not sent) */

#define PATCHLIB_PROGRESS_COMPLETE 0x8000u

/* Results. Every code but PATCHLIB_OK means the patch was not applied and the tree
   was left as it was, except PATCHLIB_ERR_ROLLBACK (the next application finishes
   the patch) and PATCHLIB_ERR_JOURNAL. An interrupted earlier application is settled
   first in every case (see FORMAT.md). */
#define PATCHLIB_OK 0u                  /* applied (or every file already was the new version) */
#define PATCHLIB_ERR_COMMAND_LINE 1u    /* the command line is neither accepted form */
#define PATCHLIB_ERR_PATCH_FILE 2u      /* the patch file cannot be opened or read */
#define PATCHLIB_ERR_INVALID_PATCH 3u   /* not a patch file, damaged, malformed or with unsafe names */
#define PATCHLIB_ERR_WRONG_VERSION 4u   /* a file is missing or not the version the patch was made from */
#define PATCHLIB_ERR_STOPPED 5u         /* the callback returned null */
#define PATCHLIB_ERR_IO 6u              /* a file or directory could not be read, written or moved */
#define PATCHLIB_ERR_BAD_RESULT 7u      /* a rebuilt file did not match the checksum stored for it */
#define PATCHLIB_ERR_ROLLBACK 8u        /* a failure while moving files into place could not be fully
                                           undone; the saved old files are left beside their names,
                                           and the next application finishes the patch */
#define PATCHLIB_ERR_NO_MEMORY 9u       /* out of memory */
#define PATCHLIB_ERR_TARGET_DIR 10u     /* the target directory does not exist */
#define PATCHLIB_ERR_JOURNAL 11u        /* an interrupted application's journal is damaged, unreadable or
                                           does not match the files (nothing was changed), or a step to
                                           finish it failed (the next application tries again) */

#endif
