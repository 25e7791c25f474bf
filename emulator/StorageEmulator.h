#pragma once

#include "AccountStore.h"
#include "Authenticator.h"
#include "EmulatorOptions.h"
#include "FaultTable.h"
#include "Journal.h"
#include "Repository.h"
#include "StopSignal.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class SSLServer;
class ContentReader;
struct Request;
struct Response;
}  // namespace httplib

// The HTTPS server: the service's REST paths below "/api/v1/", the web tool's two paths,
// and the control paths below "/_emulator/" that tests use.
class StorageEmulator {
public:
    StorageEmulator(const EmulatorOptions& options, const AccountStore& accounts,
                    const std::string& certificatePath, const std::string& keyPath);
    ~StorageEmulator();

    // Binds the listening socket; the port is known afterwards.
    bool bind(std::string& error);
    int port() const { return port_; }
    // Serves until stop(); returns false when the server could not run.
    bool run();
    // Safe from another thread; ends delayed and stalled replies too.
    void stop();

private:
    struct Call;

    void handle(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader* reader);
    int expectContinue(const httplib::Request& req, httplib::Response& res);
    void control(Call& call);
    void route(Call& call);
    void serveFile(Call& call);
    // Waits the rule's delay; true when the rule then answered the request
    // itself (a plain delay lets the request go on).
    bool delayOrAnswer(Call& call, const FaultAction& fault);
    bool applyFault(Call& call, const FaultAction& fault);

    void getFolder(Call& call, const std::vector<std::string>& names, bool listItems);
    void getFile(Call& call, const std::vector<std::string>& names, bool entity);
    void createFolder(Call& call);
    void uploadFile(Call& call, const std::vector<std::string>& names);
    void deleteItem(Call& call, const std::vector<std::string>& names, bool folder);
    void createShare(Call& call);
    void getPortal(Call& call);
    void getUser(Call& call);
    void getPortalRecord(Call& call, const std::string& portalId, const std::string& what);

    // Reads (or discards) the request body, noting form fields, parts and size.
    bool consumeBody(Call& call, std::string* keep);
    void replyJson(Call& call, int status, const std::string& body);
    void replyError(Call& call, int status, const std::string& code, const std::string& message,
                    const std::vector<std::string>& parameters = {});
    void replyRepoError(Call& call, RepoStatus status, const std::string& path);

    EmulatorOptions options_;
    const AccountStore& accounts_;
    Authenticator authenticator_;
    Repository repository_;
    Journal journal_;
    FaultTable faults_;
    StopSignal stopSignal_;
    std::unique_ptr<httplib::SSLServer> server_;
    int port_ = 0;
    std::atomic<bool> runReturned_{false};
    std::mutex sharesMutex_;
    std::vector<std::string> shares_;  // JSON records of created shares
};
