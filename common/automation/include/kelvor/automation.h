// The automation runtime on D-Bus: objects created by programmatic identifier in server
// processes that the bus starts on first use, calls by method name with arguments passed by
// value or by reference, object references as arguments, and lifetimes by reference count
// across processes.
//
// A programmatic identifier ("KelvorQueuePE.QueueEngine") is a well-known bus name whose
// .service file starts the server. The server's factory (path "/", interface
// "Kelvor.Automation") makes one object per CreateObject call at a path of its own and counts
// who holds it: a holder is a bus connection, and a connection that goes away (its process
// died) drops what it held. An object ends, and runs its end-of-object code, when its last
// holder lets go; a server process ends when it has no object and nothing else (a loaded
// form) holds it.
//
// Calls wait for their reply without a time limit (a queue update may take minutes) and, while
// they wait, the caller keeps serving calls made to it, so two servers may call each other.
//
// Failures throw kelvor::Error: 429 when a server cannot be started or an object cannot be
// created, 438 when an object has no such method, 462 when the server of an object is gone.
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kelvor/value.h"

namespace kelvor::automation {

inline constexpr const char* kFactoryPath = "/";
inline constexpr const char* kFactoryInterface = "Kelvor.Automation";

// An object reference as it travels on the bus, D-Bus type "(so)": the unique name of the
// server process that serves it and its path there.
struct ObjectRef {
    QString service;
    QDBusObjectPath path;
    bool isNothing() const { return service.isEmpty(); }
};
QDBusArgument& operator<<(QDBusArgument& arg, const ObjectRef& ref);
const QDBusArgument& operator>>(const QDBusArgument& arg, ObjectRef& ref);

// Values of the engine across the bus, in a variant: Null is an empty array ("av"), the other
// types are D-Bus's own (money and dates as their text).
QDBusVariant ToVariant(const Value& v);
Value FromVariant(const QVariant& v);

// Registers the runtime's types with Qt's D-Bus marshalling; safe to call more than once.
void RegisterTypes();

// The session bus; 429 when there is none.
QDBusConnection Bus();

class Object;

// One argument of a call by name: a value, or a variable passed by reference whose new value
// comes back from the call.
class Arg {
  public:
    Arg(const QVariant& v) : value_(v) {}
    Arg(const QString& s) : value_(s) {}
    Arg(const char* s) : value_(QString::fromUtf8(s)) {}
    Arg(const std::string& s) : value_(QString::fromStdString(s)) {}
    Arg(int32_t v) : value_(v) {}
    Arg(bool v) : value_(v) {}
    Arg(const Object& o);
    static Arg ByRef(int32_t& v);
    static Arg ByRef(int16_t& v);
    static Arg ByRef(bool& v);
    static Arg ByRef(QString& v);
    static Arg ByRef(std::string& v);

    const QVariant& value() const { return value_; }
    bool byRef() const { return bool(back_); }
    void assign(const QVariant& v) const {
        if (back_) back_(v);
    }

  private:
    QVariant value_;
    std::function<void(const QVariant&)> back_;
};

// A counted reference to an automation object. Copies share one reference; the last copy to
// go releases it.
class Object {
  public:
    Object() = default;
    // A new object of the class the identifier names; the bus starts its server if needed.
    static Object CreateObject(const QString& progId);
    // A reference of this process's own to an object passed in a call.
    static Object FromRef(const ObjectRef& ref);

    bool isNothing() const { return !h_; }
    ObjectRef ref() const;
    // Calls `method` by name. By-reference arguments get the values the callee left in them;
    // the result is the method's return value (invalid for a method that returns nothing).
    QVariant CallByName(const QString& method, const std::vector<Arg>& args = {}) const;
    void Release() { h_.reset(); }

  private:
    struct Handle;
    std::shared_ptr<Handle> h_;
};

// Base of the objects a server serves. The adaptor generated from the class's interface XML
// is made its child, so calls by name reach its methods.
class ServedObject : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    // End-of-object code: runs once, when the last holder has let go.
    virtual void Terminate() {}
    ObjectRef ref() const;
    QString path() const { return path_; }

  private:
    friend class Server;
    QString path_;
};

// The server side: serves one class of objects under one programmatic identifier.
class Server : public QObject {
    Q_OBJECT
  public:
    using Factory = std::function<ServedObject*()>;
    Server(QString progId, Factory factory, QObject* parent = nullptr);
    ~Server() override;
    // Registers the factory and takes the identifier's bus name. Throws Error 429.
    void start();
    // Keeps the process alive while held, even with no object (a loaded form, a timer).
    void hold();
    void unhold();
    // Holds the process's server while a form is loaded: call with true when it is made and
    // false when it goes (does nothing in a process that serves nothing).
    static void HoldWhileLoaded(bool loaded);
    int objectCount() const;
    static Server* instance();

    // The factory's methods, called from the bus.
    QDBusObjectPath createObject(const QString& caller);
    void addRef(const QString& caller, const QString& path);
    void release(const QString& caller, const QString& path);
    // Serves an object made in this process and held by `holder` (this process's own name
    // when it keeps the object itself).
    ObjectRef serve(ServedObject* object, const QString& holder);

  private:
    struct Impl;
    std::unique_ptr<Impl> d;
    void maybeQuit();
    void dropHolder(const QString& holder);
};

}  // namespace kelvor::automation

Q_DECLARE_METATYPE(kelvor::automation::ObjectRef)
