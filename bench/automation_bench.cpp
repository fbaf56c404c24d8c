// Round trip of a trivial call by name through the automation runtime, next to the same call
// as a bare QtDBus message, both to the queue engine server on the same bus in the same run.
// Run under a bus where the server is activatable: `kelvor session -- automation_bench`.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kelvor/automation.h"
#include "kelvor/jet_error.h"

using kelvor::automation::Arg;
using kelvor::automation::Object;

namespace {

// Median of `rounds` timings of `calls` calls, in microseconds per call.
template <typename F>
double medianMicros(int rounds, int calls, F call) {
    std::vector<double> per;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < calls; ++i) call();
        per.push_back(static_cast<double>(t.nsecsElapsed()) / 1000.0 / calls);
    }
    std::sort(per.begin(), per.end());
    return per[per.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    int rounds = quick ? 3 : 9, calls = quick ? 200 : 3000;
    try {
        Object engine = Object::CreateObject("KelvorQueuePE.QueueEngine");
        kelvor::automation::ObjectRef ref = engine.ref();
        std::string id = "C000001";
        // Warm both paths up.
        for (int i = 0; i < 100; ++i) engine.CallByName("GetLogID", {Arg::ByRef(id)});

        QDBusConnection bus = QDBusConnection::sessionBus();
        QDBusMessage raw = QDBusMessage::createMethodCall(ref.service, ref.path.path(),
                                                          "KelvorQueuePE._QueueEngine", "GetLogID");
        raw << QString("C000001");
        bool rawOk = true;
        double runtime = 0, bare = 0;
        // Alternate the two so that a change in the machine's load hits both.
        for (int pass = 0; pass < 2; ++pass) {
            bare += medianMicros(rounds, calls, [&] {
                QDBusMessage reply = bus.call(raw, QDBus::Block);
                rawOk = rawOk && reply.type() == QDBusMessage::ReplyMessage;
            });
            runtime += medianMicros(rounds, calls,
                                    [&] { engine.CallByName("GetLogID", {Arg::ByRef(id)}); });
        }
        bare /= 2;
        runtime /= 2;
        if (!rawOk) {
            std::fprintf(stderr, "error: the bare call failed\n");
            return 1;
        }
        double ratio = runtime / bare;
        std::printf("Round trip of GetLogID to KelvorQueuePE, microseconds per call (median)\n");
        std::printf("  bare QtDBus message, blocking        %8.1f\n", bare);
        std::printf("  runtime call by name, serving calls  %8.1f\n", runtime);
        std::printf("  ratio runtime/bare %.2fx, target <= 2x: %s%s\n", ratio,
                    ratio <= 2.0 ? "met" : "MISSED", quick ? " (not enforced in quick mode)" : "");
        return !quick && ratio > 2.0 ? 1 : 0;
    } catch (const kelvor::JetError& e) {
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        return 1;
    }
}
