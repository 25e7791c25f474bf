#pragma once

#include <QString>

// Starting a program that outlives its starter.
namespace DetachedProcess {

// Starts program, without arguments, in a session of its own (it outlives
// the starter and its terminal), and does not wait for it. 0 when it
// started, else the system's error number.
int Start(const QString& program);

}  // namespace DetachedProcess
