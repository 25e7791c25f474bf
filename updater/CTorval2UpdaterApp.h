#pragma once

#include <QString>

class CLogWriter;
class UpdatePrompter;

// The updater's one pass: single-instance check, settings migration, update
// check and install, then the client (and the add-on companion) started
// without waiting. It has no window; it asks only through prompter.
class CTorval2UpdaterApp {
public:
    CTorval2UpdaterApp(CLogWriter& logger, UpdatePrompter& prompter);
    // Runs the steps; returns the program's exit code (always 0).
    int InitInstance();

private:
    // Starts program detached; on failure logs the failure text, the command
    // line, the error number and its text. True when it started.
    bool startDetached(const QString& program, const QString& failureText);

    CLogWriter& logger_;
    UpdatePrompter& prompter_;
};
