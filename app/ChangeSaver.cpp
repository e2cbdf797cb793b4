#include "ChangeSaver.h"

#include <algorithm>
#include <utility>

ChangeSaver::ChangeSaver(std::function<void()> i_save, int i_spacingMs, QObject* ip_parent)
    : QObject(ip_parent), m_save(std::move(i_save)), m_spacingMs(i_spacingMs)
{
    m_timer.setSingleShot(true);
    // The spacing is a minimum: a coarse timer may fire a few percent early.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ChangeSaver::SaveNow);
}

void ChangeSaver::WatchItems(const char* ip_type)
{
    Type* type = T(ip_type);
    AddHandler(type->itemAdded, this, &ChangeSaver::OnItem);
    AddHandler(type->itemRemoved, this, &ChangeSaver::OnItem);
}

void ChangeSaver::WatchLinks(const char* ip_type, const char* ip_other)
{
    AddPairHandler(T(ip_type), T(ip_other), this, &ChangeSaver::OnLink);
}

void ChangeSaver::OnItem(Item*)
{
    Schedule();
}

void ChangeSaver::OnLink(ConnectionInfo&)
{
    Schedule();
}

void ChangeSaver::Schedule()
{
    // Never from inside the store operation that made the change: the save
    // runs on a later turn of the event loop, once the change is whole.
    if (m_timer.isActive())
        return;
    const qint64 spacing = std::max<qint64>(m_spacingMs, 10 * m_lastSaveMs);
    const qint64 since = m_sinceSave.isValid() ? m_sinceSave.elapsed() : spacing;
    m_timer.start(int(std::clamp<qint64>(spacing - since, 0, spacing)));
}

void ChangeSaver::SaveNow()
{
    m_sinceSave.start();
    if (m_save)
        m_save();
    m_lastSaveMs = m_sinceSave.elapsed();
}
