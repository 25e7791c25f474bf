#pragma once

#include <QIcon>

// The program's icon: "quillon" from the icon theme, else the hicolor files
// of the installation the program runs from (PREFIX/share/icons beside
// PREFIX/lib/quillon), in every size found, so each place picks its own.
QIcon LoadAppIcon();
