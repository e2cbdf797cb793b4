#include "DelayedInvoker.h"

#include <QMetaMethod>
#include <QTimer>
#include <QtGlobal>

DelayedInvoker* delayedInvoker = nullptr;

namespace {

// "1Sort()", "Sort()" and "Sort" all give "Sort()"; a slot with arguments
// cannot be called without them and gives an empty result.
QByteArray NormalisedSlot(const char* i_slot)
{
    if (!i_slot)
        return QByteArray();
    QByteArray slot(i_slot);
    if (!slot.isEmpty() && (slot[0] == '1' || slot[0] == '2'))
        slot.remove(0, 1);
    slot = QMetaObject::normalizedSignature(slot.constData());
    if (!slot.contains('('))
        slot += "()";
    if (!slot.endsWith("()"))
        return QByteArray();
    return slot;
}

} // namespace

DelayedInvoker::DelayedInvoker(QObject* ip_parent)
    : QObject(ip_parent)
{
    delayedInvoker = this;
}

DelayedInvoker::~DelayedInvoker()
{
    for (auto& entry : m_pending)
        disconnect(entry.second.destroyedConnection);
    if (delayedInvoker == this)
        delayedInvoker = nullptr;
}

void DelayedInvoker::Invoke(QObject* ip_object, const QString& i_slot, int i_ms)
{
    Invoke(ip_object, i_slot.toLatin1().constData(), i_ms);
}

void DelayedInvoker::Invoke(QObject* ip_object, const char* i_slot, int i_ms)
{
    if (!ip_object)
    {
        qWarning("DelayedInvoker: request for a null object ignored");
        return;
    }
    const QByteArray slot = NormalisedSlot(i_slot);
    if (slot.isEmpty() || ip_object->metaObject()->indexOfMethod(slot.constData()) == -1)
    {
        qWarning("DelayedInvoker: %s has no slot %s without arguments",
                 ip_object->metaObject()->className(), i_slot ? i_slot : "(null)");
        return;
    }

    const Key key(ip_object, slot);
    auto found = m_pending.find(key);
    if (found != m_pending.end())
    {
        if (found->second.object)
            return;
        // Cannot normally happen: destruction removes the entry first.
        delete found->second.timer;
        m_pending.erase(found);
    }

    Pending pending;
    pending.object = ip_object;
    pending.timer = new QTimer(this);
    pending.timer->setSingleShot(true);
    connect(pending.timer, &QTimer::timeout, this, [this, key]() { OnTimeUp(key); });
    pending.destroyedConnection = connect(ip_object, &QObject::destroyed, this,
                                          [this, ip_object]() { ForgetObject(ip_object); });
    pending.timer->start(qMax(0, i_ms));
    m_pending.emplace(key, pending);
}

void DelayedInvoker::OnTimeUp(Key i_key)
{
    auto found = m_pending.find(i_key);
    if (found == m_pending.end())
        return;
    const QPointer<QObject> object = found->second.object;
    disconnect(found->second.destroyedConnection);
    found->second.timer->deleteLater();
    m_pending.erase(found);

    if (object)
        QMetaObject::invokeMethod(object.data(), i_key.second.left(i_key.second.size() - 2).constData(),
                                  Qt::DirectConnection);
}

void DelayedInvoker::ForgetObject(QObject* ip_object)
{
    for (auto it = m_pending.begin(); it != m_pending.end();)
    {
        if (it->first.first == ip_object)
        {
            disconnect(it->second.destroyedConnection);
            delete it->second.timer;
            it = m_pending.erase(it);
        }
        else
        {
            ++it;
        }
    }
}
