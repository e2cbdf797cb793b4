// The saver that writes the state file soon after a change worth keeping:
// a burst of changes costs one save, saves keep their spacing (wider after
// a slow one), and only the watched items and links count.

#include "ChangeSaver.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <functional>

namespace
{
// Counts the saves and keeps the time between the last two.
struct Saves
{
    int count = 0;
    qint64 spacing = -1;
    QElapsedTimer since;
    int sleepMs = 0;

    std::function<void()> Recorder()
    {
        return [this] {
            if (count++ > 0)
                spacing = since.elapsed();
            since.start();
            QThread::msleep(sleepMs);
        };
    }
};
} // namespace

class TestChangeSaver : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        d->Reset();
        Type* entry = d->NewType("entry", true, false, true);
        Type* status = d->NewType("status", false, false, true);
        Type* other = d->NewType("other", false, false, true);
        entry->RelateToType(status, Many, One, false);
        entry->RelateToType(other, Many, One, false);
    }

    void aBurstIsOneSaveAndSavesKeepTheirSpacing()
    {
        Saves saves;
        ChangeSaver saver(saves.Recorder(), 300);
        saver.WatchItems("entry");
        saver.WatchLinks("entry", "status");

        // A whole folder queued at once: one save, on a later turn.
        for (int k = 0; k < 100; ++k)
            T("entry")->GetItem(std::to_string(k));
        QCOMPARE(saves.count, 0);
        QTRY_COMPARE_WITH_TIMEOUT(saves.count, 1, 10000);
        QTest::qWait(50);
        QCOMPARE(saves.count, 1);

        // A status change right after waits for the spacing.
        ItemPtr entry = T("entry")->GetItem("1");
        entry += T("status")->GetItem("complete");
        QVERIFY(saver.IsPending());
        QTRY_COMPARE_WITH_TIMEOUT(saves.count, 2, 10000);
        QVERIFY2(saves.spacing >= 290, qPrintable(QString("saved again after %1 ms").arg(saves.spacing)));

        // Unwatched links change nothing; a removal is a change.
        QTest::qWait(350);
        entry += T("other")->GetItem("x");
        QVERIFY(!saver.IsPending());
        T("entry")->GetItem("2")->Remove();
        QVERIFY(saver.IsPending());
        QTRY_COMPARE_WITH_TIMEOUT(saves.count, 3, 10000);
    }

    void aSlowSaveSpacesTheNextOnesFurther()
    {
        Saves saves;
        saves.sleepMs = 60;
        ChangeSaver saver(saves.Recorder(), 100);
        saver.WatchItems("entry");

        T("entry")->GetItem("a");
        QTRY_COMPARE_WITH_TIMEOUT(saves.count, 1, 10000);
        T("entry")->GetItem("b");
        QTRY_COMPARE_WITH_TIMEOUT(saves.count, 2, 10000);
        // Ten times the 60 ms the save took, not the 100 ms asked for.
        QVERIFY2(saves.spacing >= 590, qPrintable(QString("saved again after %1 ms").arg(saves.spacing)));
    }
};

QTEST_GUILESS_MAIN(TestChangeSaver)
#include "test_change_saver.moc"
