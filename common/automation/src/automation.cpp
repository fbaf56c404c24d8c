#include "kelvor/automation.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QHash>
#include <QThread>
#include <QTimer>
#include <climits>

#include "kelvor/error.h"

namespace kelvor::automation {

namespace {

// No call times out while the callee works: a queue update may take minutes.
constexpr int kNoTimeout = INT_MAX;
// A server started by the bus that is never asked for an object does not stay around.
constexpr int kIdleStartMs = 60000;
constexpr int kBusCheckMs = 500;
constexpr int kQuitGraceMs = 50;
constexpr int kReplyCheckMs = 100;

[[noreturn]] void cannotCreate(const QString& progId, const QString& why) {
    throw Error(err::kCantCreateObject,
                Error::messageFor(err::kCantCreateObject) + ": " + progId.toStdString() + " (" +
                    why.toStdString() + ")",
                progId.toStdString());
}

// The process that holds the object has gone (or never answers).
[[noreturn]] void serverGone(const QDBusMessage& reply) {
    throw Error(err::kRemoteServerUnavailable, Error::messageFor(err::kRemoteServerUnavailable) +
                                                   " (" + reply.errorMessage().toStdString() + ")");
}

bool isGone(const QString& errorName) {
    return errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject");
}

// Sends a call and waits for its reply while serving calls made to this process (a server's
// call-backs to its caller arrive during the wait). Under load, Qt's own wait
// (QDBus::BlockWithGui) was seen to sleep on with the callee idle, and a call without a time-out
// then never returns: this wait also looks at the call every kReplyCheckMs.
QDBusMessage callAndWait(const QDBusMessage& msg) {
    QDBusPendingCall pending = Bus().asyncCall(msg, kNoTimeout);
    if (!pending.isFinished()) {
        QDBusPendingCallWatcher watcher(pending);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (pending.isFinished()) loop.quit();
        });
        check.start(kReplyCheckMs);
        if (!pending.isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return pending.reply();
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& arg, const ObjectRef& ref) {
    arg.beginStructure();
    arg << ref.service << ref.path;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, ObjectRef& ref) {
    arg.beginStructure();
    arg >> ref.service >> ref.path;
    arg.endStructure();
    return arg;
}

void RegisterTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<ObjectRef>();
        return true;
    }();
    (void)done;
}

QDBusConnection Bus() {
    RegisterTypes();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        throw Error(err::kCantCreateObject, Error::messageFor(err::kCantCreateObject) +
                                                ": no session bus (" +
                                                bus.lastError().message().toStdString() + ")");
    return bus;
}

QDBusVariant ToVariant(const Value& v) {
    switch (v.type()) {
        case VarType::Null:
            return QDBusVariant(QVariant(QVariantList()));
        case VarType::Boolean:
            return QDBusVariant(v.toBool());
        case VarType::Byte:
            return QDBusVariant(QVariant::fromValue<uchar>(static_cast<uchar>(v.toLong())));
        case VarType::Integer:
            return QDBusVariant(QVariant::fromValue<short>(v.toInteger()));
        case VarType::Long:
            return QDBusVariant(v.toLong());
        case VarType::Single:
        case VarType::Double:
            return QDBusVariant(v.toDouble());
        default:
            return QDBusVariant(QString::fromStdString(v.toString()));
    }
}

Value FromVariant(const QVariant& in) {
    QVariant v = in;
    if (v.userType() == qMetaTypeId<QDBusVariant>()) v = qvariant_cast<QDBusVariant>(v).variant();
    // Null travels as an empty array.
    if (!v.isValid() || v.userType() == qMetaTypeId<QDBusArgument>() ||
        v.metaType().id() == QMetaType::QVariantList)
        return Value();
    switch (v.metaType().id()) {
        case QMetaType::Bool:
            return Value(v.toBool());
        case QMetaType::UChar:
            return Value(static_cast<uint8_t>(v.toUInt()));
        case QMetaType::Short:
            return Value(static_cast<int16_t>(v.toInt()));
        case QMetaType::Int:
            return Value(static_cast<int32_t>(v.toInt()));
        case QMetaType::Double:
            return Value(v.toDouble());
        case QMetaType::QString:
            return Value(v.toString().toStdString());
        default:
            return Value(v.toString().toStdString());
    }
}

// ---- arguments --------------------------------------------------------------------------

Arg::Arg(const Object& o) : value_(QVariant::fromValue(o.ref())) {}

Arg Arg::ByRef(int32_t& v) {
    Arg a{QVariant(static_cast<int>(v))};
    a.back_ = [&v](const QVariant& q) { v = q.toInt(); };
    return a;
}
Arg Arg::ByRef(int16_t& v) {
    Arg a{QVariant::fromValue<short>(v)};
    a.back_ = [&v](const QVariant& q) { v = static_cast<int16_t>(q.toInt()); };
    return a;
}
Arg Arg::ByRef(bool& v) {
    Arg a{QVariant(v)};
    a.back_ = [&v](const QVariant& q) { v = q.toBool(); };
    return a;
}
Arg Arg::ByRef(QString& v) {
    Arg a{QVariant(v)};
    a.back_ = [&v](const QVariant& q) { v = q.toString(); };
    return a;
}
Arg Arg::ByRef(std::string& v) {
    Arg a{QVariant(QString::fromStdString(v))};
    a.back_ = [&v](const QVariant& q) { v = q.toString().toStdString(); };
    return a;
}

// ---- client side --------------------------------------------------------------------------

struct Object::Handle {
    ObjectRef ref;
    ~Handle() {
        // Fire and forget: the holder's name vanishing would release it anyway.
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return;
        QDBusMessage msg =
            QDBusMessage::createMethodCall(ref.service, kFactoryPath, kFactoryInterface, "Release");
        msg << QVariant::fromValue(ref.path);
        msg.setAutoStartService(false);
        if (ref.service == bus.baseService() && Server::instance()) {
            Server::instance()->release(ref.service, ref.path.path());
        } else {
            bus.send(msg);
        }
    }
};

Object Object::CreateObject(const QString& progId) {
    QDBusConnection bus = Bus();
    QDBusMessage msg =
        QDBusMessage::createMethodCall(progId, kFactoryPath, kFactoryInterface, "CreateObject");
    QDBusMessage reply = callAndWait(msg);
    // A server that was just ending can still own the name for a moment; the bus starts a
    // new one for the second try.
    if (reply.type() != QDBusMessage::ReplyMessage && isGone(reply.errorName())) {
        QThread::msleep(20);
        reply = callAndWait(msg);
    }
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        cannotCreate(progId, reply.errorMessage().isEmpty() ? QStringLiteral("no reply")
                                                            : reply.errorMessage());
    Object o;
    o.h_ = std::make_shared<Handle>();
    // Later calls go to the process that made the object, not to whoever owns the name then.
    o.h_->ref.service = reply.service();
    o.h_->ref.path = qvariant_cast<QDBusObjectPath>(reply.arguments().at(0));
    if (o.h_->ref.service.isEmpty()) o.h_->ref.service = bus.interface()->serviceOwner(progId);
    return o;
}

Object Object::FromRef(const ObjectRef& ref) {
    if (ref.isNothing()) return Object();
    QDBusConnection bus = Bus();
    if (ref.service == bus.baseService() && Server::instance()) {
        Server::instance()->addRef(ref.service, ref.path.path());
    } else {
        QDBusMessage msg =
            QDBusMessage::createMethodCall(ref.service, kFactoryPath, kFactoryInterface, "AddRef");
        msg << QVariant::fromValue(ref.path);
        msg.setAutoStartService(false);
        QDBusMessage reply = callAndWait(msg);
        if (reply.type() != QDBusMessage::ReplyMessage) serverGone(reply);
    }
    Object o;
    o.h_ = std::make_shared<Handle>();
    o.h_->ref = ref;
    return o;
}

ObjectRef Object::ref() const {
    return h_ ? h_->ref : ObjectRef();
}

QVariant Object::CallByName(const QString& method, const std::vector<Arg>& args) const {
    if (!h_) throw Error::make(err::kObjectNotSet);
    QDBusMessage msg =
        QDBusMessage::createMethodCall(h_->ref.service, h_->ref.path.path(), QString(), method);
    QList<QVariant> values;
    for (const auto& a : args) values << a.value();
    msg.setArguments(values);
    msg.setAutoStartService(false);
    QDBusMessage reply = callAndWait(msg);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        QString name = reply.errorName();
        if (name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
            name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
            name == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs"))
            throw Error::make(err::kNoSuchMethod);
        if (isGone(name)) serverGone(reply);
        throw Error(err::kAutomationError, Error::messageFor(err::kAutomationError) + ": " +
                                               reply.errorMessage().toStdString());
    }
    QList<QVariant> out = reply.arguments();
    // A method that returns a value sends it first; a procedure sends only the by-reference
    // arguments back.
    qsizetype byRefs = 0;
    for (const auto& a : args) byRefs += a.byRef() ? 1 : 0;
    QVariant result = out.size() > byRefs ? out.takeFirst() : QVariant();
    // By-reference arguments come back, in order, after the return value.
    for (const auto& a : args) {
        if (!a.byRef() || out.isEmpty()) continue;
        a.assign(out.takeFirst());
    }
    if (result.canConvert<QDBusVariant>() && result.userType() == qMetaTypeId<QDBusVariant>())
        result = qvariant_cast<QDBusVariant>(result).variant();
    return result;
}

// ---- server side --------------------------------------------------------------------------

ObjectRef ServedObject::ref() const {
    ObjectRef r;
    r.service = QDBusConnection::sessionBus().baseService();
    r.path = QDBusObjectPath(path_);
    return r;
}

namespace {

// The factory at "/": calls from the bus, with the caller's name as the holder.
class FactoryObject : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "Kelvor.Automation")
  public:
    explicit FactoryObject(Server* server) : QObject(server), server_(server) {}

  public Q_SLOTS:
    Q_SCRIPTABLE QDBusObjectPath CreateObject() { return server_->createObject(caller()); }
    Q_SCRIPTABLE void AddRef(const QDBusObjectPath& path) {
        server_->addRef(caller(), path.path());
    }
    Q_SCRIPTABLE void Release(const QDBusObjectPath& path) {
        server_->release(caller(), path.path());
    }

  private:
    QString caller() const { return calledFromDBus() ? message().service() : QString(); }
    Server* server_;
};

Server* g_server = nullptr;

// The server's own calls on its connection never throw: they also run while the connection
// is being taken down at exit.
QDBusConnection conn() {
    return QDBusConnection::sessionBus();
}

}  // namespace

struct Server::Impl {
    QString progId;
    Factory factory;
    int nextId = 1;
    int holds = 0;
    bool everServed = false;
    struct Entry {
        ServedObject* object;
        QHash<QString, int> holders;  // bus name -> holds
    };
    QHash<QString, Entry> objects;  // by path
    QDBusServiceWatcher* watcher = nullptr;
};

Server::Server(QString progId, Factory factory, QObject* parent) : QObject(parent) {
    d = std::make_unique<Impl>();
    d->progId = std::move(progId);
    d->factory = std::move(factory);
    g_server = this;
}

Server::~Server() {
    if (g_server == this) g_server = nullptr;
}

Server* Server::instance() {
    return g_server;
}

void Server::start() {
    QDBusConnection bus = Bus();
    auto* factory = new FactoryObject(this);
    if (!bus.registerObject(kFactoryPath, factory, QDBusConnection::ExportScriptableSlots))
        cannotCreate(d->progId, QStringLiteral("the factory could not be registered"));
    d->watcher = new QDBusServiceWatcher(this);
    d->watcher->setConnection(bus);
    d->watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(d->watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString& name) { dropHolder(name); });
    if (!bus.registerService(d->progId))
        cannotCreate(d->progId, bus.lastError().message().isEmpty()
                                    ? QStringLiteral("the name is taken")
                                    : bus.lastError().message());
    QTimer::singleShot(kIdleStartMs, this, [this] {
        if (!d->everServed) maybeQuit();
    });
    // A server whose bus is gone can serve nobody again (its clients' holds went with it):
    // it ends instead of lingering with the descriptors it inherited.
    auto* busWatch = new QTimer(this);
    connect(busWatch, &QTimer::timeout, this, [] {
        if (!QDBusConnection::sessionBus().isConnected()) QCoreApplication::exit(0);
    });
    busWatch->start(kBusCheckMs);
}

void Server::hold() {
    ++d->holds;
}

void Server::HoldWhileLoaded(bool loaded) {
    if (!g_server) return;
    if (loaded) {
        g_server->hold();
    } else {
        g_server->unhold();
    }
}

void Server::unhold() {
    if (d->holds > 0) --d->holds;
    maybeQuit();
}

int Server::objectCount() const {
    return static_cast<int>(d->objects.size());
}

ObjectRef Server::serve(ServedObject* object, const QString& holder) {
    QString path = QStringLiteral("/objects/%1").arg(d->nextId++);
    object->path_ = path;
    object->setParent(this);
    conn().registerObject(path, object, QDBusConnection::ExportAdaptors);
    Impl::Entry e{object, {}};
    e.holders[holder] = 1;
    d->objects.insert(path, e);
    d->everServed = true;
    if (!holder.isEmpty() && holder != conn().baseService()) d->watcher->addWatchedService(holder);
    return object->ref();
}

QDBusObjectPath Server::createObject(const QString& caller) {
    ServedObject* o = d->factory();
    return serve(o, caller.isEmpty() ? conn().baseService() : caller).path;
}

void Server::addRef(const QString& caller, const QString& path) {
    auto it = d->objects.find(path);
    if (it == d->objects.end()) return;
    ++it->holders[caller];
    if (caller != conn().baseService()) d->watcher->addWatchedService(caller);
}

void Server::release(const QString& caller, const QString& path) {
    auto it = d->objects.find(path);
    if (it == d->objects.end()) return;
    auto h = it->holders.find(caller);
    if (h == it->holders.end()) return;
    if (--h.value() <= 0) it->holders.erase(h);
    if (!it->holders.isEmpty()) return;
    ServedObject* o = it->object;
    d->objects.erase(it);
    conn().unregisterObject(path);
    o->Terminate();
    o->deleteLater();
    maybeQuit();
}

void Server::dropHolder(const QString& holder) {
    QStringList paths;
    for (auto it = d->objects.begin(); it != d->objects.end(); ++it)
        if (it->holders.contains(holder)) paths << it.key();
    for (const auto& p : paths) {
        auto it = d->objects.find(p);
        if (it == d->objects.end()) continue;
        it->holders[holder] = 1;
        release(holder, p);
    }
    d->watcher->removeWatchedService(holder);
}

void Server::maybeQuit() {
    // Checked after the current call has finished, so a reply is never lost to the exit.
    QTimer::singleShot(0, this, [this] {
        if (!d->objects.isEmpty() || d->holds != 0) return;
        // The name goes first, so that a new client starts a new process instead of reaching
        // one that is on its way out; calls already on their way here are still served.
        conn().unregisterService(d->progId);
        QTimer::singleShot(kQuitGraceMs, this, [this] {
            if (d->objects.isEmpty() && d->holds == 0) {
                QCoreApplication::quit();
            } else {
                conn().registerService(d->progId);  // someone came after all
            }
        });
    });
}

}  // namespace kelvor::automation

#include "automation.moc"
