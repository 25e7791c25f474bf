#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <map>

#include "picojson.h"

class CTrayWnd;
class QLocalSocket;

// The running client's local control channel: a socket in its data folder
// that only its owner can open. Each connection carries one request, a JSON
// object ending with a newline, and gets one JSON object back:
// {"ok": true|false, "message": "...", "status": {...}}. Each command is
// handled by the same code as its tray menu command.
class ControlServer : public QObject {
    Q_OBJECT
public:
    // Requests larger than this are refused unread.
    static constexpr qint64 kMaxRequest = 4096;

    // canShowSettings: false without a desktop, where "settings" is refused.
    ControlServer(CTrayWnd& tray, bool canShowSettings, QObject* parent = nullptr);
    // Listens on SocketPath(dataFolder); false (with errorText()) when it
    // cannot. A socket file left by a copy that was killed is replaced: the
    // single-instance lock already holds the folder.
    bool listen(const QString& dataFolder);
    const QString& errorText() const { return errorText_; }

    static QString SocketPath(const QString& dataFolder);
    // The status object of the reply to "status".
    static picojson::object Status(CTrayWnd& tray);

private:
    struct Reply {
        Reply(bool ok = true, QString message = {}) : ok(ok), message(std::move(message)) {}
        bool ok;
        QString message;
        picojson::value status;  // null but for "status"
        // Runs once the reply is written: commands that open a dialog or
        // end the program must not hold the connection.
        std::function<void()> after;
    };
    using Handler = Reply (ControlServer::*)(const picojson::object& request);

    void readRequest(QLocalSocket* socket);
    Reply dispatch(const QByteArray& line);
    void send(QLocalSocket* socket, const Reply& reply);

    Reply status(const picojson::object&);
    Reply uploadNow(const picojson::object& request);
    Reply pause(const picojson::object&);
    Reply resume(const picojson::object&);
    Reply interrupt(const picojson::object&);
    Reply settings(const picojson::object&);
    Reply quit(const picojson::object&);

    CTrayWnd& tray_;
    bool canShowSettings_;
    QLocalServer server_;
    QString errorText_;
    const std::map<std::string, Handler> handlers_;
};
