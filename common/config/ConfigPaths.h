#pragma once

#include <QString>

// Full path of QuillonConfig.ini (user settings and the job list).
QString ConfigPath();
// Full path of Quillon.ini (host keys and the update server list).
QString ProgramSettingsPath();
