// SIGTERM and SIGINT end a real client as closing its window does: it logs
// out, writes the state file and exits with 0, whether it is logged in or
// still in the first-start dialog. Whatever stands at the state file's path
// neither freezes the client nor costs the user the state, nor costs the
// user anything the client did not write: a FIFO, a link, a link to a
// device, a file the client may not read.

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
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{
const char* kPrivilegesSeconds = "123456";
}

class QuitSignalsTest : public QObject
{
    Q_OBJECT

private:
    TestServer m_server;

    void PrepareStateFile(const QStringList& i_pairs, const QString& i_path = StatePath())
    {
        const QString error = StateToolSetAll(i_path, i_pairs);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    QStringList BobsLogin()
    {
        return {"username", "bob", "password", "pw2", "server_host", "127.0.0.1", "server_port",
                QString::number(m_server.Port()), "listening_port", FreePort(), "obfuscated_listening_port", FreePort(),
                "data_version", "7"};
    }

    // Names in the folder beginning with the file's name and a dot.
    static QStringList Beside(const QString& i_file)
    {
        const QFileInfo file(i_file);
        return file.dir().entryList({file.fileName() + ".*"}, QDir::AllEntries | QDir::System | QDir::Hidden);
    }

    // A FIFO at the path: the client must not wait in open() for a writer.
    void FifoAtThePath()
    {
        QVERIFY(::mkfifo(QFile::encodeName(StatePath()).constData(), 0600) == 0);
        ClientProcess client;
        QVERIFY(client.Start());
        // Moved aside unopened; the client then shows its damaged-file box.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(StatePath() + ".bad"), 60000);
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(StatePath() + ".bad").constData(), &st) == 0 && S_ISFIFO(st.st_mode));

        client.Signal(SIGTERM);
        QVERIFY2(client.WaitForExit(120000), "the client did not end");
        QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));
        // Started from scratch and saved a real file at the path.
        const QString error = LoadSettingsFrom(StatePath());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QFile::remove(StatePath() + ".bad");
    }

    // The path links to a file elsewhere, as a dotfile manager makes it.
    void LinkAtThePath()
    {
        const QString folder = HomePath() + "/dot";
        const QString target = folder + "/tavrinel.state";
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        PrepareStateFile(BobsLogin(), target);
        QVERIFY(::symlink("dot/tavrinel.state", QFile::encodeName(StatePath()).constData()) == 0);
        // What a killed save left lies beside the target, not the link,
        // under a name only the client makes; the user's copies there stay.
        QVERIFY(WriteAll(target + ".Tavrinel-save.3", "left"));
        QVERIFY(WriteAll(target + ".1", "copy 1"));
        QVERIFY(WriteAll(target + ".2", "copy 2"));
        QVERIFY(WriteAll(StatePath() + ".5", "not ours"));
        ClientProcess client;
        QVERIFY(client.Start());
        QTRY_VERIFY_WITH_TIMEOUT(IsLoggedIn(m_server, "bob"), 60000);

        client.Signal(SIGTERM);
        QVERIFY2(client.WaitForExit(120000), "the client did not end");
        QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));

        // The link stays and leads to the new state.
        QVERIFY(QFileInfo(StatePath()).isSymLink());
        QCOMPARE(QFileInfo(QFile::symLinkTarget(StatePath())).canonicalFilePath(),
                 QFileInfo(target).canonicalFilePath());
        const QString error = LoadSettingsFrom(target);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(GetSetting("data_version"), std::string("1"));
        QCOMPARE(GetSetting("username"), std::string("bob"));
        QCOMPARE(Beside(target), (QStringList{"tavrinel.state.1", "tavrinel.state.2"}));
        QCOMPARE(ReadAll(target + ".1"), QByteArray("copy 1"));
        QCOMPARE(ReadAll(target + ".2"), QByteArray("copy 2"));
        QCOMPARE(Beside(StatePath()), QStringList{".Tavrinel.5"});
        QVERIFY(QDir(folder).removeRecursively());
        QFile::remove(StatePath());
    }

    // The path links to a device (a FIFO where no device node can be made):
    // the link is kept aside, and what it leads to stays as it was.
    void LinkToADevice()
    {
        const QString folder = HomePath() + "/devices";
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        const QByteArray device = QFile::encodeName(folder + "/nullcopy");
        if (::mknod(device.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QVERIFY(::mkfifo(device.constData(), 0600) == 0);
        struct stat before;
        QVERIFY(::lstat(device.constData(), &before) == 0);
        QVERIFY(::symlink("devices/nullcopy", QFile::encodeName(StatePath()).constData()) == 0);
        ClientProcess client;
        QVERIFY(client.Start());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(StatePath() + ".bad").isSymLink(), 60000);

        client.Signal(SIGTERM);
        QVERIFY2(client.WaitForExit(120000), "the client did not end");
        QVERIFY2(client.ExitedNormallyWithZero(), qPrintable(client.Describe()));
        struct stat after;
        QVERIFY(::lstat(device.constData(), &after) == 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_rdev, before.st_rdev);
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{"nullcopy"});
        QVERIFY(!QFileInfo(StatePath()).isSymLink());
        const QString error = LoadSettingsFrom(StatePath());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QFile::remove(StatePath() + ".bad");
        QVERIFY(QDir(folder).removeRecursively());
    }

    // A valid file the client may not read: left as it is, byte for byte,
    // nothing written over it or beside it, and the client ends.
    void UnreadableAtThePath()
    {
        QString runUser;
        QString runGroup;
        QTemporaryDir otherHome;
        QString home = HomePath();
        if (::geteuid() == 0)
        {
            // Root reads anything: the client runs as nobody in a home of
            // nobody's, as far as this system lets it.
            const passwd* nobody = ::getpwnam("nobody");
            const group* nogroup = nobody ? ::getgrgid(nobody->pw_gid) : nullptr;
            if (!nobody || !nogroup || QStandardPaths::findExecutable("setpriv").isEmpty())
                QSKIP("Running as root without the user nobody or setpriv: the unreadable state file is not tested");
            runUser = QString::fromLocal8Bit(nobody->pw_name);
            runGroup = QString::fromLocal8Bit(nogroup->gr_name);
            QProcess probe;
            probe.start("setpriv", {"--reuid", runUser, "--regid", runGroup, "--clear-groups", "--", "test", "-x",
                                    ClientPath()});
            if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
                QSKIP("Running as root, and nobody may not run the client here: the unreadable state file is not "
                      "tested");
            QVERIFY(otherHome.isValid());
            home = otherHome.path();
            QVERIFY(::chown(QFile::encodeName(home).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        }
        const QString path = home + "/.Tavrinel";
        PrepareStateFile(BobsLogin(), path);
        const QByteArray bytes = ReadAll(path);
        QVERIFY(!bytes.isEmpty());
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0) == 0);
        struct stat before;
        QVERIFY(::stat(QFile::encodeName(path).constData(), &before) == 0);

        ClientProcess client;
        QVERIFY(client.StartAs(runUser, runGroup, home));
        QVERIFY2(client.WaitForErrorOutput("Failure to read configuration data: cannot read the state file " + path +
                                               ": it cannot be opened: Permission denied",
                                           60000),
                 "the client did not say which file it could not read and why");
        // The error box waits for the user; the signal ends it.
        client.Signal(SIGTERM);
        QVERIFY2(client.WaitForExit(120000), "the client did not end");
        QCOMPARE(client.Describe(), QString("exit code 1"));

        struct stat after;
        QVERIFY(::stat(QFile::encodeName(path).constData(), &after) == 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0600) == 0);
        QCOMPARE(ReadAll(path), bytes);
        QCOMPARE(Beside(path), QStringList());
        QVERIFY(!IsLoggedIn(m_server, "bob"));
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

    void stateFileOfAnyKind_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"FIFO", "link", "link to a device", "unreadable"})
            QTest::newRow(kind) << QString(kind);
    }

    void stateFileOfAnyKind()
    {
        QFETCH(QString, kind);
        if (kind == "FIFO")
            FifoAtThePath();
        else if (kind == "link")
            LinkAtThePath();
        else if (kind == "link to a device")
            LinkToADevice();
        else
            UnreadableAtThePath();
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
