// Kelvor41PERepair: the database maintenance wizard.
#include <QApplication>

#include "kelvor/manual.h"
#include "wizard.h"

namespace {

// --help, and the manual page the build makes from it.
const kelvor::manual::Page kManual = {
    "Kelvor41PERepair",
    "the Kelvor database maintenance wizard",
    {"Kelvor41PERepair", "Kelvor41PERepair --help | --version"},
    {{"DESCRIPTION",
      {"Kelvor41PERepair walks an administrator through the databases of an installation's "
       "companies, the System Manager database and the program database, and compacts the "
       "ones picked, each into a checked copy that then takes the file's place. It finds the "
       "installation in the registry and logs on to its workgroup file.",
       "A run can be cancelled between databases; no database is ever left half-swapped, and a "
       "database stays locked from the start of its compaction until its copy has its name."},
      {}},
     {"ENVIRONMENT",
      {},
      {{"KELVOR_REGISTRY", "The registry folder (default /etc/kelvor/registry)."}}},
     {"SEE ALSO", {"kelvor(1)"}, {}}},
};

}  // namespace

int main(int argc, char** argv) {
    if (int rc = kelvor::manual::StandardOption(argc, argv, kManual); rc >= 0) return rc;
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kelvor41PERepair");
    QApplication::setApplicationVersion(KELVOR_VERSION);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!kelvor::wizard::Main()) return 0;
    int rc = QApplication::exec();
    kelvor::wizard::g_dbProgram = kelvor::Database();
    return rc;
}
