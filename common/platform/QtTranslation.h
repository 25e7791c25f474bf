#pragma once

class QCoreApplication;

// Qt's own texts (the standard buttons of message boxes, the file picker) in
// Japanese, the language of every text of the programs, whatever the
// session's locale: installs Qt's "qtbase_ja" from the system's Qt
// translations (Debian: qt6-translations-l10n) on app. False when it is
// missing; Qt's English texts stay then.
bool InstallQtTranslation(QCoreApplication& app);
