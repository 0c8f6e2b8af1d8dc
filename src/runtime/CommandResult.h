#pragma once

#include <QString>

// What a finished command left behind. Runners that never fail return this record; a child that could
// not be started reads as status 127 with the launch error in standardError.
struct CommandResult
{
    int status = 0;
    QString standardOutput; // decoded as UTF-8; empty when the bytes are not valid UTF-8
    QString standardError;

    // The non-empty ones of standardOutput and standardError, in that order, joined by a line feed.
    QString combinedOutput() const;

    friend bool operator==(const CommandResult &, const CommandResult &) = default;
};
