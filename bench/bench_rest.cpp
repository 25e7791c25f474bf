// Uploads through CRestControl against baselines measured in the same run on
// one emulator: a large file against the curl command line, and many small
// files against a plain libcurl loop on one reused handle. Prints rates,
// ratios, the client's peak memory growth and the connections the emulator
// saw; asserts no time.
#include "CLogWriter.h"
#include "CRestControl.h"
#include "UploadTask.h"

#include "ConfigPaths.h"
#include "ProfileFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <curl/curl.h>
#include <fcntl.h>
#include <picojson.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "EmulatorProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kCurl = "/usr/bin/curl";
constexpr const char* kUser = "taro@velmora";
constexpr const char* kPassword = "pa:ss word";
constexpr int kSmallFiles = 2000;
constexpr int kSmallSize = 1024;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// VmHWM of this process in KiB; -1 when unreadable.
long peakRssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Lowers VmHWM to the current RSS, so an earlier peak cannot hide the next one.
bool resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

// Runs a program without a shell; returns its standard output, or "" on failure.
std::string run(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

// What the emulator's journal shows for the requests whose target holds a marker.
struct JournalStats {
    int requests = 0;
    int challenged = 0;  // answered 401
    int stored = 0;      // answered 204
    std::set<std::string> remotes;
};

JournalStats journalFor(const EmulatorProcess& emulator, const std::string& marker) {
    JournalStats stats;
    std::ifstream in(emulator.dataFolder() / "journal.jsonl");
    std::string line;
    while (std::getline(in, line)) {
        picojson::value v;
        if (!picojson::parse(v, line).empty() || !v.is<picojson::object>())
            continue;
        if (v.get("target").to_str().find(marker) == std::string::npos)
            continue;
        ++stats.requests;
        const double status = v.get("status").is<double>() ? v.get("status").get<double>() : 0;
        stats.challenged += status == 401;
        stats.stored += status == 204;
        stats.remotes.insert(v.get("remote").to_str());
    }
    return stats;
}

void printJournal(const char* who, const JournalStats& s) {
    std::printf("  %-22s %5d requests, %5d answered 401, %5d stored, %5zu distinct connections\n",
                who, s.requests, s.challenged, s.stored, s.remotes.size());
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// The baseline of the small uploads: one easy handle, set up once, with the
// client's header lines, form and authentication methods.
class PlainUploader {
public:
    PlainUploader(const EmulatorProcess& emulator, const CRestSettings& settings)
        : handle_(curl_easy_init()),
          connectTo_("localhost:443:127.0.0.1:" + std::to_string(emulator.port())),
          caFile_(emulator.certificate().string()),
          userAgent_(settings.userAgent.toStdString()) {
        connectList_ = curl_slist_append(nullptr, connectTo_.c_str());
        headers_ = curl_slist_append(nullptr, "Expect: 100-continue");
        headers_ = curl_slist_append(headers_,
                                     ("X-Device-ID: " + settings.DeviceId.toStdString()).c_str());
        headers_ = curl_slist_append(headers_, "Pragma: no-cache");
        headers_ = curl_slist_append(headers_, "Cache-Control: no-cache");
        curl_easy_setopt(handle_, CURLOPT_CAINFO, caFile_.c_str());
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(handle_, CURLOPT_CONNECT_TO, connectList_);
        curl_easy_setopt(handle_, CURLOPT_USERAGENT, userAgent_.c_str());
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(handle_, CURLOPT_HTTPAUTH,
                         static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
        curl_easy_setopt(handle_, CURLOPT_USERNAME, kUser);
        curl_easy_setopt(handle_, CURLOPT_PASSWORD, kPassword);
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, discard);
    }
    ~PlainUploader() {
        curl_easy_cleanup(handle_);
        curl_slist_free_all(headers_);
        curl_slist_free_all(connectList_);
    }
    PlainUploader(const PlainUploader&) = delete;
    PlainUploader& operator=(const PlainUploader&) = delete;

    bool upload(const fs::path& local, const std::string& remoteFolder) {
        const std::string name = local.filename().string();
        curl_mime* mime = curl_mime_init(handle_);
        curl_mimepart* exclude = curl_mime_addpart(mime);
        curl_mime_name(exclude, "exclude");
        curl_mime_data(exclude, "all", CURL_ZERO_TERMINATED);
        curl_mimepart* entity = curl_mime_addpart(mime);
        curl_mime_name(entity, "entity");
        // libcurl opens, sizes and reads the file itself.
        if (curl_mime_filedata(entity, local.c_str()) != CURLE_OK) {
            curl_mime_free(mime);
            return false;
        }
        curl_mime_type(entity, "application/octet-stream");
        curl_easy_setopt(handle_, CURLOPT_MIMEPOST, mime);
        const std::string url =
            "https://localhost:443/api/v1//experimental/repository/0/file/path" + remoteFolder +
            "/" + name + "/:entity";
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        const CURLcode rc = curl_easy_perform(handle_);
        long code = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
        curl_easy_setopt(handle_, CURLOPT_MIMEPOST, nullptr);
        curl_mime_free(mime);
        return rc == CURLE_OK && code == 204;
    }

private:
    CURL* handle_;
    std::string connectTo_;
    std::string caFile_;
    std::string userAgent_;
    curl_slist* connectList_ = nullptr;
    curl_slist* headers_ = nullptr;
};

// The curl command line posting the same form as the client, with Basic sent at once.
bool curlUpload(const EmulatorProcess& emulator, const CRestSettings& settings,
                const fs::path& local, const std::string& remoteFolder) {
    const std::string url = "https://localhost/api/v1//experimental/repository/0/file/path" +
                            remoteFolder + "/" + local.filename().string() + "/:entity";
    const std::string code = run({kCurl,
                                  "-sS",
                                  "-o",
                                  "/dev/null",
                                  "-w",
                                  "%{http_code}",
                                  "--cacert",
                                  emulator.certificate().string(),
                                  "--connect-to",
                                  "localhost:443:127.0.0.1:" + std::to_string(emulator.port()),
                                  "-u",
                                  std::string(kUser) + ":" + kPassword,
                                  "--basic",
                                  "-A",
                                  settings.userAgent.toStdString(),
                                  "-H",
                                  "Expect: 100-continue",
                                  "-H",
                                  "X-Device-ID: " + settings.DeviceId.toStdString(),
                                  "-H",
                                  "Pragma: no-cache",
                                  "-H",
                                  "Cache-Control: no-cache",
                                  "-F",
                                  "exclude=all",
                                  "-F",
                                  "entity=@" + local.string() + ";type=application/octet-stream",
                                  url});
    return code == "204";
}

// The emulator's copy must be whole; it is removed at once to bound disk use.
bool takeStored(const EmulatorProcess& emulator, const std::string& remoteFolder,
                const fs::path& local, uintmax_t size) {
    const fs::path stored =
        emulator.repository() / fs::path(remoteFolder).relative_path() / local.filename();
    std::error_code ec;
    const bool whole = fs::file_size(stored, ec) == size && !ec;
    fs::remove(stored, ec);
    return whole;
}

bool benchLargeFile(const EmulatorProcess& emulator, const CRestSettings& settings,
                    const QTemporaryDir& work) {
    std::printf("== one large file: CRestControl::UploadFile vs %s\n", kCurl);
    if (access(kCurl, X_OK) != 0) {
        std::printf("  skipped: %s is missing (apt-get install curl)\n", kCurl);
        return true;
    }
    const fs::path folder = work.path().toStdString();
    std::error_code ec;
    const fs::space_info space = fs::space(folder, ec);
    uintmax_t size = uintmax_t{1} << 30;
    if (ec || space.available < (uintmax_t{3} << 30)) {
        size = uintmax_t{256} << 20;
        std::printf("  less than 3 GiB free in %s: using 256 MiB instead of 1 GiB\n",
                    folder.c_str());
    }
    // Sparse: both sides read the same bytes, and the disk is spared a write.
    const fs::path big = folder / "large-upload.bin";
    {
        const int fd = ::open(big.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            std::printf("  cannot create %s\n", big.c_str());
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        ::close(fd);
    }
    const std::string clientFolder = "/Velmora/large-client";
    const std::string curlFolder = "/Velmora/large-curl";
    fs::create_directories(emulator.repository() / "Velmora" / "large-client");
    fs::create_directories(emulator.repository() / "Velmora" / "large-curl");

    const double mib = static_cast<double>(size) / (1 << 20);
    double bestClient = 0, bestCurl = 0;
    long worstGrowth = 0;
    bool ok = true;
    // The first large write into a fresh emulator is markedly slower, whoever sends it.
    if (!curlUpload(emulator, settings, big, curlFolder) ||
        !takeStored(emulator, curlFolder, big, size)) {
        std::printf("  warm-up upload failed\n");
        ok = false;
    }
    CRestControl rest(&settings);
    // ABBA order, so writeback and cache effects fall on both sides alike.
    for (const bool client : {false, true, true, false}) {
        if (client) {
            const bool reset = resetPeakRss();
            const long before = peakRssKiB();
            const auto start = std::chrono::steady_clock::now();
            CRestResult result;
            rest.UploadFile(result, QString::fromStdString(big.string()),
                            QString::fromStdString(clientFolder));
            const double s = seconds(start);
            const long after = peakRssKiB();
            const bool whole = result.ok && takeStored(emulator, clientFolder, big, size);
            ok = ok && whole;
            bestClient = std::max(bestClient, mib / s);
            worstGrowth = std::max(worstGrowth, after - before);
            std::printf("  client: %8.1f MiB/s (%.2f s, status %d%s), VmHWM %ld -> %ld KiB%s\n",
                        mib / s, s, result.status, whole ? "" : ", NOT STORED", before, after,
                        reset ? "" : " (peak not reset)");
        } else {
            const auto start = std::chrono::steady_clock::now();
            const bool sent = curlUpload(emulator, settings, big, curlFolder);
            const double s = seconds(start);
            const bool whole = sent && takeStored(emulator, curlFolder, big, size);
            ok = ok && whole;
            bestCurl = std::max(bestCurl, mib / s);
            std::printf("  curl:   %8.1f MiB/s (%.2f s%s)\n", mib / s, s,
                        whole ? "" : ", NOT STORED");
        }
    }
    fs::remove(big, ec);
    std::printf("  %.0f MiB, best of 2 each: client %.1f MiB/s, curl %.1f MiB/s\n", mib, bestClient,
                bestCurl);
    std::printf("  ratio client/curl: %.2fx (target >= 0.9x)\n",
                bestCurl > 0 ? bestClient / bestCurl : 0.0);
    std::printf("  client peak memory growth: %.1f MiB (target < 64 MiB)\n", worstGrowth / 1024.0);
    printJournal("client (CRestControl):", journalFor(emulator, "/large-client/"));
    printJournal("curl (with warm-up):", journalFor(emulator, "/large-curl/"));
    return ok;
}

bool benchSmallFiles(const EmulatorProcess& emulator, const CRestSettings& settings,
                     const QTemporaryDir& work) {
    std::printf("== %d uploads of %d-byte files: one CRestControl vs one reused libcurl handle\n",
                kSmallFiles, kSmallSize);
    const fs::path folder = fs::path(work.path().toStdString()) / "small";
    fs::create_directories(folder);
    std::vector<fs::path> files;
    std::string content(kSmallSize, '\0');
    for (int i = 0; i < kSmallFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.bin", i);
        for (int b = 0; b < kSmallSize; ++b)
            content[static_cast<size_t>(b)] = static_cast<char>((i * 131 + b * 7) & 0xff);
        files.push_back(folder / name);
        std::ofstream(files.back(), std::ios::binary) << content;
    }
    const std::string clientFolder = "/Velmora/small-client";
    const std::string plainFolder = "/Velmora/small-plain";
    fs::create_directories(emulator.repository() / "Velmora" / "small-client");
    fs::create_directories(emulator.repository() / "Velmora" / "small-plain");

    CRestControl rest(&settings);
    PlainUploader plain(emulator, settings);
    double clientSeconds = 0, plainSeconds = 0;
    int clientFailed = 0, plainFailed = 0;
    const int half = kSmallFiles / 2;
    // ABBA by halves, each side keeping its one handle throughout.
    const struct {
        bool client;
        int from;
    } order[] = {{false, 0}, {true, 0}, {true, half}, {false, half}};
    for (const auto& part : order) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = part.from; i < part.from + half; ++i) {
            if (part.client) {
                CRestResult result;
                rest.UploadFile(result, QString::fromStdString(files[i].string()),
                                QString::fromStdString(clientFolder));
                clientFailed += !result.ok;
            } else {
                plainFailed += !plain.upload(files[i], plainFolder);
            }
        }
        (part.client ? clientSeconds : plainSeconds) += seconds(start);
    }
    const double clientRate = kSmallFiles / clientSeconds;
    const double plainRate = kSmallFiles / plainSeconds;
    std::printf("  client: %8.1f uploads/s (%.2f s, %d failed)\n", clientRate, clientSeconds,
                clientFailed);
    std::printf("  plain:  %8.1f uploads/s (%.2f s, %d failed)\n", plainRate, plainSeconds,
                plainFailed);
    std::printf("  ratio client/plain: %.2fx (target >= 0.8x)\n", clientRate / plainRate);
    printJournal("client (CRestControl):", journalFor(emulator, "/small-client/"));
    printJournal("plain libcurl loop:", journalFor(emulator, "/small-plain/"));
    std::error_code ec;
    fs::remove_all(folder, ec);
    return clientFailed == 0 && plainFailed == 0;
}

// A job's first run over 10,000 files of 1 KiB in 100 folders (checks,
// snapshot, folder requests, uploads, reports) against the plain loop sending
// the same files.
bool benchFirstRun(const EmulatorProcess& emulator, const CRestSettings& settings,
                   const QTemporaryDir& work) {
    constexpr int kFolders = 100;
    constexpr int kPerFolder = 100;
    std::printf("== first run of a job with %d files of %d bytes in %d folders\n",
                kFolders * kPerFolder, kSmallSize, kFolders);
    const fs::path hot = fs::path(work.path().toStdString()) / "hot";
    std::vector<fs::path> files;
    const std::string content(kSmallSize, 'q');
    for (int f = 0; f < kFolders; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "d%d", f);
        const fs::path folder = hot / name;
        fs::create_directories(folder);
        for (int i = 0; i < kPerFolder; ++i) {
            std::snprintf(name, sizeof name, "f%d.txt", i);
            files.push_back(folder / name);
            std::ofstream(files.back(), std::ios::binary) << content;
        }
    }
    fs::create_directories(emulator.repository() / "Velmora" / "first-plain");

    PlainUploader plain(emulator, settings);
    auto start = std::chrono::steady_clock::now();
    int plainFailed = 0;
    for (const fs::path& file : files) {
        // Distinct names: the plain loop puts everything in one folder.
        const fs::path renamed = file.parent_path() / (file.parent_path().filename().string() +
                                                       "_" + file.filename().string());
        fs::rename(file, renamed);
        plainFailed += !plain.upload(renamed, "/Velmora/first-plain");
        fs::rename(renamed, file);
    }
    const double plainSeconds = seconds(start);

    UploadJob job;
    job.Name = QStringLiteral("bench");
    job.HotFolder = QString::fromStdString(hot.string());
    job.OrrinPortalFolder = QStringLiteral("/Velmora");
    job.UniqueId = QStringLiteral("1700000000_000_1");
    job.JobNumber = 1;
    std::atomic<int> stop{0};
    CLogWriter logger;
    start = std::chrono::steady_clock::now();
    const TaskBlock block = RunUploadAndWait(job, 0, stop, logger);
    const double runSeconds = seconds(start);
    const bool ok = block.job && block.job->LastUploadFlag == QStringLiteral("成功");

    const double runRate = files.size() / runSeconds;
    const double plainRate = files.size() / plainSeconds;
    std::printf("  first run: %8.1f files/s (%.2f s, %s, %d paths handled)\n", runRate, runSeconds,
                ok ? "succeeded" : "FAILED", block.filesFlag);
    std::printf("  plain:     %8.1f files/s (%.2f s, %d failed)\n", plainRate, plainSeconds,
                plainFailed);
    std::printf("  ratio run/plain: %.2fx (target >= 0.7x)\n", runRate / plainRate);
    std::error_code ec;
    fs::remove_all(hot, ec);
    return ok && plainFailed == 0;
}

}  // namespace

int main() {
    TempDataHome home;
    EmulatorProcess emulator("basic");
    if (!emulator.started()) {
        std::fprintf(stderr, "emulator did not start: %s\n", emulator.firstLine().c_str());
        return 1;
    }
    qputenv("QUILLON_CONNECT_TO",
            QByteArray("localhost:443:127.0.0.1:") + QByteArray::number(emulator.port()));
    const auto ini = [](const QString& section, const QString& key, const QString& value,
                        const QString& path) {
        return ProfileFile::writeString(section, key, value, path);
    };
    if (!ini("Config", "ID", "taro", ConfigPath()) ||
        !ini("Config", "PortalName", "velmora", ConfigPath()) ||
        !ini("Config", "Password", kPassword, ConfigPath()) ||
        !ini("Host", "AutoUpload", "https://localhost/api/v1/", ProgramSettingsPath()) ||
        !ini("AutoUpload", "CAFile", QString::fromStdString(emulator.certificate().string()),
             ProgramSettingsPath())) {
        std::fprintf(stderr, "cannot write the settings files\n");
        return 1;
    }
    const CRestSettings settings = LoadSettings();
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const bool large = benchLargeFile(emulator, settings, work);
    const bool small = benchSmallFiles(emulator, settings, work);
    const bool first = benchFirstRun(emulator, settings, work);
    return large && small && first ? 0 : 1;
}
