#pragma once

#include <QStringList>

#include <optional>

#include "picojson.h"

// The request side of the control channel: Quillon's own command line.
// Needs no widgets and no display; a QCoreApplication must exist.
namespace ControlCommand {

enum ExitStatus { Done = 0, Refused = 1, UsageError = 2, NoClient = 3 };

// Whether args (without the program name) ask the running client for
// something, rather than starting a client.
bool IsRequest(const QStringList& args);

// Carries out the request of args against the client of dataFolder, prints
// its answer (stdout) or the failure (stderr), and returns the exit status.
int Run(const QStringList& args, const QString& dataFolder);

// Sends one request and waits for the reply; none when no client of
// dataFolder answers.
std::optional<picojson::object> Send(const QString& dataFolder, const picojson::object& request,
                                     int timeoutMs = 10000);

}  // namespace ControlCommand
