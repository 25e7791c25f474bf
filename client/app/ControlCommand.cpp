#include "ControlCommand.h"

#include <QLocalSocket>

#include <cstdio>

#include "ControlServer.h"
#include "TaskProgress.h"

namespace {

const char* const kHelp =
    "使い方: Quillon [オプション]\n"
    "オプションがなければ、タスクトレイに常駐するクライアントを起動します。\n"
    "起動中なら、その設定画面を開きます。\n"
    "\n"
    "  --headless          画面なしでクライアントを起動します（スケジュール実行のみ）\n"
    "  --status            起動中のクライアントの状態を表示します\n"
    "  --status --json     状態を JSON で表示します\n"
    "  --upload-now N      ジョブ N（1～20）をいますぐアップロードします\n"
    "  --upload-now all    すべてのジョブをいますぐアップロードします\n"
    "  --pause             スケジュールによるアップロードを休止します\n"
    "  --resume            アップロード休止を解除します\n"
    "  --interrupt         実行中のアップロードを中断します\n"
    "  --settings          設定画面を開きます\n"
    "  --quit              クライアントを終了します\n"
    "  --help              この説明を表示します\n"
    "\n"
    "終了コード: 0 完了、1 クライアントが受け付けなかった、2 引数の誤り、\n"
    "3 このデータフォルダーのクライアントが起動していない\n";

// Option → command of each request.
const std::pair<const char*, const char*> kOptions[] = {
    {"--pause", "pause"},           {"--resume", "resume"}, {"--interrupt", "interrupt"},
    {"--settings", "settings"},     {"--quit", "quit"},     {"--status", "status"},
    {"--upload-now", "upload-now"},
};

void print(std::FILE* stream, const QString& text) {
    if (text.isEmpty())
        return;
    std::fputs(text.toLocal8Bit().constData(), stream);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stream);
}

int usage(const QString& text) {
    print(stderr, text + QStringLiteral("\n詳しくは Quillon --help をご覧ください。"));
    return ControlCommand::UsageError;
}

QString str(const picojson::value& v) {
    return v.is<std::string>() ? QString::fromStdString(v.get<std::string>()) : QString();
}

QString num(const picojson::value& v) {
    return v.is<double>() ? QString::number(static_cast<qint64>(v.get<double>())) : QString();
}

// "  進行: アップロード中 3/40 ファイル 1200/50000 バイト (a.txt)" for a running job.
QString progressLine(const picojson::value& p) {
    if (!p.is<picojson::object>())
        return QString();
    QString phase = str(p.get("phase"));
    for (const UploadPhase known : kUploadPhases) {
        if (phase == QLatin1String(PhaseKey(known)))
            phase = PhaseText(known);
    }
    QString line = QStringLiteral("  進行: %1 %2/%3 ファイル %4/%5 バイト")
                       .arg(phase, num(p.get("filesDone")), num(p.get("filesTotal")),
                            num(p.get("bytesDone")), num(p.get("bytesTotal")));
    if (!str(p.get("currentFile")).isEmpty())
        line += QStringLiteral("（%1）").arg(str(p.get("currentFile")));
    return line + QLatin1Char('\n');
}

// The status for a person to read.
QString describe(const picojson::value& status) {
    static const std::map<QString, QString> states{
        {"idle", "待機中"},
        {"running", "アップロード中"},
        {"paused", "休止中"},
        {"error", "エラーあり（エラー確認をしてください）"}};
    const auto state = states.find(str(status.get("state")));
    QString out = QStringLiteral("状態: %1\nバージョン: %2\nアカウント: %3\n")
                      .arg(state == states.end() ? str(status.get("state")) : state->second,
                           str(status.get("version")),
                           str(status.get("account")).isEmpty() ? QStringLiteral("（未設定）")
                                                                : str(status.get("account")));
    const picojson::value& jobs = status.get("jobs");
    if (!jobs.is<picojson::array>() || jobs.get<picojson::array>().empty())
        return out + QStringLiteral("アップロードの設定が登録されていません。\n");
    for (const picojson::value& job : jobs.get<picojson::array>()) {
        const QString last = str(job.get("lastBackup"));
        const QString next = str(job.get("nextStart"));
        out += QStringLiteral("ジョブ %1: %2（%3）\n  %4 前回: %5%6\n  次回: %7\n")
                   .arg(num(job.get("number")), str(job.get("name")), str(job.get("source")),
                        job.get("running").evaluate_as_boolean() ? QStringLiteral("実行中")
                                                                 : QStringLiteral("待機中"),
                        str(job.get("lastResult")),
                        last.isEmpty() ? QString() : QStringLiteral("（%1）").arg(last),
                        next.isEmpty() ? QStringLiteral("予定なし") : next);
        out += progressLine(job.get("progress"));
    }
    return out;
}

}  // namespace

bool ControlCommand::IsRequest(const QStringList& args) {
    return !args.isEmpty() && args != QStringList{QStringLiteral("--headless")};
}

std::optional<picojson::object> ControlCommand::Send(const QString& dataFolder,
                                                     const picojson::object& request,
                                                     int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(ControlServer::SocketPath(dataFolder));
    if (!socket.waitForConnected(timeoutMs))
        return std::nullopt;
    socket.write(QByteArray::fromStdString(picojson::value(request).serialize()) + '\n');
    socket.flush();
    QByteArray reply;
    while (!reply.endsWith('\n') && socket.waitForReadyRead(timeoutMs))
        reply += socket.readAll();
    picojson::value value;
    if (!picojson::parse(value, reply.toStdString()).empty() || !value.is<picojson::object>())
        return std::nullopt;
    return value.get<picojson::object>();
}

int ControlCommand::Run(const QStringList& args, const QString& dataFolder) {
    if (args == QStringList{QStringLiteral("--help")} ||
        args == QStringList{QStringLiteral("-h")}) {
        print(stdout, QString::fromUtf8(kHelp));
        return Done;
    }
    QStringList rest = args;
    const bool json = rest.removeAll(QStringLiteral("--json")) > 0;
    if (rest.isEmpty())
        return usage(QStringLiteral("オプションが足りません。"));
    const auto option = std::find_if(std::begin(kOptions), std::end(kOptions), [&](const auto& p) {
        return rest[0] == QLatin1String(p.first);
    });
    if (option == std::end(kOptions))
        return usage(QStringLiteral("不明なオプションです: %1").arg(rest[0]));
    picojson::object request{{"command", picojson::value(option->second)}};
    const bool upload = request["command"].get<std::string>() == "upload-now";
    if (upload) {
        if (rest.size() < 2)
            return usage(
                QStringLiteral("--upload-now にはジョブの番号か all を指定してください。"));
        bool number = false;
        const int n = rest[1].toInt(&number);
        if (rest[1] == QLatin1String("all"))
            request["job"] = picojson::value("all");
        else if (number && n >= 1 && n <= 20)
            request["job"] = picojson::value(static_cast<double>(n));
        else
            return usage(QStringLiteral("ジョブの番号は 1～20 か all です: %1").arg(rest[1]));
    }
    if (rest.size() > (upload ? 2 : 1))
        return usage(QStringLiteral("不明なオプションです: %1").arg(rest[upload ? 2 : 1]));
    if (json && request["command"].get<std::string>() != "status")
        return usage(QStringLiteral("--json は --status とともに指定してください。"));

    const std::optional<picojson::object> reply = Send(dataFolder, request);
    if (!reply) {
        print(stderr, QStringLiteral("TORVAL2 クライアントツールは起動していません。"));
        return NoClient;
    }
    const picojson::value answer(*reply);
    const bool ok = answer.get("ok").evaluate_as_boolean();
    if (ok && answer.get("status").is<picojson::object>())
        print(stdout, json ? QString::fromStdString(answer.get("status").serialize())
                           : describe(answer.get("status")));
    print(ok ? stdout : stderr, str(answer.get("message")));
    return ok ? Done : Refused;
}
