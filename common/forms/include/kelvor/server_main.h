// How both servers start and end.
#pragma once

#include <functional>

#include "kelvor/automation.h"

namespace kelvor::forms {

struct ServerSetup {
    const char* name;    // the program's name, as Qt knows it
    const char* progId;  // the class it serves
    automation::Server::Factory factory;
    // Runs once the event loop has ended, before the engine layer goes.
    std::function<void()> atEnd;
};

// The whole of a server's main(): the windows' process when argv asks for one; otherwise the
// display, the application object and serving `progId` until nothing holds the process.
// "error NUMBER: DESCRIPTION" and 1 when the name cannot be taken.
int ServeMain(int argc, char** argv, const ServerSetup& setup);

}  // namespace kelvor::forms
