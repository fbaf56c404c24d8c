#include "bus_fixture.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QThread>

namespace kelvor::test {

Receiver::Receiver() {
    new ReceiverAdaptor(this);
    armed.start();
}

ReceiverAdaptor::ReceiverAdaptor(Receiver* parent) : QDBusAbstractAdaptor(parent), r_(parent) {}

void ReceiverAdaptor::CallBack(int lErr, const QString& sError, int& lErr_out,
                               QString& sError_out) {
    ++r_->calls;
    r_->lErr = lErr;
    r_->sError = sError;
    r_->msSinceArmed = r_->armed.elapsed();
    if (r_->onCallBack) std::exchange(r_->onCallBack, nullptr)();
    lErr_out = lErr;
    sError_out = sError;
}

automation::Server& BusTest::server() {
    static automation::Server* s = [] {
        auto* srv = new automation::Server("KelvorTest.Receiver", [] { return new Receiver; });
        srv->start();
        srv->hold();  // the test process decides when it ends
        return srv;
    }();
    return *s;
}

automation::Object BusTest::serveHere(automation::ServedObject* o) {
    automation::ObjectRef ref = server().serve(o, automation::Bus().baseService());
    automation::Object handle = automation::Object::FromRef(ref);
    // FromRef took a second hold; give back the one serve() made.
    server().release(automation::Bus().baseService(), ref.path.path());
    return handle;
}

bool BusTest::waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return done();
}

bool BusTest::hasOwner(const QString& name) {
    return automation::Bus().interface()->isServiceRegistered(name).value();
}

}  // namespace kelvor::test
