#pragma once
// Merges repeated requests for one slot of one object into a single deferred
// call: a burst of results is sorted once, a while after its first result.

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <utility>

class QTimer;

class DelayedInvoker : public QObject
{
    Q_OBJECT

public:
    // Sets the global delayedInvoker.
    explicit DelayedInvoker(QObject* ip_parent = nullptr);
    // Pending requests are dropped uncalled.
    ~DelayedInvoker() override;

    // Calls the slot of the object once, i_ms milliseconds from now. The slot
    // takes no arguments and is named in the form SLOT() produces ("1Sort()")
    // or plainly ("Sort()" or "Sort"). While a request for the same object
    // and slot is pending, further ones are ignored and the delay is not
    // restarted. When the time is up the request is forgotten before the
    // slot runs, so a request made inside the slot starts a new delay. A
    // pending request of an object that is destroyed is forgotten, never
    // called. A null object or an unknown slot is refused with a warning.
    void Invoke(QObject* ip_object, const char* i_slot, int i_ms);
    void Invoke(QObject* ip_object, const QString& i_slot, int i_ms);

    // Number of requests waiting; for tests.
    int PendingCount() const { return int(m_pending.size()); }

private:
    using Key = std::pair<QObject*, QByteArray>; // object, normalised "Name()"

    struct Pending
    {
        QPointer<QObject> object;
        QTimer* timer = nullptr;
        QMetaObject::Connection destroyedConnection;
    };

    void OnTimeUp(Key i_key);
    void ForgetObject(QObject* ip_object);

    std::map<Key, Pending> m_pending;
};

extern DelayedInvoker* delayedInvoker;
