// The main window opens one data browser at a time.

#include "common/TestEnvironment.h"

#include "DataDialog.h"
#include "mainwindow.h"
#include "server.h"

#include <QPointer>
#include <QtTest>

class TestDataBrowser : public QObject
{
    Q_OBJECT

private slots:
    void oneBrowserAtATime()
    {
        ResetTestEnvironment();
        Server server;
        server.CreateData();
        MainWindow window;
        window.OnShowData();
        QPointer<DataDialog> first = window.findChild<DataDialog*>();
        QVERIFY(first);
        QVERIFY(first->isVisible());
        first->hide();
        window.OnShowData();
        QCOMPARE(window.findChildren<DataDialog*>().size(), 1);
        QCOMPARE(window.findChild<DataDialog*>(), first.data());
        QVERIFY(first->isVisible());

        // Closing deletes it; the next request builds a new one.
        first->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);
        window.OnShowData();
        QCOMPARE(window.findChildren<DataDialog*>().size(), 1);
    }
};

QTEST_MAIN(TestDataBrowser)
#include "test_databrowser.moc"
