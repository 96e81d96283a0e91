// One HTTP GET of a file of the update site into a local path, with resume, progress in
// the process-wide progress dialog, cancel and the image's time stamp.
#pragma once
#include "common/image_model.h"
#include "transfer/transfer_context.h"

// Registry key (under HKEY_CURRENT_USER) of the resume records: one REG_SZ value per
// unfinished transfer, named by the remote path and holding the wanted file Id.
constexpr char kResumeRecordKey[] = "Software\\Tolbeck\\Halvorin";

// Fetches request.remotePath from request.site into request.localPath, continuing a
// transfer that an earlier call left unfinished. Advances context.bytesDone. True when
// the transfer ended without a failure and without a cancel. An answer whose connection
// breaks before its declared length is asked for again from where it broke, up to three
// times; one that stays short is a failure, and so is an answer without a declared length
// that ends short of the request's downloadSize or whose read fails (the final size is not
// checked otherwise). A failure is shown in a message box, added to the error report and
// logged; a cancel (context.cancel set after a block) is only logged. Both leave the
// partial file and its resume record, for a later resume; neither file is to be used.
// With context.digests, a whole file whose SHA-256 is not the one given for its remote
// path is deleted and the transfer is a failure, told like the others.
bool DownloadFile(TransferContext& context, const ImageFileEntry& request);
