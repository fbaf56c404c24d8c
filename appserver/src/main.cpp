// KelvorSystemPE: the application server. The bus starts it when a client creates
// KelvorSystemPE.Application; it ends when no object and no form is left.
#include "application.h"
#include "kelvor/server_main.h"

int main(int argc, char** argv) {
    return kelvor::forms::ServeMain(
        argc, argv,
        {"KelvorSystemPE", "KelvorSystemPE.Application",
         [] { return new kelvor::appserver::Application; },
         // The session's database handles go before the engine layer does.
         [] { kelvor::appserver::Session().Close(); }});
}
