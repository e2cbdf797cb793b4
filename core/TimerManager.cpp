#include "TimerManager.h"

#include <QTimer>

TimerManager* timerManager = nullptr;

namespace {

QTimer* StartRepeatingTimer(QObject* ip_parent, int i_ms)
{
    QTimer* timer = new QTimer(ip_parent);
    timer->setSingleShot(false);
    timer->start(i_ms);
    return timer;
}

} // namespace

TimerManager::TimerManager()
    : mp_halfMinuteTimer(StartRepeatingTimer(this, 30000))
    , mp_fiveMinuteTimer(StartRepeatingTimer(this, 300000))
    , mp_hourTimer(StartRepeatingTimer(this, 3600000))
{
    timerManager = this;
}

TimerManager::~TimerManager()
{
    if (timerManager == this)
        timerManager = nullptr;
}
