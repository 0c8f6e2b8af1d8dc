#pragma once

#include <QString>
#include <QStringList>

// Writes PNG pictures of the window in fixed states: the home page signed out and connected, the sign-in
// sheet, and the plans, invitation and settings pages (the settings page also scrolled to its feedback form). The
// states are set directly on a state of its own; nothing reaches the network. Returns the files written, or an empty
// list when the folder is unusable.
QStringList writeScreenshots(const QString &directory);
