#include "CRestControl.h"

#include <QFile>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "CLogWriter.h"
#include "CRestError.h"
#include "CRestJsonParser.h"
#include "CTorval2Exception.h"
#include "FileIo.h"
#include "TextCodec.h"

namespace {

const QString kDiskQuota = QStringLiteral("PORTAL_INSUFFICIENT_STORAGE");
const char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded; charset=UTF-8";

// Development switches, read from the environment once per request.
// QUILLON_CONNECT_TO: "HOST:PORT:CONNECT-HOST:CONNECT-PORT" as curl's
// --connect-to, so requests for the service's host and port 443 reach a
// local emulator. QUILLON_HTTP_VERBOSE=1: transfer details on standard
// error, with credentials blanked.
constexpr char kConnectToVariable[] = "QUILLON_CONNECT_TO";
constexpr char kVerboseVariable[] = "QUILLON_HTTP_VERBOSE";

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

curl_slist* append(curl_slist* list, const QByteArray& line) {
    curl_slist* grown = curl_slist_append(list, line.constData());
    if (!grown) {
        curl_slist_free_all(list);
        throw CTorval2Exception(QStringLiteral("メモリのアロケートに失敗しました。"),
                                QStringLiteral("MEMORY_ALLOCATION_ERROR"));
    }
    return grown;
}

// Verbose output without the credentials that header lines carry.
int redactingTrace(CURL*, curl_infotype type, char* data, size_t size, void*) {
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    const QByteArray text(data, static_cast<qsizetype>(size));
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        const QByteArray lower = line.toLower();
        const bool secret = lower.startsWith("authorization:") ||
                            lower.startsWith("proxy-authorization:") ||
                            lower.startsWith("cookie:") || lower.startsWith("set-cookie:");
        const char* mark = type == CURLINFO_HEADER_OUT  ? "> "
                           : type == CURLINFO_HEADER_IN ? "< "
                                                        : "* ";
        if (secret)
            std::fprintf(stderr, "%s%s <hidden>\n", mark,
                         line.left(line.indexOf(':') + 1).constData());
        else
            std::fprintf(stderr, "%s%s\n", mark, line.trimmed().constData());
    }
    return 0;
}

// Streams an opened local file into the multipart body.
size_t readFile(char* buffer, size_t size, size_t count, void* file) {
    const size_t n = std::fread(buffer, 1, size * count, static_cast<FILE*>(file));
    return (n == 0 && std::ferror(static_cast<FILE*>(file))) ? CURL_READFUNC_ABORT : n;
}

int seekFile(void* file, curl_off_t offset, int origin) {
    return fseeko(static_cast<FILE*>(file), offset, origin) == 0 ? CURL_SEEKFUNC_OK
                                                                 : CURL_SEEKFUNC_FAIL;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

struct MimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

// Query values go out as they are, except the characters that would break
// the query apart or make the address invalid.
QByteArray queryValue(const QString& text) {
    return WideToUtf8(text).toPercentEncoding("@:/!$'()*,;");
}

std::atomic<bool> insecureWarned{false};

int checkStall(void* watch, curl_off_t, curl_off_t received, curl_off_t sendTotal,
               curl_off_t sent) {
    return static_cast<TransferStallWatch*>(watch)->stalled(received, sendTotal, sent) ? 1 : 0;
}

}  // namespace

void TransferStallWatch::start(std::chrono::seconds stall, std::chrono::seconds reply) {
    lastMove = std::chrono::steady_clock::now();
    sent = -1;
    received = -1;
    stallLimit = stall;
    replyLimit = reply;
    fired = false;
}

bool TransferStallWatch::stalled(qint64 nowReceived, qint64 sendTotal, qint64 nowSent) {
    const auto now = std::chrono::steady_clock::now();
    if (nowSent != sent || nowReceived != received) {
        if (nowSent != sent && onSent)
            onSent(nowSent);
        sent = nowSent;
        received = nowReceived;
        lastMove = now;
        return false;
    }
    // The whole body is out and no byte of the reply has come: the server is
    // still working on the request (storing a large upload may take long).
    const bool serverWorking = sendTotal > 0 && nowSent >= sendTotal && nowReceived == 0;
    fired = now - lastMove >= (serverWorking ? replyLimit : stallLimit);
    return fired;
}

CRestControl::CRestControl(const CRestSettings* settings, CLogWriter* logger)
    : settings_(settings),
      logger_(logger),
      authMethods_(CURLAUTH_BASIC | CURLAUTH_DIGEST),
      errorBuffer_(CURL_ERROR_SIZE, '\0') {
    if (curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK)
        handle_ = curl_easy_init();
    if (!handle_)
        log(CLogWriter::LogError, QStringLiteral("fail init curl."));
}

CRestControl::~CRestControl() {
    if (handle_)
        curl_easy_cleanup(handle_);
    curl_slist_free_all(connectTo_);
    curl_global_cleanup();
}

void CRestControl::log(int level, const QString& text) const {
    if (logger_)
        logger_->Log(level, text);
}

QByteArray CRestControl::escape(const QString& text) const {
    const QByteArray utf8 = WideToUtf8(text);
    char* escaped = curl_easy_escape(handle_, utf8.constData(), static_cast<int>(utf8.size()));
    if (!escaped)
        throw CTorval2Exception(QStringLiteral("メモリのアロケートに失敗しました。"),
                                QStringLiteral("MEMORY_ALLOCATION_ERROR"));
    QByteArray out(escaped);
    curl_free(escaped);
    return out;
}

void CRestControl::PrepareRequest() {
    if (!handle_)
        return;
    // Nothing of an earlier request, failed or not, may carry over.
    if (used_)
        curl_easy_reset(handle_);
    used_ = true;
    errorBuffer_.fill('\0');
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorBuffer_.data());

    const CRestSettings& s = *settings_;
    if (s.insecureTls) {
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 0L);
        if (!insecureWarned.exchange(true))
            log(CLogWriter::LogWarning,
                QStringLiteral("サーバ証明書を検証せずに通信します（InsecureTls=ON）。"));
    } else {
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!s.caFile.isEmpty())
            curl_easy_setopt(handle_, CURLOPT_CAINFO, QFile::encodeName(s.caFile).constData());
    }
    curl_easy_setopt(handle_, CURLOPT_USERAGENT, WideToUtf8(s.userAgent).constData());
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(std::max(0, s.timeOut)));
    // A transfer that stalls fails instead of hanging the run. Not the
    // library's low-speed limit: it also ran while the server was storing a
    // fully sent upload, and every such upload was then sent again.
    const std::chrono::seconds stallTime(std::max(60, s.timeOut));
    stall_.start(stallTime, stallTime);
    curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, checkStall);
    curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, &stall_);
    curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle_, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    // The reset forgets what the server asked for; offering both methods again
    // would send every request once without credentials. Perform widens the
    // offer when a path asks for the other method.
    curl_easy_setopt(handle_, CURLOPT_HTTPAUTH, authMethods_);
    curl_easy_setopt(handle_, CURLOPT_USERNAME, WideToUtf8(s.userName).constData());
    curl_easy_setopt(handle_, CURLOPT_PASSWORD, WideToUtf8(s.password).constData());
    if (!s.proxyAddress.isEmpty()) {
        curl_easy_setopt(handle_, CURLOPT_PROXY, WideToUtf8(s.proxyAddress).constData());
        curl_easy_setopt(handle_, CURLOPT_PROXYPORT, static_cast<long>(s.proxyPort));
        curl_easy_setopt(handle_, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(handle_, CURLOPT_PROXYUSERNAME, WideToUtf8(s.proxyUser).constData());
        curl_easy_setopt(handle_, CURLOPT_PROXYPASSWORD, WideToUtf8(s.proxyPassword).constData());
    }

    const QByteArray connectTo = qgetenv(kConnectToVariable).trimmed();
    if (!connectTo.isEmpty()) {
        if (!connectTo_ || connectTo != connectTo_->data) {
            curl_slist_free_all(connectTo_);
            connectTo_ = curl_slist_append(nullptr, connectTo.constData());
        }
        curl_easy_setopt(handle_, CURLOPT_CONNECT_TO, connectTo_);
    }
    if (qgetenv(kVerboseVariable) == "1") {
        curl_easy_setopt(handle_, CURLOPT_DEBUGFUNCTION, redactingTrace);
        curl_easy_setopt(handle_, CURLOPT_VERBOSE, 1L);
    }
}

curl_slist* CRestControl::AppendStandardHeaders(curl_slist* list) const {
    list = append(list, "Expect: 100-continue");
    list = append(list, "X-Device-ID: " + WideToUtf8(settings_->DeviceId));
    return append(list, "X-Uploader-Session: " + WideToUtf8(settings_->UploaderSessionId));
}

void CRestControl::SetRequestPath(const QByteArray& suffix, Base base) {
    if (!handle_)
        return;
    const CRestSettings& s = *settings_;
    QByteArray url =
        WideToUtf8(s.scheme) + "://" + WideToUtf8(s.host) + ":" + NarrowNumberText(s.port);
    if (base == Base::Api)
        url += WideToUtf8(s.basePath);
    url += suffix;
    const CURLcode rc = curl_easy_setopt(handle_, CURLOPT_URL, url.constData());
    if (rc != CURLE_OK)
        throw CTorval2Exception(Utf8ToWide(curl_easy_strerror(rc)),
                                QStringLiteral("CURL_URL_ERROR"));
}

bool CRestControl::Perform(CRestResult& result) {
    result.status = 0;
    if (!handle_) {
        result.ok = false;
        return false;
    }
    const long ourOffer = authMethods_;
    CURLcode rc = curl_easy_perform(handle_);
    long offered = 0;
    if (curl_easy_getinfo(handle_, CURLINFO_HTTPAUTH_AVAIL, &offered) == CURLE_OK && offered) {
        // libcurl prefers Digest when both are offered; keep its choice.
        if (offered & CURLAUTH_DIGEST)
            authMethods_ = CURLAUTH_DIGEST;
        else if (offered & CURLAUTH_BASIC)
            authMethods_ = CURLAUTH_BASIC;
    }
    const bool stalled = rc == CURLE_ABORTED_BY_CALLBACK && stall_.fired;
    if (stalled)
        rc = CURLE_OPERATION_TIMEDOUT;  // a stall, not a file that could not be read
    long connectCode = 0;
    curl_easy_getinfo(handle_, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    result.transferCode = rc;
    result.proxyStatus = static_cast<int>(connectCode);
    result.viaProxy = !settings_->proxyAddress.isEmpty();
    result.transferError = rc == CURLE_OK ? QString()
                           : errorBuffer_[0] && !stalled
                               ? QString::fromUtf8(errorBuffer_.constData())
                               : QString::fromUtf8(curl_easy_strerror(rc));
    if (rc == CURLE_OK) {
        long code = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
        result.status = static_cast<qint32>(code);
        // Paths of one server may sit behind front ends with different
        // methods: a challenge for a method not offered gets one more try.
        constexpr long kBoth = CURLAUTH_BASIC | CURLAUTH_DIGEST;
        if (code == 401 && (offered & kBoth & ~ourOffer) != 0) {
            authMethods_ = kBoth;
            return true;
        }
    } else {
        result.ok = false;
        switch (rc) {
            case CURLE_RECV_ERROR:
                result.message = QStringLiteral("サーバとの接続に失敗しました。");
                result.status = -1;
                break;
            case CURLE_WRITE_ERROR:
                result.message = QStringLiteral("サーバからの結果取得に失敗しました。");
                break;
            case CURLE_READ_ERROR:
            case CURLE_ABORTED_BY_CALLBACK:
                result.message =
                    QStringLiteral("アップロード対象のファイルの読み込みに失敗しました。");
                break;
            default:
                break;
        }
    }
    double total = -1.0;
    curl_easy_getinfo(handle_, CURLINFO_TOTAL_TIME, &total);
    result.elapsed = total;
    return false;
}

size_t CRestControl::CollectBody(char* data, size_t size, size_t count, void* target) {
    auto* buffer = static_cast<ResponseBuffer*>(target);
    const size_t n = size * count;
    if (n == 0)
        return 0;
    if (buffer->data.size() + static_cast<qsizetype>(n) > kMaxReplySize)
        return 0;  // the transfer fails as a write error
    try {
        buffer->data.append(data, static_cast<qsizetype>(n));
    } catch (const std::bad_alloc&) {
        // Exceptions must not cross the transfer library; rethrown after it returns.
        buffer->allocationFailed = true;
        return 0;
    }
    return n;
}

void CRestControl::request(CRestResult& result, const QByteArray& suffix, Base base,
                           const QList<QByteArray>& ownHeaders, const QByteArray* formBody,
                           const char* customMethod, QByteArray* body) {
    PrepareRequest();
    curl_slist* list = nullptr;
    for (const QByteArray& line : ownHeaders)
        list = append(list, line);
    Slist headers(AppendStandardHeaders(list));
    ResponseBuffer buffer;
    if (handle_) {
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
        // Replies not read are still drained, and bounded all the same.
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, CollectBody);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &buffer);
        if (formBody) {
            curl_easy_setopt(handle_, CURLOPT_POST, 1L);
            curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(formBody->size()));
            curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, formBody->constData());
        }
        if (customMethod)
            curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, customMethod);
    }
    SetRequestPath(suffix, base);
    const bool again = Perform(result);
    if (buffer.allocationFailed)
        throw CTorval2Exception(QStringLiteral("メモリのアロケートに失敗しました。"),
                                QStringLiteral("MEMORY_ALLOCATION_ERROR"));
    if (again) {
        // Offering both methods now, so this happens once.
        request(result, suffix, base, ownHeaders, formBody, customMethod, body);
        return;
    }
    if (body)
        *body = std::move(buffer.data);
}

bool CRestControl::getJson(CRestResult& result, const QByteArray& suffix, QByteArray& body,
                           Base base) {
    request(result, suffix, base, {}, nullptr, nullptr, &body);
    return result.status == 200;
}

void CRestControl::GetCurrentPortal(CRestResult& result, CRestPortal& portal) {
    QByteArray body;
    if (getJson(result, "/currentPortal", body)) {
        portal = ReadPortal(body);
        result.ok = true;
    }
}

void CRestControl::GetCurrentUser(CRestResult& result, CRestUser& user) {
    QByteArray body;
    if (getJson(result, "/currentUser", body)) {
        user = ReadUser(body);
        result.ok = true;
    }
}

void CRestControl::GetFolder(CRestResult& result, const QString& path, CRestItem& item) {
    QByteArray body;
    if (getJson(result, "/repository/0/folder/path" + EscapePath(path) + "?hidden=true", body)) {
        item = ReadItem(body);
        result.ok = true;
    }
}

void CRestControl::GetFolderItems(CRestResult& result, const QString& path,
                                  QList<CRestItem>& items) {
    QByteArray body;
    if (getJson(result, "/repository/0/folder/path" + EscapePath(path) + "/:items?hidden=true",
                body)) {
        items = ReadItemList(body);
        result.ok = true;
    }
}

void CRestControl::CreateFolder(CRestResult& result, const QString& name,
                                const QString& parentPath) {
    const QByteArray form =
        "name=" + escape(name) + "&parentFolderPath=" + escape(parentPath) + "&exclude=all";
    for (;;) {
        request(result, "/experimental/repository/0/folder/path", Base::Api, {kFormContentType},
                &form, nullptr, nullptr);
        if (result.status == 200 || result.status == 204) {
            result.ok = true;
            return;
        }
        if (result.status == 409 || result.retryCount >= settings_->retry)
            return;
        ++result.retryCount;
    }
}

void CRestControl::UploadFile(CRestResult& result, const QString& localPath,
                              const QString& remoteFolder) {
    for (;;) {
        uploadOnce(result, localPath, remoteFolder);
        if (result.ok || result.status == 600 || result.errorCode == kDiskQuota ||
            result.retryCount >= settings_->retry)
            return;
        ++result.retryCount;
    }
}

void CRestControl::uploadOnce(CRestResult& result, const QString& localPath,
                              const QString& remoteFolder) {
    const QString fileName = SplitText(localPath, QStringLiteral("/")).constLast();
    std::unique_ptr<FILE, FileCloser> file(
        std::fopen(QFile::encodeName(localPath).constData(), "rb"));
    qint64 fileSize = 0;
    if (!file || !FileIo::IsRegularFile(fileno(file.get()), &fileSize)) {
        result.ok = false;
        result.status = 600;
        result.message = QStringLiteral("ファイルを開けませんでした。");
        return;
    }
    const QByteArray suffix = "/experimental/repository/0/file/path" +
                              EscapePath(remoteFolder + QLatin1Char('/') + fileName) + "/:entity";

    PrepareRequest();
    stall_.start(stall_.stallLimit, stall_.stallLimit * kReplyWaitFactor);
    curl_slist* list = append(nullptr, "Expect: 100-continue");
    list = append(list, "X-Device-ID: " + WideToUtf8(settings_->DeviceId));
    list = append(list, "Pragma: no-cache");
    Slist headers(append(list, "Cache-Control: no-cache"));
    std::unique_ptr<curl_mime, MimeDeleter> mime(handle_ ? curl_mime_init(handle_) : nullptr);
    ResponseBuffer body;
    ResponseBuffer replyHeaders;
    if (handle_) {
        curl_mimepart* exclude = curl_mime_addpart(mime.get());
        curl_mime_name(exclude, "exclude");
        curl_mime_data(exclude, "all", CURL_ZERO_TERMINATED);
        curl_mimepart* entity = curl_mime_addpart(mime.get());
        curl_mime_name(entity, "entity");
        curl_mime_filename(entity, WideToUtf8(fileName).constData());
        curl_mime_type(entity, "application/octet-stream");
        curl_mime_data_cb(entity, static_cast<curl_off_t>(fileSize), readFile, seekFile, nullptr,
                          file.get());
        curl_easy_setopt(handle_, CURLOPT_MIMEPOST, mime.get());
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, CollectBody);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, CollectBody);
        curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &replyHeaders);
    }
    SetRequestPath(suffix);
    const bool again = Perform(result);
    if (body.allocationFailed || replyHeaders.allocationFailed)
        throw CTorval2Exception(QStringLiteral("メモリのアロケートに失敗しました。"),
                                QStringLiteral("MEMORY_ALLOCATION_ERROR"));
    if (again) {
        // Offering both methods now, so this happens once.
        uploadOnce(result, localPath, remoteFolder);
        return;
    }

    if (result.status == 200) {
        // The service answers a stored upload with 204; a 200 means it was not stored.
        log(CLogWriter::LogWarning,
            QStringLiteral("header dump: size=%1 str=\n").arg(replyHeaders.data.size()) +
                QString::fromUtf8(replyHeaders.data));
        if (body.data.isEmpty())
            log(CLogWriter::LogWarning, QStringLiteral("body dump: size=0 str=null"));
        else
            log(CLogWriter::LogWarning,
                QStringLiteral("dump body: size=%1 str=\n").arg(body.data.size()) +
                    QString::fromUtf8(body.data));
        result.status = 500;
        result.ok = false;
    }
    if (result.status == 204) {
        result.ok = true;
    } else if (result.status == 500) {
        try {
            const CRestError error = CRestError::FromBody(body.data);
            if (error.errorCode() == kDiskQuota) {
                result.errorCode = kDiskQuota;
                result.message = QStringLiteral("ディスククォータ違反です。");
            }
        } catch (const JsonParseError&) {
            // Not an error reply: a plain 500 that may be tried again.
        }
    }
}

void CRestControl::DeleteFolder(CRestResult& result, const QString& path) {
    request(result, "/repository/0/folder/path" + EscapePath(path), Base::Api, {}, nullptr,
            "DELETE", nullptr);
    result.ok = result.status == 200;
}

void CRestControl::DeleteFile(CRestResult& result, const QString& path) {
    request(result, "/repository/0/file/path" + EscapePath(path), Base::Api, {}, nullptr, "DELETE",
            nullptr);
    result.ok = result.status == 200;
}

void CRestControl::GetSettingsEntity(CRestResult& result, const QString& name,
                                     QMap<QString, QString>& entries) {
    QByteArray body;
    if (!getJson(result,
                 "/repository/0/file/path/Velmora/.settings/" + EscapePath(name) +
                     "/:entity?hidden=true",
                 body))
        return;
    const auto trim = [](const QString& s) {
        static const QString blanks = QStringLiteral(" \t\v\r\n");
        qsizetype from = 0;
        qsizetype to = s.size();
        while (from < to && blanks.contains(s[from]))
            ++from;
        while (to > from && blanks.contains(s[to - 1]))
            --to;
        return s.mid(from, to - from);
    };
    for (const QString& line : SplitText(Utf8ToWide(body), QStringLiteral("\n"))) {
        const QStringList pieces = SplitText(line, QStringLiteral("="));
        if (pieces.size() < 2)
            continue;
        entries.insert(trim(pieces[0]), trim(pieces[1]));
    }
    result.ok = true;
}

void CRestControl::CreateShare(CRestResult& result, CRestShareRequest& share) {
    QByteArray form = "dummy=dummy";
    for (const QString& path : share.paths)
        form += "&path=" + escape(path);
    for (const QString& mail : share.mailAddresses)
        form += "&mailAddress=" + escape(mail);
    if (!share.accessKey.isEmpty())
        form += "&accessKey=" + escape(share.accessKey);
    if (share.sendAccessKey)
        form += "&sendAccessKey=true";
    if (!share.text.isEmpty())
        form += "&text=" + escape(share.text);
    if (!share.expire.isEmpty()) {
        QString date = share.expire;
        for (const qsizetype at : {4, 7}) {
            if (at < date.size())
                date[at] = QLatin1Char('-');
        }
        form += "&expire=" + escape(date + QStringLiteral("T23:59:59.000+09:00"));
    }
    QByteArray body;
    request(result, "/share", Base::Api, {kFormContentType}, &form, nullptr, &body);
    if (result.status == 200) {
        const QString shareId = ReadShareId(body);
        share.downloadUrl = settings_->webUiUrl +
                            QStringLiteral("/document/file/share/download?shareId=") + shareId;
        result.ok = true;
        return;
    }
    const CRestError error = CRestError::FromBody(body);
    result.errorCode = error.errorCode();
    result.message = QStringLiteral("ゲスト共有に失敗しました。（statusCode=") +
                     QString::number(error.statusCode) + QStringLiteral(" errorCode=") +
                     error.errorCode() + QStringLiteral(",errorParameters=") +
                     error.errorParameters() + QStringLiteral("）");
}

void CRestControl::GetOptions(CRestResult& result, qint32 portalId, CRestOptions& options) {
    QByteArray body;
    if (getJson(result, "/portal/" + NarrowNumberText(portalId) + "/options", body)) {
        options = ReadOptions(body);
        result.ok = true;
    }
}

void CRestControl::GetAutoBlock(CRestResult& result, qint32 portalId, CRestAutoBlock& block) {
    QByteArray body;
    if (getJson(result, "/portal/" + NarrowNumberText(portalId) + "/autoBlock", body)) {
        block = ReadAutoBlock(body);
        result.ok = true;
    }
}

void CRestControl::GetPragma(CRestResult& result, const QString& boxId, const QString& jobId,
                             CRestPragma& pragma) {
    QByteArray body;
    const QByteArray query = "?boxId=" + queryValue(boxId) + "&jobId=" + queryValue(jobId);
    if (getJson(result, "/client-tool/pragma.cgi" + query, body, Base::WebTool)) {
        pragma = ReadPragma(body);
        result.ok = true;
    }
}

void CRestControl::SendResultLog(CRestResult& result, const CRestResultLog& r) {
    QByteArray q;
    const auto text = [&q](const char* key, const QString& value) {
        q += key;
        q += queryValue(value);
    };
    const auto flag = [&text](const char* key, bool value) { text(key, BoolText(value)); };
    const auto count = [&q](const char* key, quint64 value) {
        q += key;
        q += QByteArray::number(value);
    };
    text("?type=", r.type);
    text("&versionNumber=", r.versionNumber);
    q += "&jobNumber=" + QByteArray::number(r.jobNumber);
    text("&jobId=", r.jobId);
    text("&boxId=", r.boxId);
    q += "&portalId=" + QByteArray::number(r.portalId);
    flag("&isProxyUse=", r.isProxyUse);
    flag("&isZipUpload=", r.isZipUpload);
    flag("&isImmediatelyUpload=", r.isImmediatelyUpload);
    flag("&isAllUpload=", r.isAllUpload);
    flag("&isMoveAfterUpload=", r.isMoveAfterUpload);
    flag("&isRetransmission=", r.isRetransmission);
    text("&startDatetime=", r.startDatetime);
    text("&abortCause=", r.abortCause);
    count("&totalFolderCount=", r.counters.foldersTotal);
    count("&totalFileCount=", r.counters.filesTotal);
    count("&totalFileSize=", r.counters.sizeTotal);
    count("&createdFolderCount=", r.counters.foldersCreated);
    count("&uploadedFileCount=", r.counters.succeeded);
    count("&uploadedFileSize=", r.counters.succeededSize);
    count("&errorFileCount=", r.counters.failed);
    count("&errorFileSize=", r.counters.failedSize);
    count("&skipFileCount=", r.counters.skipped);
    count("&skipFileSize=", r.counters.skippedSize);
    count("&ignoreFileCount=", r.counters.excluded);
    count("&ignoreFileSize=", r.counters.excludedSize);
    count("&abortFileCount=", r.counters.interrupted);
    count("&abortFileSize=", r.counters.interruptedSize);
    count("&retryCount=", r.counters.retries);
    count("&retryFileSize=", r.counters.retrySize);
    text("&endDatetime=", r.endDatetime);
    request(result, "/client-tool/result_log.php" + q, Base::WebTool, {}, nullptr, nullptr,
            nullptr);
}
