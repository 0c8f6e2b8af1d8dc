#pragma once

#include <QStringList>

// The addresses that prove a connection carries traffic. The production lists live here and nowhere else.
//
// On a simulated Mac (TOVREN_HOST_ROOT set) the variable TOVREN_PROBE_TARGETS may replace lists, so that local
// test servers can answer probes that do not pass through the proxy core (the core itself maps host names to
// local servers with its own host map). On a real Mac the variable is ignored.
//
//     TOVREN_PROBE_TARGETS="direct=http://127.0.0.1:18080/generate_204 http://127.0.0.1:18080/robots.txt; ai=..."
//
// Entries are separated by ";", each names a list (web, direct or ai) and gives its URLs separated by white
// space or commas. Lists it does not name keep their production values.
namespace ProbeTargets {

struct Lists
{
    QStringList web;    // through the local proxy; reachable at 200 to 399
    QStringList direct; // without any proxy; reachable at 200 to 399
    QStringList ai;     // through the AI entry; reachable at 200 to 499 (an API refusing a missing key answered)

    friend bool operator==(const Lists &, const Lists &) = default;
};

const Lists &production();

// The lists in force: production, or the override on a simulated Mac.
Lists current();

// `base` with the lists that `text` names replaced. Unknown list names are ignored.
Lists withOverride(const Lists &base, const QString &text);

} // namespace ProbeTargets
