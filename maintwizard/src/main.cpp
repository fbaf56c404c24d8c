// Kelvor41PERepair: the database maintenance wizard.
#include <QApplication>

#include "wizard.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kelvor41PERepair");
    QApplication::setApplicationVersion(KELVOR_VERSION);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!kelvor::wizard::Main()) return 0;
    int rc = QApplication::exec();
    kelvor::wizard::g_dbProgram = kelvor::Database();
    return rc;
}
