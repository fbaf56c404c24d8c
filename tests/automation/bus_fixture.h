// What the tests on the bus share: a call-back object this test process serves on the bus,
// and waiting on the event loop.
#pragma once

#include <gtest/gtest.h>

#include <QDBusAbstractAdaptor>
#include <QElapsedTimer>
#include <functional>

#include "kelvor/automation.h"

namespace kelvor::test {

// An object with a CallBack method, as the application server's call-back object has.
class Receiver : public automation::ServedObject {
    Q_OBJECT
  public:
    Receiver();
    int calls = 0;
    int lErr = 0;
    QString sError;
    qint64 msSinceArmed = -1;
    QElapsedTimer armed;
    std::function<void()> onCallBack;  // runs inside the call, before it answers
};

class ReceiverAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "KelvorTest._Receiver")
  public:
    explicit ReceiverAdaptor(Receiver* parent);
  public Q_SLOTS:
    void CallBack(int lErr, const QString& sError, int& lErr_out, QString& sError_out);

  private:
    Receiver* r_;
};

// An object with no CallBack method at all.
class Mute : public automation::ServedObject {
    Q_OBJECT
};

class BusTest : public ::testing::Test {
  protected:
    // This process's own server, for the objects it hands to others.
    static automation::Server& server();
    // Serves `o`, held by this process; the returned handle is this process's reference.
    static automation::Object serveHere(automation::ServedObject* o);
    // Runs the event loop until `done` or `ms` have passed; returns `done()`.
    static bool waitFor(const std::function<bool()>& done, int ms);
    static bool hasOwner(const QString& name);
};

}  // namespace kelvor::test
