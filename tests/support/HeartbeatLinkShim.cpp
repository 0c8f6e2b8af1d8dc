// Until the connection heartbeat is part of the core library, the test executables link against these empty
// definitions. Remove this file (and its line in tests/CMakeLists.txt) when AppStateHeartbeat.cpp arrives.
#include "core/AppState.h"

void AppState::startConnectionHeartbeat(const Endpoint &, const Device &, std::optional<double>)
{
}

void AppState::stopConnectionHeartbeat()
{
}
