#include "ConnectionFailure.h"

#include <curl/curl.h>

#include "CRestControl.h"

ConnectionFailure ClassifyFailure(const CRestResult& r) {
    if (r.ok)
        return ConnectionFailure::None;
    // A refused tunnel ends as a receive error; the proxy's answer tells it.
    if (r.proxyStatus != 0 && r.proxyStatus != 200)
        return ConnectionFailure::ProxyRefused;
    switch (r.transferCode) {
        case CURLE_OK:
            break;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_PROXY:
            return ConnectionFailure::ProxyRefused;
        case CURLE_COULDNT_CONNECT:
            // Through a proxy the only connection made is the one to the proxy.
            return r.viaProxy ? ConnectionFailure::ProxyRefused : ConnectionFailure::Unreachable;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_OPERATION_TIMEDOUT:
            return ConnectionFailure::Unreachable;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return ConnectionFailure::Untrusted;
        default:
            return ConnectionFailure::Broken;
    }
    if (r.status == 401 || r.status == 403)
        return ConnectionFailure::Refused;
    if (r.status == 407)
        return ConnectionFailure::ProxyRefused;
    if (r.status >= 200 && r.status < 300)
        return ConnectionFailure::BadReply;
    // 600 and above are this client's own codes, not the server's.
    if (r.status >= 300 && r.status < 600)
        return ConnectionFailure::ServerError;
    return ConnectionFailure::Broken;
}

QString FailureReason(const CRestResult& r) {
    switch (ClassifyFailure(r)) {
        case ConnectionFailure::None:
            return {};
        case ConnectionFailure::Unreachable:
            return QStringLiteral(
                "サーバに接続できませんでした（名前解決、接続、または応答の時間切れ）。");
        case ConnectionFailure::Untrusted:
            return QStringLiteral("サーバの証明書を信頼できませんでした。");
        case ConnectionFailure::Refused:
            return QStringLiteral("IDまたはパスワードが受け付けられませんでした（HTTP %1）。")
                .arg(r.status);
        case ConnectionFailure::ProxyRefused:
            if (r.proxyStatus == 0 && r.status != 407)
                return QStringLiteral("プロキシサーバに接続できませんでした。");
            return QStringLiteral("プロキシサーバが接続を拒否しました（HTTP %1）。")
                .arg(r.proxyStatus ? r.proxyStatus : r.status);
        case ConnectionFailure::ServerError:
            return QStringLiteral("サーバがエラーを返しました（HTTP %1）。").arg(r.status);
        case ConnectionFailure::BadReply:
            return QStringLiteral("サーバの応答を読み取れませんでした。");
        case ConnectionFailure::Broken:
            break;
    }
    return QStringLiteral("サーバとの通信が途中で失敗しました。");
}

QString FailureLogText(const CRestResult& r) {
    QString text = FailureReason(r);
    if (!r.transferError.isEmpty())
        text += QStringLiteral(" (libcurl: ") + r.transferError + QLatin1Char(')');
    return text;
}
