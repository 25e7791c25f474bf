#include "ConfigPaths.h"

#include "LocalAppData.h"

QString ConfigPath() {
    return LocalAppData::productFolder() + QStringLiteral("/QuillonConfig.ini");
}

QString ProgramSettingsPath() {
    return LocalAppData::productFolder() + QStringLiteral("/Quillon.ini");
}
