// SIGTERM and SIGINT end a real client as closing its window does: it logs
// out, writes the state file and exits with 0, whether it is logged in or
// still in the first-start dialog.

#include "app/AppTestSupport.h"
#include "app/ClientProcess.h"
#include "common/TestServer.h"

#include "Data.h"
#include "ProtocolCodes.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

namespace
{
const char* kPrivilegesSeconds = "123456";
}

class QuitSignalsTest : public QObject
{
    Q_OBJECT

private:
    TestServer m_server;

    void PrepareStateFile(const QStringList& i_pairs)
    {
        const QString error = StateToolSetAll(StatePath(), i_pairs);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void Signals()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(ClientPath()).isExecutable());
        QVERIFY(m_server.Start({"--accounts", "bob:pw2", "--refuse-new-users", "--privileges-seconds",
                                kPrivilegesSeconds}));
    }

    void init() { RemoveStateFiles(); }

    void cleanup()
    {
        d->Reset();
        RemoveStateFiles();
        QTRY_VERIFY_WITH_TIMEOUT(m_server.Users().isEmpty(), 10000);
    }

    void loggedIn_data() { Signals(); }

    void loggedIn()
    {
        QFETCH(int, signal);
        PrepareStateFile({"username", "bob", "password", "pw2", "server_host", "127.0.0.1", "server_port",
                          QString::number(m_server.Port()), "listening_port", FreePort(),
                          "obfuscated_listening_port", FreePort(), "data_version", "7"});
        const int acks = m_server.Received("bob", SM_PRIVATE_CHAT_ACK).size();
        const int asked = m_server.Received("bob", SM_GET_OWN_PRIVILEGES).size();
        ClientProcess client;
        QVERIFY(client.Start());

        QTRY_VERIFY_WITH_TIMEOUT(IsLoggedIn(m_server, "bob"), 60000);
        QVERIFY(m_server.WaitFor("bob", SM_GET_OWN_PRIVILEGES, asked + 1, 60000));
        // The client answers this message after the privileges answer sent
        // before it, so by then it holds the privileges time.
        QVERIFY(m_server.Send("bob", SM_PRIVATE_CHAT,
                              {QJsonArray{"u32", 77}, QJsonArray{"u32", int(QDateTime::currentSecsSinceEpoch())},
                               QJsonArray{"latin1", "carol"}, QJsonArray{"utf8", "hello"}, QJsonArray{"byte", 1}}));
        QVERIFY(m_server.WaitFor("bob", SM_PRIVATE_CHAT_ACK, acks + 1, 60000));

        client.Signal(signal);
        QVERIFY2(client.WaitForExit(120000), "the client did not end");
        QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));
        QTRY_VERIFY_WITH_TIMEOUT(!IsLoggedIn(m_server, "bob"), 10000);

        const QString error = LoadSettingsFrom(StatePath());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QCOMPARE(GetSetting("privileges_time_left"), std::string(kPrivilegesSeconds));
        QCOMPARE(GetSetting("username"), std::string("bob"));
    }

    void duringTheFirstStartDialog_data() { Signals(); }

    void duringTheFirstStartDialog()
    {
        QFETCH(int, signal);
        const QString port = FreePort();
        PrepareStateFile({"listening_port", port, "obfuscated_listening_port", FreePort(), "data_version", "7",
                          "zz_marker", "kept"});
        ClientProcess client;
        QVERIFY(client.Start());
        // The listeners open once the file is loaded, just before the dialog.
        QTRY_VERIFY_WITH_TIMEOUT(Accepts(port.toUShort()), 60000);

        client.Signal(signal);
        QVERIFY2(client.WaitForExit(120000), "the client did not end");
        QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));

        const QString error = LoadSettingsFrom(StatePath());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QCOMPARE(GetSetting("zz_marker"), std::string("kept"));
        QVERIFY(GetSetting("username").empty());
    }
};

QTEST_GUILESS_MAIN(QuitSignalsTest)
#include "test_quit_signals.moc"
