#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include "CRestRecords.h"
#include "CRestSettings.h"
#include "UploadCounters.h"

#include <chrono>
#include <functional>

class CLogWriter;
typedef void CURL;
struct curl_slist;

// Outcome of one operation; the caller sets it up and reads it afterwards.
struct CRestResult {
    bool ok = false;
    // Last attempt's HTTP status; -1 when the connection broke, 600 when the
    // local file of an upload cannot be opened, 0 after any other transfer failure.
    qint32 status = -1;
    QString errorCode;  // server error code, where an operation copies it
    QString message;    // for the user
    double elapsed = -1.0;
    qint32 retryCount = 0;
    // Of the last attempt: libcurl's code (0 when a reply came) and its error
    // text, the proxy's answer to the tunnel request (0 when none), and
    // whether it went through a proxy. ClassifyFailure reads them.
    int transferCode = 0;
    QString transferError;
    int proxyStatus = 0;
    bool viaProxy = false;
};

// What a guest share creates; downloadUrl is filled on success.
struct CRestShareRequest {
    QStringList paths;
    QStringList mailAddresses;
    QString accessKey;
    bool sendAccessKey = false;
    QString text;
    QString expire;  // "yyyy/mm/dd" or empty
    QString downloadUrl;
};

// The query of one upload run's report to the web tool, in wire order.
struct CRestResultLog {
    QString type;
    QString versionNumber;
    qint32 jobNumber = 0;
    QString jobId;
    QString boxId;
    qint32 portalId = 0;
    bool isProxyUse = false;
    bool isZipUpload = false;
    bool isImmediatelyUpload = false;
    bool isAllUpload = false;
    bool isMoveAfterUpload = false;
    bool isRetransmission = false;
    QString startDatetime;
    QString abortCause;
    UploadCounters counters;
    QString endDatetime;
};

// When a transfer counts as stalled. No byte moving for stallLimit ends it;
// once a request body is sent whole, the server may work on it before the
// first byte of the reply for up to replyLimit.
struct TransferStallWatch {
    std::chrono::steady_clock::time_point lastMove;
    qint64 sent = -1;
    qint64 received = -1;
    std::chrono::seconds stallLimit{60};
    std::chrono::seconds replyLimit{60};
    bool fired = false;
    // Told each new count of request bytes sent.
    std::function<void(qint64)> onSent;

    void start(std::chrono::seconds stall, std::chrono::seconds reply);
    // Called with the transfer's progress; true when it is to end.
    bool stalled(qint64 received, qint64 sendTotal, qint64 sent);
};

// The client of the storage service's REST interface and web tool. One
// object owns one reused transfer handle and is used by one thread at a time.
//
// Operations report through the caller's CRestResult. They throw
// CTorval2Exception for text that cannot be converted or a URL that cannot
// be set, and JsonParseError for a success reply that is not a JSON object.
class CRestControl {
public:
    explicit CRestControl(const CRestSettings* settings = nullptr, CLogWriter* logger = nullptr);
    virtual ~CRestControl();
    CRestControl(const CRestControl&) = delete;
    CRestControl& operator=(const CRestControl&) = delete;

    void setSettings(const CRestSettings* settings) { settings_ = settings; }
    void setLogger(CLogWriter* logger) { logger_ = logger; }
    // Told the bytes of the request body sent so far whenever they grow
    // (an upload's file part and its framing); nothing when empty.
    void setSendObserver(std::function<void(qint64)> observer) {
        stall_.onSent = std::move(observer);
    }

    void GetCurrentPortal(CRestResult& result, CRestPortal& portal);
    void GetCurrentUser(CRestResult& result, CRestUser& user);
    void GetFolder(CRestResult& result, const QString& path, CRestItem& item);
    void GetFolderItems(CRestResult& result, const QString& path, QList<CRestItem>& items);
    void CreateFolder(CRestResult& result, const QString& name, const QString& parentPath);
    void UploadFile(CRestResult& result, const QString& localPath, const QString& remoteFolder);
    void DeleteFolder(CRestResult& result, const QString& path);
    void DeleteFile(CRestResult& result, const QString& path);
    void GetSettingsEntity(CRestResult& result, const QString& name,
                           QMap<QString, QString>& entries);
    void CreateShare(CRestResult& result, CRestShareRequest& request);
    void GetOptions(CRestResult& result, qint32 portalId, CRestOptions& options);
    void GetAutoBlock(CRestResult& result, qint32 portalId, CRestAutoBlock& block);
    void GetPragma(CRestResult& result, const QString& boxId, const QString& jobId,
                   CRestPragma& pragma);
    void SendResultLog(CRestResult& result, const CRestResultLog& log);

    // Replies larger than this are refused as a transfer failure.
    static constexpr qsizetype kMaxReplySize = 64 * 1024 * 1024;
    // The wait for the reply to a fully sent upload, in stall times.
    static constexpr int kReplyWaitFactor = 10;

private:
    struct ResponseBuffer {
        QByteArray data;
        bool allocationFailed = false;
    };
    enum class Base { Api, WebTool };

    void PrepareRequest();
    curl_slist* AppendStandardHeaders(curl_slist* list) const;
    void SetRequestPath(const QByteArray& suffix, Base base = Base::Api);
    // Runs the request. True after a 401 whose challenge names a method not
    // offered: both are offered from now on and the caller issues the request
    // once more from a reset handle (the library would hold on to the old
    // challenge otherwise).
    bool Perform(CRestResult& result);
    static size_t CollectBody(char* data, size_t size, size_t count, void* buffer);

    // GET of a JSON reply: true when the status was 200 and body holds the reply.
    bool getJson(CRestResult& result, const QByteArray& suffix, QByteArray& body,
                 Base base = Base::Api);
    // One request with its own header lines before the standard ones and an
    // optional form body or custom method; the reply body goes to body.
    void request(CRestResult& result, const QByteArray& suffix, Base base,
                 const QList<QByteArray>& ownHeaders, const QByteArray* formBody,
                 const char* customMethod, QByteArray* body);
    void uploadOnce(CRestResult& result, const QString& localPath, const QString& remoteFolder);
    void log(int level, const QString& text) const;
    QByteArray escape(const QString& text) const;

    const CRestSettings* settings_ = nullptr;
    CLogWriter* logger_ = nullptr;
    CURL* handle_ = nullptr;
    bool used_ = false;
    // The method the server asked for last, offered first (for Basic it saves
    // a round trip); until known both are offered and the first request of a
    // handle goes out without credentials.
    long authMethods_;
    curl_slist* connectTo_ = nullptr;
    TransferStallWatch stall_;
    // libcurl's detailed text of the last failure.
    QByteArray errorBuffer_;
};
