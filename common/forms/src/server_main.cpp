#include "kelvor/server_main.h"

#include <QApplication>
#include <cstdio>

#include "kelvor/display.h"
#include "kelvor/error.h"

namespace kelvor::forms {

int ServeMain(int argc, char** argv, const ServerSetup& setup) {
    if (int rc = RunWindowProcess(argc, argv); rc >= 0) return rc;
    PrepareDisplay();
    QApplication app(argc, argv);
    QApplication::setApplicationName(setup.name);
    QApplication::setApplicationVersion(KELVOR_VERSION);
    // Hidden forms (the engine's timer form) and closed windows do not end a server: its
    // objects and loaded forms do.
    QApplication::setQuitOnLastWindowClosed(false);
    automation::Server server(setup.progId, setup.factory);
    try {
        server.start();
    } catch (const Error& e) {
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        return 1;
    }
    int rc = QApplication::exec();
    if (setup.atEnd) setup.atEnd();
    return rc;
}

}  // namespace kelvor::forms
