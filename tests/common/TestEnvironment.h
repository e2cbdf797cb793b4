#pragma once
// What most networked tests start from: a fresh store holding the settings
// types, the shared timers stopped (tests drive the ticks themselves) and a
// new state-file registry.

#include "Data.h"
#include "DataSaver.h"
#include "TimerManager.h"

#include <QTimer>

inline void StopSharedTimers()
{
    if (!timerManager)
        new TimerManager;
    timerManager->HalfMinuteTimer()->stop();
    timerManager->FiveMinuteTimer()->stop();
    timerManager->HourTimer()->stop();
}

// An empty store with only the settings types.
inline void ResetSettingsTypes()
{
    d->Reset();
    Type* global = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    global->RelateToType(value, Many, One, false);
}

inline void ResetTestEnvironment()
{
    ResetSettingsTypes();
    StopSharedTimers();
    delete dataSaver;
    new DataSaver;
}
