// KelvorSystemPE: the application server. The bus starts it when a client creates
// KelvorSystemPE.Application; it ends when no object and no form is left.
#include "application.h"
#include "kelvor/manual.h"
#include "kelvor/server_main.h"

namespace {

// --help, and the manual page the build makes from it.
const kelvor::manual::Page kManual = {
    "KelvorSystemPE",
    "the Kelvor application server",
    {"KelvorSystemPE", "KelvorSystemPE --help | --version"},
    {{"DESCRIPTION",
      {"KelvorSystemPE serves the class KelvorSystemPE.Application on the D-Bus session bus: "
       "what the Kelvor front end calls. It is not started by hand: the bus starts it when a "
       "client creates an Application object (its service file is in "
       "/usr/share/dbus-1/services), and it ends when no object and no form is left.",
       "Logon and LogOff keep a session on a company's DT database; ActiveUsersList names the "
       "workstations connected to it; UpdateQueue rebuilds the work queue through "
       "KelvorQueuePE and waits for it, UpdateQueueAsync starts a background update under a "
       "lock that lets one run at a time across all users, and UpdQAsyncStatus tells how it "
       "went: \"\" for success, \"01\" while it runs, a text beginning with \"-1\" for a "
       "failure (/usr/share/dbus-1/interfaces/KelvorSystemPE.Application.xml).",
       "Message boxes appear only when the caller passes prompt as true, and only on a "
       "display. kelvor client drives the server from the command line."},
      {}},
     {"ENVIRONMENT",
      {},
      {{"KELVOR_MESSAGE_LOG", "A file to which every message box is written too."},
       {"KELVOR_STATE_DIR",
        "Where workspaces keep their scratch databases (default /var/tmp/kelvor-UID)."},
       {"KELVOR_BUSY_TIMEOUT_MS",
        "How long a write waits for another program's lock on a file (default 5000)."}}},
     {"SEE ALSO", {"kelvor(1), KelvorQueuePE(1)"}, {}}},
};

}  // namespace

int main(int argc, char** argv) {
    if (int rc = kelvor::manual::StandardOption(argc, argv, kManual); rc >= 0) return rc;
    return kelvor::forms::ServeMain(
        argc, argv,
        {"KelvorSystemPE", "KelvorSystemPE.Application",
         [] { return new kelvor::appserver::Application; },
         // The session's database handles go before the engine layer does.
         [] { kelvor::appserver::Session().Close(); }});
}
