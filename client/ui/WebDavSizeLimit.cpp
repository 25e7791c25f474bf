#include "WebDavSizeLimit.h"

namespace {

class UnlimitedWebDav : public WebDavSizeLimit {
public:
    std::optional<quint32> Read() override { return kFourGigabytes; }
    void Raise() override {}
};

}  // namespace

std::unique_ptr<WebDavSizeLimit> CreateWebDavSizeLimit() {
    return std::make_unique<UnlimitedWebDav>();
}
