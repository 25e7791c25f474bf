#pragma once

#include <QtGlobal>

#include <memory>
#include <optional>

// The platform's limit on the size of a file sent or fetched through the
// mounted WebDAV drive, and the privileged step that raises it to 4 GB.
class WebDavSizeLimit {
public:
    static constexpr quint32 kFourGigabytes = 4294967295u;

    virtual ~WebDavSizeLimit() = default;
    // The limit in bytes; none when it cannot be read.
    virtual std::optional<quint32> Read() = 0;
    // Raises the limit to kFourGigabytes; returns when the step has ended.
    virtual void Raise() = 0;
};

// This platform's: the WebDAV file systems that mount a drive here (davfs2,
// gvfs) have no such limit, so it reads kFourGigabytes and raising does nothing.
std::unique_ptr<WebDavSizeLimit> CreateWebDavSizeLimit();
