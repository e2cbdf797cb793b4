#pragma once
// The three shared repeating timers. Objects connect to the timeout() signal
// of the timer they need; nothing here knows who listens.
//
// A test that needs a tick without waiting emits the real signal:
//   QMetaObject::invokeMethod(timerManager->HalfMinuteTimer(), "timeout");

#include <QObject>

class QTimer;

class TimerManager : public QObject
{
    Q_OBJECT

public:
    // Creates and starts the three timers and sets the global timerManager.
    TimerManager();
    // The timers are children and go with the manager.
    ~TimerManager() override;

    QTimer* HalfMinuteTimer() const { return mp_halfMinuteTimer; } // 30000 ms
    QTimer* FiveMinuteTimer() const { return mp_fiveMinuteTimer; } // 300000 ms
    QTimer* HourTimer() const { return mp_hourTimer; }             // 3600000 ms

private:
    QTimer* mp_halfMinuteTimer;
    QTimer* mp_fiveMinuteTimer;
    QTimer* mp_hourTimer;
};

extern TimerManager* timerManager;
