#pragma once

#include <QString>

#include <atomic>

#include "GuestShareRequest.h"
#include "SystemTime.h"

class CLogWriter;
class CRestControl;

// Raised by CheckGuestShareAvailability from the administrator's
// share-config.ini and read by the share dialog when it opens. They start
// false and only ever go to true: a setting seen once stays in force until
// the program ends, even when a later check cannot read the file.
extern std::atomic<bool> AccessKeyRequired;
extern std::atomic<bool> MailAddressRequired;

// The storage folder that holds one folder per guest share.
inline constexpr char16_t kGuestFolder[] = u"/Velmora/.guest";
// The administrator's settings file in "/Velmora/.settings".
inline constexpr char16_t kShareConfigName[] = u"share-config.ini";

// True when guest sharing is possible: the guest folder exists, lets the user
// create and delete folders, and share-config.ini does not suppress sharing.
// Raises AccessKeyRequired and MailAddressRequired as share-config.ini asks,
// whatever the folder's state. Logs at info level.
bool CheckGuestShareAvailability(CRestControl& rest, CLogWriter& logger,
                                 const Clock& clock = Clock::system());

// What a share run leaves for the user.
struct GuestShareResult {
    QString downloadUrl;  // set when the share was created
    QString errorText;    // the share creation's error text, when that step failed
};

// Uploads the request's files into a new folder below the guest folder and
// creates the share. True when every file is stored and the share exists; on
// any failure what was stored is removed again. Logs at error level.
bool RunGuestShareUpload(CRestControl& rest, CLogWriter& logger, const GuestShareRequest& request,
                         GuestShareResult& result);
