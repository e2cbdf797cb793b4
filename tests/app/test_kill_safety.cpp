// Killing the client at any moment never damages its state file: runs of a
// real client on a file big enough for a save to take a while, each killed
// at a random moment of its start-up, its running or its final save. The
// file always loads and holds the state before or after the run; the next
// start removes what an interrupted save left beside it.

#include "app/AppTestSupport.h"
#include "app/ClientProcess.h"
#include "common/TestServer.h"

#include "Data.h"
#include "DataSaver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <csignal>

namespace
{
const int kBulkSettings = 40000;
const int kRuns = 21;
// What the kills may take, well within the test's time limit: on a loaded
// machine, where one run takes many times longer, fewer runs.
const qint64 kRunsBudgetMs = 120000;

std::string BulkKey(int i_k)
{
    return "bulk_" + std::to_string(i_k);
}

std::string BulkValue(int i_k)
{
    return "a value long enough to weigh something in the file, number " + std::to_string(i_k);
}

QStringList UnfinishedSaves()
{
    QStringList names;
    const QRegularExpression digits("^\\.Tavrinel\\.[0-9]+$");
    for (const QString& name : QDir(HomePath()).entryList(QDir::Files | QDir::Hidden))
        if (digits.match(name).hasMatch())
            names << name;
    return names;
}
}

class KillSafetyTest : public QObject
{
    Q_OBJECT

private:
    TestServer m_server;
    qint64 m_saveMs = 0;

    // The whole state the runs must keep; "" when it holds.
    QString CheckStateFile(const char* ip_when)
    {
        const QString error = LoadSettingsFrom(StatePath());
        if (!error.isEmpty())
            return QString("%1: the file does not load: %2").arg(ip_when, error);
        const std::string version = GetSetting("data_version");
        if (version != "7" && version != "1")
            return QString("%1: data_version is \"%2\"").arg(ip_when, QString::fromStdString(version));
        if (GetSetting("username") != "bob" || GetSetting("password") != "pw2")
            return QString("%1: the credentials are gone").arg(ip_when);
        for (int k = 0; k < kBulkSettings; ++k)
            if (GetSetting(BulkKey(k)) != BulkValue(k))
                return QString("%1: setting %2 is wrong").arg(ip_when).arg(k);
        if (QFile::exists(StatePath() + ".bad"))
            return QString("%1: the file was put aside as unreadable").arg(ip_when);
        return QString();
    }

    // Waits for the login of a client started after `i_logins` logins.
    bool WaitForLogin(int i_logins)
    {
        QElapsedTimer waited;
        waited.start();
        while (m_server.LoginCount("bob") <= i_logins && waited.elapsed() < 120000)
            QTest::qWait(20);
        return m_server.LoginCount("bob") > i_logins;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(ClientPath()).isExecutable());
        QVERIFY(m_server.Start({"--accounts", "bob:pw2", "--refuse-new-users"}));
        RemoveStateFiles();

        d->Reset();
        Type* global = d->NewType("global", true, false, true);
        Type* value = d->NewType("global_value", false, false, true);
        global->RelateToType(value, Many, One, false);
        DataSaver saver;
        saver.AddSavedType("global");
        saver.AddSavedByConnectionType("global_value", "global");
        const QStringList pairs = {"username", "bob", "password", "pw2", "server_host", "127.0.0.1", "server_port",
                                   QString::number(m_server.Port()), "listening_port", FreePort(),
                                   "obfuscated_listening_port", FreePort(), "data_version", "7"};
        for (int k = 0; k + 1 < pairs.size(); k += 2)
            SetSetting(pairs[k].toStdString(), pairs[k + 1].toStdString());
        for (int k = 0; k < kBulkSettings; ++k)
            SetSetting(BulkKey(k), BulkValue(k));
        QElapsedTimer timer;
        timer.start();
        saver.Save(QFile::encodeName(StatePath()).constData());
        m_saveMs = timer.elapsed();
        qInfo("A save of the test's state file takes %lld ms here", m_saveMs);
        d->Reset();
    }

    void cleanupTestCase()
    {
        d->Reset();
        RemoveStateFiles();
    }

    void killedAtAnyMomentTheFileStaysWhole()
    {
        QVERIFY2(ReadAll(StatePath()).size() > 2000000, "the state file is too small to take a while");
        QRandomGenerator random(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));

        // A first run ended gently gives the lengths of start-up and shut-down.
        qint64 startUp = 0, shutDown = 0;
        QElapsedTimer gentle;
        gentle.start();
        {
            const int logins = m_server.LoginCount("bob");
            ClientProcess client;
            QVERIFY(client.Start());
            QVERIFY(WaitForLogin(logins));
            startUp = client.Elapsed();
            client.Signal(SIGTERM);
            QElapsedTimer ending;
            ending.start();
            QVERIFY(client.WaitForExit(120000));
            shutDown = ending.elapsed();
            QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));
        }
        qInfo("Start-up until logged in: %lld ms; shut-down: %lld ms", startUp, shutDown);
        QString problem = CheckStateFile("after a gentle run");
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        // Back to the old version, so each run shows which state it left.
        QVERIFY(StateToolSet(StatePath(), "data_version", "7").isEmpty());
        // Each way of dying as often as the others, at least twice.
        const int runs = int(std::clamp<qint64>(kRunsBudgetMs / std::max<qint64>(1, gentle.elapsed()), 6, kRuns)) / 3 * 3;
        qInfo("%d runs, each of about %lld ms", runs, gentle.elapsed());

        int leftovers = 0;
        for (int run = 0; run < runs; ++run)
        {
            QTRY_VERIFY2_WITH_TIMEOUT(!IsLoggedIn(m_server, "bob"),
                                      qPrintable(QString("run %1: the server still has %2").arg(run).arg(
                                          QJsonDocument(m_server.Users()).toJson(QJsonDocument::Compact))),
                                      30000);
            const int logins = m_server.LoginCount("bob");
            ClientProcess client;
            QVERIFY(client.Start());
            const char* when = "";
            switch (run % 3)
            {
            case 0:
                when = "killed during start-up";
                QTest::qWait(int(random.bounded(startUp + 1)));
                break;
            case 1:
                when = "killed while running";
                QVERIFY(WaitForLogin(logins));
                QTest::qWait(int(random.bounded(500)));
                break;
            default:
                when = "killed during the final save";
                QVERIFY(WaitForLogin(logins));
                client.Signal(SIGTERM);
                // Into the save: once its temporary file is there, a
                // moment within the time a save takes.
                {
                    QElapsedTimer waited;
                    waited.start();
                    // Events too: a client that has ended shows only through them.
                    while (client.Running() && UnfinishedSaves().isEmpty() && waited.elapsed() < shutDown + 10000)
                    {
                        QCoreApplication::processEvents();
                        QThread::usleep(500);
                    }
                }
                QThread::msleep(random.bounded(m_saveMs + 1));
                break;
            }
            client.Signal(SIGKILL);
            QVERIFY(client.WaitForExit(60000));
            leftovers += UnfinishedSaves().size();
            problem = CheckStateFile(when);
            QVERIFY2(problem.isEmpty(), qPrintable(QString("run %1, %2").arg(run).arg(problem)));
            d->Reset();
        }
        qInfo("Unfinished saves left by the kills: %d", leftovers);

        // The next start clears them away and ends as usual.
        QTRY_VERIFY_WITH_TIMEOUT(!IsLoggedIn(m_server, "bob"), 30000);
        const int logins = m_server.LoginCount("bob");
        ClientProcess client;
        QVERIFY(client.Start());
        QVERIFY(WaitForLogin(logins));
        QVERIFY(UnfinishedSaves().isEmpty());
        client.Signal(SIGTERM);
        QVERIFY(client.WaitForExit(120000));
        QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));
        problem = CheckStateFile("after the last run");
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QVERIFY(UnfinishedSaves().isEmpty());
    }
};

QTEST_GUILESS_MAIN(KillSafetyTest)
#include "test_kill_safety.moc"
