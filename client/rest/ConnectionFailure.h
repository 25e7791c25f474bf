#pragma once

#include <QString>

struct CRestResult;

// Why a request did not get an answer its operation accepts, in the classes a
// user can act on. Shown under the connection test's failure and the failed
// run's balloon.
enum class ConnectionFailure {
    None,          // the operation succeeded
    Unreachable,   // name not resolved, no connection, time-out
    Untrusted,     // the server's certificate did not verify
    Refused,       // 401 or 403: the ID or the password
    ProxyRefused,  // the proxy refused the tunnel (407 and others) or could not be reached
    ServerError,   // any other HTTP status
    BadReply,      // a success status whose reply could not be read
    Broken,        // the transfer broke off, or none could be made
};

ConnectionFailure ClassifyFailure(const CRestResult& result);
// One line for the user; empty for None.
QString FailureReason(const CRestResult& result);
// The reason with libcurl's own text, for the log (never holds a password:
// credentials go to libcurl apart from every address).
QString FailureLogText(const CRestResult& result);
