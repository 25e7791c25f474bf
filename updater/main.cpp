#include <QApplication>
#include <QMessageBox>

#include "CLogWriter.h"
#include "CTorval2UpdaterApp.h"
#include "QtTranslation.h"
#include "UpdatePrompter.h"

namespace {

const QString kTitle = QStringLiteral("TORVAL2 クライアントツール アップデーター");

// The updater's only ways to talk to the user.
class MessageBoxPrompter : public UpdatePrompter {
public:
    bool confirmAddOnInstall() override {
        return QMessageBox::question(
                   nullptr, kTitle,
                   QStringLiteral("TORVAL2 クライアントツール FAddOnのアップデートがあります。\n"
                                  "インストールしますか？"),
                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    }
    void notify(const QString& text) override { QMessageBox::information(nullptr, kTitle, text); }
};

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    InstallQtTranslation(app);
    CLogWriter logger;
    MessageBoxPrompter prompter;
    return CTorval2UpdaterApp(logger, prompter).InitInstance();
}
