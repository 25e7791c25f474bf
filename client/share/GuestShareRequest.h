#pragma once

#include <QString>
#include <QStringList>

// One guest share as the share dialog hands it over: the files to upload and
// what the share carries. The run works on its own copy.
struct GuestShareRequest {
    QStringList files;          // local paths, in the order of the dialog's fields
    QStringList mailAddresses;  // trimmed, none empty; none: the user passes the address on
    QString noticeText;
    QString accessKey;  // trimmed; empty: no key
    QString expiry;     // "yyyy/mm/dd"
    bool sendAccessKey = false;

    friend bool operator==(const GuestShareRequest&, const GuestShareRequest&) = default;
};
