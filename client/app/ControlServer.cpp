#include "ControlServer.h"

#include <QDateTime>
#include <QDir>
#include <QLocalSocket>
#include <QTimer>

#include <cmath>

#include "CTrayWnd.h"
#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "ProgramVersion.h"
#include "TaskProgress.h"
#include "UploadScheduler.h"

namespace {

// A request that does not arrive whole by then is dropped.
constexpr int kRequestTimeoutMs = 5000;

picojson::value text(const QString& s) {
    return picojson::value(s.toStdString());
}

picojson::value number(qint64 n) {
    return picojson::value(static_cast<double>(n));
}

QString jobLabel(int index, const UploadJob& job) {
    return QStringLiteral("ジョブ %1（%2）").arg(index + 1).arg(job.Name);
}

}  // namespace

ControlServer::ControlServer(CTrayWnd& tray, bool canShowSettings, QObject* parent)
    : QObject(parent),
      tray_(tray),
      canShowSettings_(canShowSettings),
      handlers_{{"status", &ControlServer::status},
                {"upload-now", &ControlServer::uploadNow},
                {"pause", &ControlServer::pause},
                {"resume", &ControlServer::resume},
                {"interrupt", &ControlServer::interrupt},
                {"settings", &ControlServer::settings},
                {"quit", &ControlServer::quit}} {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readRequest(socket); });
            QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
            // The request may be there already.
            readRequest(socket);
        }
    });
}

QString ControlServer::SocketPath(const QString& dataFolder) {
    return QDir(dataFolder).absoluteFilePath(QStringLiteral("quillon-control.socket"));
}

bool ControlServer::listen(const QString& dataFolder) {
    const QString path = SocketPath(dataFolder);
    QLocalServer::removeServer(path);
    if (server_.listen(path))
        return true;
    errorText_ = QStringLiteral("コマンドライン操作用のソケット（%1）を開けませんでした。%2")
                     .arg(path, server_.errorString());
    return false;
}

void ControlServer::readRequest(QLocalSocket* socket) {
    if (socket->property("answered").toBool())
        return;
    if (!socket->canReadLine() && socket->bytesAvailable() <= kMaxRequest)
        return;
    socket->setProperty("answered", true);
    const QByteArray line = socket->readLine(kMaxRequest + 1);
    if (line.size() > kMaxRequest || !line.endsWith('\n'))
        send(socket, Reply{false, QStringLiteral("要求が大きすぎます。")});
    else
        send(socket, dispatch(line));
}

ControlServer::Reply ControlServer::dispatch(const QByteArray& line) {
    picojson::value request;
    const std::string error = picojson::parse(request, line.toStdString());
    if (!error.empty() || !request.is<picojson::object>() ||
        !request.get("command").is<std::string>())
        return Reply{false, QStringLiteral("要求を読み取れません。")};
    const std::string command = request.get("command").get<std::string>();
    const auto handler = handlers_.find(command);
    if (handler == handlers_.end())
        return Reply{false,
                     QStringLiteral("不明なコマンドです: %1").arg(QString::fromStdString(command))};
    return (this->*handler->second)(request.get<picojson::object>());
}

void ControlServer::send(QLocalSocket* socket, const Reply& reply) {
    picojson::object object{{"ok", picojson::value(reply.ok)}, {"message", text(reply.message)}};
    if (!reply.status.is<picojson::null>())
        object["status"] = reply.status;
    socket->write(QByteArray::fromStdString(picojson::value(object).serialize()) + '\n');
    socket->flush();
    socket->disconnectFromServer();
    if (reply.after)
        QMetaObject::invokeMethod(this, reply.after, Qt::QueuedConnection);
}

picojson::object ControlServer::Status(CTrayWnd& tray) {
    const QString config = ConfigPath();
    const QString id = ReadSetting(UserConfig::ID, config, 260);
    const QString portal = ReadSetting(UserConfig::PortalName, config, 260);
    QString state = QStringLiteral("idle");
    if (tray.runsInUse() > 0)
        state = QStringLiteral("running");
    else if (tray.paused())
        state = QStringLiteral("paused");
    else if (tray.errorPending())
        state = QStringLiteral("error");

    CTorval2UploadList& list = tray.jobList();
    std::vector<const UploadJob*> jobs;
    for (int i = 0; const UploadJob* job = list.GetJob(i); ++i)
        jobs.push_back(job);
    const QDateTime now = QDateTime::currentDateTime();
    picojson::array rows;
    for (int i = 0; i < static_cast<int>(jobs.size()); ++i) {
        const UploadJob& job = *jobs[i];
        const QDateTime end = job.LastUploadEndTime.toDateTime();
        // Paused, the scheduler starts nothing.
        const QDateTime next = tray.paused()
                                   ? QDateTime()
                                   : UploadScheduler::NextStart(jobs, i, now, tray.appStartTime());
        picojson::value progress;
        if (const std::optional<ProgressSnapshot> p = tray.progressOf(i)) {
            progress = picojson::value(
                picojson::object{{"phase", picojson::value(PhaseKey(p->phase))},
                                 {"filesDone", number(static_cast<qint64>(p->filesDone))},
                                 {"filesTotal", number(static_cast<qint64>(p->filesTotal))},
                                 {"bytesDone", number(static_cast<qint64>(p->bytesDone))},
                                 {"bytesTotal", number(static_cast<qint64>(p->bytesTotal))},
                                 {"currentFile", text(p->currentFile)}});
        }
        rows.emplace_back(picojson::object{
            {"number", number(i + 1)},
            {"name", text(job.Name)},
            {"source", text(job.HotFolder)},
            {"running", picojson::value(job.isUploading)},
            {"progress", progress},
            {"lastResult", text(job.LastUploadFlag)},
            {"lastBackup",
             text(end.isValid() ? end.toString(QStringLiteral("yyyy/MM/dd HH:mm")) : QString())},
            {"nextStart", next.isValid() ? text(next.toString(Qt::ISODate)) : picojson::value()},
        });
    }
    return picojson::object{
        {"state", text(state)},
        {"version", text(GetProgramVersionText())},
        {"account",
         text(id.isEmpty() || portal.isEmpty() ? QString() : id + QLatin1Char('@') + portal)},
        {"jobs", picojson::value(rows)},
    };
}

ControlServer::Reply ControlServer::status(const picojson::object&) {
    Reply reply;
    reply.status = picojson::value(Status(tray_));
    return reply;
}

ControlServer::Reply ControlServer::uploadNow(const picojson::object& request) {
    CTorval2UploadList& list = tray_.jobList();
    if (list.Count() == 0)
        return Reply{false, QStringLiteral("アップロードの設定が登録されていません。")};
    if (!tray_.accountComplete())
        return Reply{false, QStringLiteral("接続設定が登録されていません。")};
    const auto job = request.find("job");
    if (job == request.end())
        return Reply{false, QStringLiteral("ジョブの番号がありません。")};
    QStringList lines;
    if (job->second.is<std::string>() && job->second.get<std::string>() == "all") {
        bool started = false;
        for (int i = 0; i < list.Count(); ++i) {
            const UploadJob copy = *list.GetJob(i);
            const bool ok = tray_.UploadNow(i, true);
            started = started || ok;
            lines << jobLabel(i, copy) +
                         (ok ? QStringLiteral("のアップロードを開始しました。")
                             : QStringLiteral("はアップロード中のため、とばしました。"));
        }
        return Reply{started, lines.join(QLatin1Char('\n'))};
    }
    const double value = job->second.is<double>() ? job->second.get<double>() : 0;
    const int number = value >= 1 && value <= list.Count() && value == std::floor(value)
                           ? static_cast<int>(value)
                           : 0;
    if (number == 0)
        return Reply{false, QStringLiteral("ジョブ %1 は登録されていません。")
                                .arg(QString::fromStdString(job->second.to_str()))};
    const UploadJob copy = *list.GetJob(number - 1);
    if (!tray_.UploadNow(number - 1))
        return Reply{false, jobLabel(number - 1, copy) + QStringLiteral("はアップロード中です。")};
    return Reply{true,
                 jobLabel(number - 1, copy) + QStringLiteral("のアップロードを開始しました。")};
}

ControlServer::Reply ControlServer::pause(const picojson::object&) {
    if (tray_.paused())
        return Reply{false, QStringLiteral("すでに休止中です。")};
    tray_.onCommand(CTrayWnd::kPause);
    return Reply{true, QStringLiteral("アップロードを休止しました。")};
}

ControlServer::Reply ControlServer::resume(const picojson::object&) {
    if (!tray_.paused())
        return Reply{false, QStringLiteral("休止中ではありません。")};
    tray_.onCommand(CTrayWnd::kPause);
    return Reply{true, QStringLiteral("アップロード休止を解除しました。")};
}

ControlServer::Reply ControlServer::interrupt(const picojson::object&) {
    if (tray_.runsInUse() == 0)
        return Reply{false, QStringLiteral("実行中のアップロードはありません。")};
    tray_.onCommand(CTrayWnd::kInterrupt);
    return Reply{true, QStringLiteral("アップロードを中断します。")};
}

ControlServer::Reply ControlServer::settings(const picojson::object&) {
    if (!canShowSettings_)
        return Reply{false, QStringLiteral("画面のない環境では設定を開けません。")};
    Reply reply{true, QStringLiteral("設定を開きます。")};
    reply.after = [this] { tray_.onCommand(CTrayWnd::kSettings); };
    return reply;
}

ControlServer::Reply ControlServer::quit(const picojson::object&) {
    Reply reply{true, QStringLiteral("TORVAL2 クライアントツールを終了します。")};
    // Confirmed by the command itself: no question.
    reply.after = [this] { emit tray_.quitRequested(); };
    return reply;
}
