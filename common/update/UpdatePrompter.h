#pragma once

#include <QString>

// The questions the update procedure asks the user. The procedure itself is
// windowless; the updater answers through message boxes, tests answer as
// they need.
class UpdatePrompter {
public:
    virtual ~UpdatePrompter() = default;
    // The add-on installer question; true for Yes.
    virtual bool confirmAddOnInstall() = 0;
    // A notice the user acknowledges with OK.
    virtual void notify(const QString& text) = 0;
};
