// A client for the tests: creates an object by its programmatic identifier, prints "ready"
// and holds it until it is killed or its input ends.
#include <unistd.h>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>

#include "kelvor/automation.h"
#include "kelvor/jet_error.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return 2;
    try {
        kelvor::automation::Object o = kelvor::automation::Object::CreateObject(argv[1]);
        std::printf("ready\n");
        std::fflush(stdout);
        char c;
        while (::read(0, &c, 1) > 0) {
        }
        o.Release();
    } catch (const kelvor::JetError& e) {
        std::printf("error %d\n", e.number());
        return 1;
    }
    return 0;
}
