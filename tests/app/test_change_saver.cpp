// The saver that writes the state file soon after a change worth keeping:
// a burst of changes costs one save, saves keep their spacing (wider after
// a slow one), and only the watched items and links count.

#include "ChangeSaver.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

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
        int saves = 0;
        QElapsedTimer sinceSave;
        qint64 spacing = -1;
        ChangeSaver saver([&] {
            if (saves++ > 0)
                spacing = sinceSave.elapsed();
            sinceSave.start();
        }, 300);
        saver.WatchItems("entry");
        saver.WatchLinks("entry", "status");

        // A whole folder queued at once: one save, on a later turn.
        for (int k = 0; k < 100; ++k)
            T("entry")->GetItem(std::to_string(k));
        QCOMPARE(saves, 0);
        QTRY_COMPARE_WITH_TIMEOUT(saves, 1, 10000);
        QTest::qWait(50);
        QCOMPARE(saves, 1);

        // A status change right after waits for the spacing.
        ItemPtr entry = T("entry")->GetItem("1");
        entry += T("status")->GetItem("complete");
        QVERIFY(saver.IsPending());
        QTRY_COMPARE_WITH_TIMEOUT(saves, 2, 10000);
        QVERIFY2(spacing >= 290, qPrintable(QString("saved again after %1 ms").arg(spacing)));

        // Unwatched links change nothing; a removal is a change.
        QTest::qWait(350);
        entry += T("other")->GetItem("x");
        QVERIFY(!saver.IsPending());
        T("entry")->GetItem("2")->Remove();
        QVERIFY(saver.IsPending());
        QTRY_COMPARE_WITH_TIMEOUT(saves, 3, 10000);
    }

    void aSlowSaveSpacesTheNextOnesFurther()
    {
        int saves = 0;
        QElapsedTimer sinceSave;
        qint64 spacing = -1;
        ChangeSaver saver([&] {
            if (saves++ > 0)
                spacing = sinceSave.elapsed();
            sinceSave.start();
            QThread::msleep(60);
        }, 100);
        saver.WatchItems("entry");

        T("entry")->GetItem("a");
        QTRY_COMPARE_WITH_TIMEOUT(saves, 1, 10000);
        T("entry")->GetItem("b");
        QTRY_COMPARE_WITH_TIMEOUT(saves, 2, 10000);
        // Ten times the 60 ms the save took, not the 100 ms asked for.
        QVERIFY2(spacing >= 590, qPrintable(QString("saved again after %1 ms").arg(spacing)));
    }
};

QTEST_GUILESS_MAIN(TestChangeSaver)
#include "test_change_saver.moc"
