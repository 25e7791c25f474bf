#pragma once

#include "CLogWriter.h"
#include "TrayPresenter.h"
#include "UserNotifier.h"

// The tray window's face without a display (Quillon --headless): no icon,
// balloons and messages go to the event log, and there is nobody to ask, so
// questions count as yes (only menu commands ask, and there is no menu).
class HeadlessPresenter : public TrayPresenter, public UserNotifier {
public:
    void setIcon(TrayIcon) override {}
    void showBalloon(const QString& text) override { CLogWriter().Log(CLogWriter::LogInfo, text); }
    void showMessage(const QString& text) override { CLogWriter().Log(CLogWriter::LogError, text); }
    bool ask(const QString&) override { return true; }
    // Any thread: each call writes through a logger of its own.
    void showWarning(const QString& text) override {
        CLogWriter().Log(CLogWriter::LogWarning, text);
    }
};
