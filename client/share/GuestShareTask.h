#pragma once

#include <QString>

#include "GuestShareRequest.h"
#include "TaskBlock.h"

// Worker of a guest share run: uploads the block's guestRequest on a fresh
// REST session and creates the share. Sets result (1 success, 0 failure), the
// job copy's LastUploadFlag ("成功" / "失敗") and, on success,
// shareDownloadUrl, then hands the block to its sink. Anything thrown inside
// is logged and ends the run as failed; the program goes on.
void RunGuestShareTask(TaskBlock block);

// Worker of the guest share availability check: result 1 when sharing is
// possible, else 0; raises AccessKeyRequired and MailAddressRequired as the
// check finds; then hands the block to its sink.
void RunGuestShareCheckTask(TaskBlock block);

// What the share-completed dialog shows after a successful run.
struct ShareCompletedText {
    QString header;  // the guidance line
    QString text;    // the copyable information
};

// The dialog's texts for a finished request: without mail addresses the
// guests learn of the share from the user, so the download address leads the
// text; with them, the service has already mailed it.
ShareCompletedText BuildShareCompletedText(const GuestShareRequest& request,
                                           const QString& downloadUrl);
