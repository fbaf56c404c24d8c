// KelvorSystemPE: the application server. The bus starts it when a client creates
// KelvorSystemPE.Application; it ends when no object and no form is left.
#include <QApplication>
#include <cstdio>

#include "application.h"
#include "kelvor/about_box.h"

int main(int argc, char** argv) {
    kelvor::forms::PrepareDisplay();
    QApplication app(argc, argv);
    QApplication::setApplicationName("KelvorSystemPE");
    QApplication::setApplicationVersion(KELVOR_VERSION);
    QApplication::setQuitOnLastWindowClosed(false);
    kelvor::automation::Server server("KelvorSystemPE.Application",
                                      [] { return new kelvor::appserver::Application; });
    try {
        server.start();
    } catch (const kelvor::JetError& e) {
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        return 1;
    }
    int rc = QApplication::exec();
    // The session's database handles go before the engine layer does.
    kelvor::appserver::Session().Close();
    return rc;
}
