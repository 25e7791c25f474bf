#pragma once

#include <string>
#include <utility>
#include <vector>

namespace httplib {
struct Request;
}

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Recovers the header lines of a request in the order the client sent them. The HTTP
// library keeps headers in a map sorted by name, so the plaintext that it reads through
// SSL_read on a connection's thread is kept (only while no body is being read) and the
// request's header block is looked up in it when the handler runs.
class HeaderCapture {
public:
    // Header lines of the request being handled on this thread, in wire order. Falls back
    // to the library's (sorted) headers when the block is not found; `ordered` tells which.
    static HeaderList take(const httplib::Request& req, bool& ordered);
    // Body bytes are not kept; capture resumes when the handler ends.
    static void pause();
    static void resume();
    // The next read on this thread's connection reports end of stream, so the library
    // closes the connection once the current reply is out, whatever the client sends next.
    static void endConnectionAfterReply();
};
