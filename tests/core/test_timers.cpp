// The shared timers and the deferred, merged slot calls.

#include "core/DelayedInvoker.h"
#include "core/TimerManager.h"

#include <QPointer>
#include <QTimer>
#include <QtTest>

namespace {

int g_sortCallsOnAnyTarget = 0;

class Target : public QObject
{
    Q_OBJECT

public:
    int sortCalls = 0;
    int againCalls = 0;
    int pendingDuringAgain = -1;
    DelayedInvoker* invoker = nullptr;

public slots:
    void Sort()
    {
        ++sortCalls;
        ++g_sortCallsOnAnyTarget;
    }
    void Other() {}
    void WithArgument(int) {}
    void Again()
    {
        ++againCalls;
        if (againCalls == 1)
        {
            pendingDuringAgain = invoker->PendingCount();
            invoker->Invoke(this, SLOT(Again()), 0);
        }
    }
};

} // namespace

class TestTimers : public QObject
{
    Q_OBJECT

private slots:
    void init() { g_sortCallsOnAnyTarget = 0; }

    void timerManagerRunsThreeRepeatingTimers();
    void timerTickCanBeTriggered();

    void slotFormsAreOneRequest();
    void requestsMergeUntilCalled();
    void delayIsNotRestarted();
    void separateObjectsAndSlotsAreSeparateRequests();
    void reRequestFromInsideSlotStartsNewDelay();
    void destroyedTargetIsForgotten();
    void invokerDestroyedBeforeTarget();
    void badRequestsAreRefused();
};

void TestTimers::timerManagerRunsThreeRepeatingTimers()
{
    auto* manager = new TimerManager;
    QCOMPARE(timerManager, manager);

    const QList<QPair<QTimer*, int>> timers = {
        {manager->HalfMinuteTimer(), 30000},
        {manager->FiveMinuteTimer(), 300000},
        {manager->HourTimer(), 3600000},
    };
    QList<QPointer<QTimer>> guards;
    for (const auto& [timer, interval] : timers)
    {
        QVERIFY(timer);
        QCOMPARE(timer->interval(), interval);
        QVERIFY(timer->isActive());
        QVERIFY(!timer->isSingleShot());
        guards << QPointer<QTimer>(timer);
    }

    delete manager;
    for (const QPointer<QTimer>& guard : guards)
        QVERIFY(guard.isNull());
    QCOMPARE(timerManager, nullptr);
}

void TestTimers::timerTickCanBeTriggered()
{
    TimerManager manager;
    int halfMinute = 0;
    int hour = 0;
    connect(manager.HalfMinuteTimer(), &QTimer::timeout, this, [&halfMinute]() { ++halfMinute; });
    connect(manager.HourTimer(), &QTimer::timeout, this, [&hour]() { ++hour; });

    QVERIFY(QMetaObject::invokeMethod(manager.HalfMinuteTimer(), "timeout"));
    QCOMPARE(halfMinute, 1);
    QCOMPARE(hour, 0);
    QVERIFY(manager.HalfMinuteTimer()->isActive());
}

void TestTimers::slotFormsAreOneRequest()
{
    DelayedInvoker invoker;
    QCOMPARE(delayedInvoker, &invoker);
    Target target;
    invoker.Invoke(&target, SLOT(Sort()), 60000);
    invoker.Invoke(&target, "1Sort()", 60000);
    invoker.Invoke(&target, "Sort()", 60000);
    invoker.Invoke(&target, "Sort", 60000);
    invoker.Invoke(&target, QString("1Sort( )"), 60000);
    QCOMPARE(invoker.PendingCount(), 1);
}

void TestTimers::requestsMergeUntilCalled()
{
    DelayedInvoker invoker;
    Target target;
    for (int k = 0; k < 5; ++k)
        invoker.Invoke(&target, "1Sort()", 20);
    QCOMPARE(invoker.PendingCount(), 1);
    QCOMPARE(target.sortCalls, 0); // never synchronous

    QTRY_COMPARE_WITH_TIMEOUT(target.sortCalls, 1, 10000);
    // Nothing is left that could call it again.
    QCOMPARE(invoker.PendingCount(), 0);

    invoker.Invoke(&target, "1Sort()", 0);
    QTRY_COMPARE_WITH_TIMEOUT(target.sortCalls, 2, 10000);
}

void TestTimers::delayIsNotRestarted()
{
    // Requests keep coming faster than the delay; had each one restarted it,
    // the call would never happen.
    DelayedInvoker invoker;
    Target target;
    QElapsedTimer guard;
    guard.start();
    while (target.sortCalls == 0 && guard.elapsed() < 20000)
    {
        invoker.Invoke(&target, "1Sort()", 100);
        QTest::qWait(10);
    }
    QVERIFY(target.sortCalls >= 1);
}

void TestTimers::separateObjectsAndSlotsAreSeparateRequests()
{
    DelayedInvoker invoker;
    Target first;
    Target second;
    invoker.Invoke(&first, "1Sort()", 0);
    invoker.Invoke(&first, "1Other()", 0);
    invoker.Invoke(&second, "1Sort()", 0);
    QCOMPARE(invoker.PendingCount(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(invoker.PendingCount(), 0, 10000);
    QCOMPARE(first.sortCalls, 1);
    QCOMPARE(second.sortCalls, 1);
}

void TestTimers::reRequestFromInsideSlotStartsNewDelay()
{
    DelayedInvoker invoker;
    Target target;
    target.invoker = &invoker;
    invoker.Invoke(&target, "1Again()", 0);
    QTRY_COMPARE_WITH_TIMEOUT(target.againCalls, 2, 10000);
    QCOMPARE(target.pendingDuringAgain, 0); // forgotten before the call
    QCOMPARE(invoker.PendingCount(), 0);
}

void TestTimers::destroyedTargetIsForgotten()
{
    DelayedInvoker invoker;
    auto* doomed = new Target;
    invoker.Invoke(doomed, "1Sort()", 0);
    invoker.Invoke(doomed, "1Other()", 0);
    QCOMPARE(invoker.PendingCount(), 2);
    delete doomed;
    QCOMPARE(invoker.PendingCount(), 0);

    // A new object, quite possibly at the same address, is a new request
    // and is not merged with the dead one's.
    auto* next = new Target;
    invoker.Invoke(next, "1Sort()", 0);
    QCOMPARE(invoker.PendingCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(next->sortCalls, 1, 10000);
    QCOMPARE(g_sortCallsOnAnyTarget, 1);
    delete next;
}

void TestTimers::invokerDestroyedBeforeTarget()
{
    Target target;
    {
        DelayedInvoker invoker;
        invoker.Invoke(&target, "1Sort()", 0);
    }
    QCOMPARE(delayedInvoker, nullptr);
    QTest::qWait(50);
    QCOMPARE(target.sortCalls, 0);
    // The target's end must not reach the gone invoker.
}

void TestTimers::badRequestsAreRefused()
{
    DelayedInvoker invoker;
    Target target;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("null object"));
    invoker.Invoke(nullptr, "1Sort()", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no slot 1Missing\\(\\)"));
    invoker.Invoke(&target, "1Missing()", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no slot 1WithArgument\\(int\\)"));
    invoker.Invoke(&target, "1WithArgument(int)", 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no slot"));
    invoker.Invoke(&target, "", 0);
    QCOMPARE(invoker.PendingCount(), 0);
}

QTEST_MAIN(TestTimers)
#include "test_timers.moc"
