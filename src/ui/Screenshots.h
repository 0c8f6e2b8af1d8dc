#pragma once

#include <QString>
#include <QStringList>

// Writes PNG pictures of the window in fixed states: the home page signed out and connected, the sign-in
// sheet, the plans, invitation and settings pages (the settings page also scrolled to its feedback form), the home
// page under a dark system theme, and the home page with twenty endpoints listed at the window's minimum size. The
// states are set directly on a state of its own; nothing reaches the network. Returns the files written, or an empty
// list when the folder is unusable.
QStringList writeScreenshots(const QString &directory);
inline constexpr int screenshotCount = 9;

// Does to the application what a Mac switched to dark mode does: dark palettes for the application and for labels,
// buttons and menus, then a theme change sent to every window.
void imitateDarkSystemTheme();
