#pragma once

#include "CLogWriter.h"
#include "CRestControl.h"
#include "ConfigPaths.h"
#include "EmulatorClient.h"
#include "EmulatorJournal.h"
#include "EmulatorProcess.h"
#include "HttpsClient.h"
#include "JournalEntry.h"
#include "ProfileFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

// The REST client pointed at a freshly started storage emulator, with the
// settings files of a data folder of the test's own.
class RestEmulatorTest : public ::testing::Test {
protected:
    explicit RestEmulatorTest(const std::string& auth = "both",
                              const std::vector<std::string>& extra = {})
        : emulator(auth, extra) {}

    void SetUp() override {
        ASSERT_TRUE(emulator.started()) << emulator.firstLine();
        ASSERT_TRUE(PointClientAtEmulator(emulator));
        reload();
    }
    void TearDown() override { qunsetenv("QUILLON_CONNECT_TO"); }

    void setConfig(const QString& key, const QString& value) {
        ASSERT_TRUE(ProfileFile::writeString("Config", key, value, ConfigPath()));
    }
    void setProgram(const QString& section, const QString& key, const QString& value) {
        ASSERT_TRUE(ProfileFile::writeString(section, key, value, ProgramSettingsPath()));
    }
    void reload() { settings = LoadSettings(); }

    std::vector<picojson::value> journal() { return ReadJournal(emulator); }
    // Requests that passed authentication (a Digest exchange adds a 401 round).
    size_t sent() {
        size_t n = 0;
        for (const picojson::value& e : journal())
            n += e.get("status").get<double>() != 401;
        return n;
    }
    void fault(const std::string& json) {
        HttpsClient control(emulator);
        const HttpsReply reply = control.post("/_emulator/faults", json);
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    // One request of the client: its result, the other arguments as the call takes them.
    template <class... Params, class... Args>
    CRestResult call(void (CRestControl::*request)(CRestResult&, Params...), Args&&... args) {
        CRestResult result;
        (rest.*request)(result, std::forward<Args>(args)...);
        return result;
    }
    CRestResult currentUser(CRestUser* user = nullptr) {
        CRestUser read;
        return call(&CRestControl::GetCurrentUser, user ? *user : read);
    }
    // Uploads a local file of that name and content into folder.
    CRestResult upload(const QString& name, const QByteArray& content,
                       const QString& folder = "/Velmora") {
        const QString local = home.path() + QLatin1Char('/') + name;
        EXPECT_TRUE(putFile(local, content));
        return call(&CRestControl::UploadFile, local, folder);
    }
    QString repository(const QString& path) const {
        return QString::fromStdString(emulator.repository().string()) + path;
    }
    QByteArray repositoryFile(const QString& path) const { return fileBytes(repository(path)); }

    TempDataHome home;
    EmulatorProcess emulator;
    CRestSettings settings;
    CLogWriter logger;
    // Reads settings and logger at each request.
    CRestControl rest{&settings, &logger};
};
