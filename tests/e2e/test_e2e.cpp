// Whole clients, each the real window in its own process with its own
// HOME, through the scripted central server, used the way a user uses
// them. Three clients: both log in, chat in a room and in private; ben,
// a child of cleo in the distributed tree, shares a folder tree through
// the add-shared-folder dialog; anna's search reaches him down the tree,
// she browses his share from her results and downloads a folder from the
// browser; both quit and come back with what they had, anna once more with
// a browse tab's event pending out of sight. Then anna downloads
// a file and a folder from her results, and a large file while ben is
// killed and started again. Last, ben's one upload slot queues the rest
// while anna is killed and started again. Each step says what it waited
// for when it fails.

#include "common/TestFiles.h"
#include "common/TestPorts.h"
#include "common/TestServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTest>

#include <functional>

namespace
{

// Generous: the clients run under the sanitizers on a loaded machine.
const int kWaitMs = 60000;

QString BuildPath(const QString& i_relative)
{
    return qEnvironmentVariable("TV_BUILD_DIR") + "/" + i_relative;
}

// One tv_e2e_node process: the window of one user in its own HOME.
class Client
{
public:
    Client(const QString& i_user, const QString& i_home) : m_user(i_user), m_home(i_home)
    {
        QDir().mkpath(i_home);
    }
    ~Client() { Quit(); }

    QString StatePath() const { return m_home + "/.Tavrinel"; }
    const QString& User() const { return m_user; }

    // Writes the login settings into the state file; "" or the tool's error.
    QString Prepare(quint16 i_serverPort)
    {
        const QStringList pairs = {"username", m_user, "password", "pw", "server_host", "127.0.0.1", "server_port",
                                   QString::number(i_serverPort), "listening_port", FreePort(),
                                   "obfuscated_listening_port", FreePort()};
        for (int k = 0; k + 1 < pairs.size(); k += 2)
        {
            QProcess tool;
            tool.start(BuildPath("tests/tools/statetool"), {"set", StatePath(), pairs[k], pairs[k + 1]});
            if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
                return "statetool failed: " + QString::fromLocal8Bit(tool.readAllStandardError());
        }
        return QString();
    }

    bool Start()
    {
        m_lines.clear();
        m_buffer.clear();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", m_home);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationDirPath() + "/tv_e2e_node", {});
        return m_process.waitForStarted(kWaitMs) && WaitLine("STARTED");
    }

    // Ends the program at once, as a crash would.
    void Kill()
    {
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }

    // Closing the input quits through the window's teardown and final save.
    bool Quit()
    {
        if (m_process.state() == QProcess::NotRunning)
            return true;
        m_process.closeWriteChannel();
        if (m_process.waitForFinished(kWaitMs))
            return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
        return false;
    }

    // Sends a command and returns the line it answers with.
    QByteArray Ask(const QByteArray& i_command)
    {
        const int before = m_lines.size();
        m_process.write(i_command + "\n");
        (void)QTest::qWaitFor([&] { Read(); return m_lines.size() > before; }, kWaitMs);
        return m_lines.size() > before ? m_lines[before] : QByteArray("(no answer)");
    }

    // Sends a command that acts; "" when it answered OK, else its answer.
    QString Do(const QByteArray& i_command)
    {
        const QByteArray answer = Ask(i_command);
        return answer.startsWith("OK ") ? QString() : QString::fromUtf8(i_command + " -> " + answer);
    }

    // Asks the query until its answer holds; "" or what was waited for
    // together with the last answer.
    QString Await(const QByteArray& i_query, const std::function<bool(const QByteArray&)>& i_holds,
                  const QString& i_what)
    {
        QByteArray answer;
        const bool held = QTest::qWaitFor([&] {
            answer = Ask(i_query);
            if (i_holds(answer))
                return true;
            QTest::qWait(200);
            return false;
        }, kWaitMs);
        return held ? QString() : QString("%1: waited for %2; last answer to %3: %4")
                                      .arg(m_user, i_what, QString::fromUtf8(i_query), QString::fromUtf8(answer));
    }

    // Waits until the answer to the query holds every text.
    QString AwaitAll(const QByteArray& i_query, const QStringList& i_texts, const QString& i_what)
    {
        return Await(i_query, [&](const QByteArray& i_answer) {
            const QString shown = QString::fromUtf8(i_answer);
            for (const QString& text : i_texts)
                if (!shown.contains(text))
                    return false;
            return true;
        }, i_what);
    }

private:
    static QString FreePort() { return QString::number(FreeListenPort()); }

    bool WaitLine(const QByteArray& i_line)
    {
        return QTest::qWaitFor([&] { Read(); return m_lines.contains(i_line); }, kWaitMs);
    }

    void Read()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = int(m_buffer.indexOf('\n'))) >= 0)
        {
            m_lines.append(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
        }
    }

    QString m_user;
    QString m_home;
    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
};

bool MakeFile(const QString& i_path, qint64 i_size, char i_fill)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    return f.open(QIODevice::WriteOnly) && f.write(QByteArray(int(i_size), i_fill)) == i_size;
}

// A file of that length that takes no disk: a hole.
bool MakeSparseFile(const QString& i_path, qint64 i_size)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    return f.open(QIODevice::WriteOnly) && f.resize(i_size);
}

QByteArray Sha256Of(const QString& i_path)
{
    QFile f(i_path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result().toHex() : QByteArray("(unreadable)");
}

// Waits until the file has the bytes; "" or what arrived instead.
QString AwaitFile(const QString& i_path, const QByteArray& i_bytes)
{
    const QByteArray wanted = QCryptographicHash::hash(i_bytes, QCryptographicHash::Sha256).toHex();
    if (QTest::qWaitFor([&] { return QFileInfo(i_path).size() == i_bytes.size() && Sha256Of(i_path) == wanted; },
                        kWaitMs * 2))
        return QString();
    return QString("waited for %1 to arrive with its %2 bytes; found %3 bytes")
        .arg(i_path)
        .arg(i_bytes.size())
        .arg(QFileInfo(i_path).size());
}

// The state file as statetool shows it: types, items with their values,
// links.
QString DumpState(const QString& i_path)
{
    QProcess tool;
    tool.start(BuildPath("tests/tools/statetool"), {"dump", i_path});
    tool.waitForFinished(30000);
    return QString::fromUtf8(tool.readAllStandardOutput());
}

// Waits until the state file holds every text; "" or what it held.
QString AwaitState(const QString& i_path, const QStringList& i_texts, const QString& i_what)
{
    QString state;
    if (QTest::qWaitFor([&] {
            state = DumpState(i_path);
            for (const QString& text : i_texts)
                if (!state.contains(text))
                    return false;
            return true;
        }, kWaitMs))
        return QString();
    return QString("waited for %1; the state file holds:\n%2").arg(i_what, state);
}

// Every file below the folder, relative to it.
QStringList FilesBelow(const QString& i_folder)
{
    QStringList files;
    QDirIterator it(i_folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(i_folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

bool LoggedIn(TestServer& i_server, const QStringList& i_users)
{
    QStringList online;
    for (const QJsonValue& user : i_server.Users())
        online << user.toObject().value("user").toString();
    for (const QString& user : i_users)
        if (!online.contains(user))
            return false;
    return true;
}

// Prepares both state files, starts both windows and waits until both
// have logged in by themselves; "" or what failed.
QString StartBoth(TestServer& i_server, Client& i_first, Client& i_second)
{
    for (Client* client : {&i_first, &i_second})
    {
        const QString failure = client->Prepare(i_server.Port());
        if (!failure.isEmpty())
            return failure;
        if (!client->Start())
            return "a window did not start";
    }
    if (!QTest::qWaitFor([&] { return LoggedIn(i_server, {"anna", "ben"}); }, kWaitMs))
        return "waited for anna and ben to log in to the server";
    for (Client* client : {&i_first, &i_second})
    {
        const QString failure = client->AwaitAll("ONLINE", {"ONLINE yes"}, "the window to show the login done");
        if (!failure.isEmpty())
            return failure;
    }
    return QString();
}

// The server's record of the user, as its control channel shows it.
QJsonObject UserRecord(TestServer& i_server, const QString& i_user)
{
    for (const QJsonValue& user : i_server.Users())
        if (user.toObject().value("user").toString() == i_user)
            return user.toObject();
    return QJsonObject();
}

// Starts the client and waits until it has reported its place in the
// distributed tree to the server: its root, and its level below it (0 for
// a root); "" or what failed.
QString StartInTree(TestServer& i_server, Client& i_client, const QString& i_root, int i_level)
{
    const QString failure = i_client.Prepare(i_server.Port());
    if (!failure.isEmpty())
        return failure;
    if (!i_client.Start())
        return i_client.User() + "'s window did not start";
    QJsonObject record;
    const QString online = i_client.AwaitAll("ONLINE", {"ONLINE yes"}, "the window to show the login done");
    if (!online.isEmpty())
        return online;
    if (QTest::qWaitFor([&] {
            record = UserRecord(i_server, i_client.User());
            return record.value("no_parent").toBool() == (i_level == 0) && record.value("level").toInt(-1) == i_level &&
                   record.value("root").toString() == i_root;
        }, kWaitMs))
        return QString();
    return QString("waited for %1 to report level %2 below %3; the server has %4")
        .arg(i_client.User())
        .arg(i_level)
        .arg(i_root, QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)));
}

#define STEP(expression)                                                                                             \
    do                                                                                                               \
    {                                                                                                                \
        const QString failure_ = (expression);                                                                       \
        if (!failure_.isEmpty())                                                                                     \
            QFAIL(qPrintable(failure_));                                                                             \
    } while (false)

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void ThreeClientsChatShareSearchAndBrowse();
    void DownloadFromResultsAndResume();
    void OneSlotQueuesTheRestAndTheDownloaderSurvivesAKill();
};

void TestEndToEnd::ThreeClientsChatShareSearchAndBrowse()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tree = dir.path() + "/Tree";
    QVERIFY(MakeFile(tree + "/Albüm/01 first song.mp3", 3000, 'a'));
    QVERIFY(MakeFile(tree + "/Albüm/Ünïcode song.ogg", 70000, 'b'));
    QVERIFY(MakeFile(tree + "/Albüm/Live/03 live song.mp3", 1, 'c'));
    QVERIFY(MakeFile(tree + "/notes.txt", 10, 'd'));
    QVERIFY(MakeSparseFile(tree + "/Big/huge song.bin", 5LL * 1024 * 1024 * 1024 + 7));

    // The distributed tree: cleo, alone at first, is the root; ben, offered
    // only her, becomes her child. Anna's search reaches the server, which
    // hands it to the roots only; ben gets it from cleo.
    TestServer server;
    QVERIFY(server.Start({"--accounts", "anna:pw,ben:pw,cleo:pw", "--rooms", "lobby"}));
    Client cleo("cleo", dir.path() + "/cleo");
    Client ben("ben", dir.path() + "/ben");
    Client anna("anna", dir.path() + "/anna");
    STEP(StartInTree(server, cleo, "cleo", 0));
    STEP(StartInTree(server, ben, "cleo", 1));
    QVERIFY(anna.Prepare(server.Port()).isEmpty());
    QVERIFY2(anna.Start(), "anna's window did not start");
    STEP(anna.AwaitAll("ONLINE", {"ONLINE yes"}, "the window to show the login done"));

    // Both join the room from its row and chat in it.
    STEP(anna.Do("REFRESH_ROOMS"));
    STEP(ben.Do("REFRESH_ROOMS"));
    STEP(anna.AwaitAll("ROOMS", {"lobby"}, "the room list row of lobby"));
    STEP(ben.AwaitAll("ROOMS", {"lobby"}, "the room list row of lobby"));
    STEP(anna.Do("JOIN lobby"));
    STEP(ben.Do("JOIN lobby"));
    STEP(anna.Await("ROOMTEXT lobby", [](const QByteArray& i_a) { return i_a.startsWith("ROOMTEXT"); }, "the room view"));
    STEP(ben.Await("ROOMTEXT lobby", [](const QByteArray& i_a) { return i_a.startsWith("ROOMTEXT"); }, "the room view"));
    STEP(anna.Do("SAYROOM lobby hello from anna"));
    STEP(ben.Do("SAYROOM lobby grüße from ben"));
    STEP(anna.AwaitAll("ROOMTEXT lobby", {"hello from anna", "grüße from ben"}, "both room lines"));
    STEP(ben.AwaitAll("ROOMTEXT lobby", {"hello from anna", "grüße from ben"}, "both room lines"));

    // A private message each way.
    STEP(anna.Do("MSG ben psst, ben"));
    STEP(ben.AwaitAll("CHATTEXT anna", {"psst, ben"}, "anna's private message"));
    STEP(ben.Do("MSG anna yes, anna?"));
    STEP(anna.AwaitAll("CHATTEXT ben", {"psst, ben", "yes, anna?"}, "ben's private answer beside her own line"));

    // Ben shares the tree, the file past 4 GiB among them.
    STEP(ben.Do("SHARE " + QFile::encodeName(tree)));
    STEP(ben.AwaitAll("SHARED", {"SHARED 5"}, "the five files of the tree shared"));

    // Anna's search reaches ben down the tree; his answer fills her results
    // tab, the file past 4 GiB with its whole size.
    STEP(anna.Do("SEARCH song"));
    STEP(anna.AwaitAll("RESULTS",
                       {"ben", "01 first song.mp3", "Ünïcode song.ogg", "03 live song.mp3", "huge song.bin"},
                       "ben's four song files in the results tab"));
    const QByteArray results = anna.Ask("RESULTS");
    QVERIFY2(!results.contains("notes.txt"), results.constData());
    QVERIFY2(results.contains("5,368,709,127"), results.constData());
    const QJsonObject benInTree = UserRecord(server, "ben");
    QVERIFY2(!benInTree.value("no_parent").toBool() && benInTree.value("root").toString() == "cleo",
             "ben left cleo's branch during the search");

    // She browses his share from his row in the results, finds the large
    // file's size whole there too, and downloads a folder with its subfolder.
    STEP(anna.Do("BROWSE ben"));
    STEP(anna.AwaitAll("BROWSED ben", {"Tree/Albüm/Live", "Tree/Big"}, "ben's folder tree in the browse tab"));
    STEP(anna.AwaitAll("BROWSEFILES ben Tree/Big", {"huge song.bin|5,368,709,127"}, "the large file's row"));
    STEP(anna.Do("BROWSEGET ben Tree/Albüm"));
    const QString complete = dir.path() + "/anna/Tavrinel Downloads/complete";
    STEP(AwaitFile(complete + "/Albüm/01 first song.mp3", QByteArray(3000, 'a')));
    STEP(AwaitFile(complete + "/Albüm/Ünïcode song.ogg", QByteArray(70000, 'b')));
    STEP(AwaitFile(complete + "/Albüm/Live/03 live song.mp3", QByteArray(1, 'c')));
    QCOMPARE(FilesBelow(complete),
             QStringList({"Albüm/01 first song.mp3", "Albüm/Live/03 live song.mp3", "Albüm/Ünïcode song.ogg"}));
    QVERIFY(FilesBelow(dir.path() + "/anna/Tavrinel Downloads/downloading").isEmpty());
    for (const QString& file : FilesBelow(dir.path() + "/anna"))
        QVERIFY2(file.startsWith("Tavrinel Downloads/") || file.startsWith(".Tavrinel"), qPrintable(file));
    QByteArray listed;
    STEP(anna.Await("DOWNLOADS", [&](const QByteArray& i_a) {
        listed = i_a;
        return i_a.count("|complete|") == 3;
    }, "the three downloads listed complete"));

    // Both quit through the window; the state files load again, the share
    // and the download list as they were, and both log in again.
    QVERIFY2(anna.Quit(), "anna's window did not end with 0");
    QVERIFY2(ben.Quit(), "ben's window did not end with 0");
    QVERIFY2(QTest::qWaitFor([&] { return !LoggedIn(server, {"anna"}) && !LoggedIn(server, {"ben"}); }, kWaitMs),
             "waited for both to log out");
    QVERIFY2(anna.Start(), "anna's window did not start again");
    QVERIFY2(ben.Start(), "ben's window did not start again");
    QVERIFY2(QTest::qWaitFor([&] { return LoggedIn(server, {"anna", "ben"}); }, kWaitMs),
             "waited for anna and ben to log in again");
    STEP(ben.AwaitAll("SHARED", {"SHARED 5"}, "the shared tree loaded again"));
    STEP(anna.AwaitAll("DOWNLOADS", {QString::fromUtf8(listed)}, "the download list as before the quit"));

    // From ben's row in her download list she asks for his files and stays
    // on the transfers tab: his list posts the toolbar's only event, for a
    // browse tab out of sight. Her window still ends with 0, its state kept.
    STEP(anna.Do("BROWSEAWAY ben"));
    STEP(anna.Await("EVENTS", [](const QByteArray& i_a) { return i_a == "EVENTS ben"; },
                    "ben's list as the only event of the toolbar"));
    QVERIFY2(anna.Quit(), "anna's window did not end with 0 with the browse event pending");
    QVERIFY2(anna.Start(), "anna's window did not start the third time");
    STEP(anna.AwaitAll("DOWNLOADS", {QString::fromUtf8(listed)}, "the download list as before that quit"));
    QVERIFY2(anna.Quit(), "anna's window did not end with 0 the third time");
    QVERIFY2(ben.Quit(), "ben's window did not end with 0 the second time");
}

void TestEndToEnd::DownloadFromResultsAndResume()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tree = dir.path() + "/Tree";
    const QByteArray first = RandomBytes(300 * 1024 + 5, 1);
    const QByteArray liveA = RandomBytes(70000, 2);
    const QByteArray liveB = RandomBytes(1, 3);
    const QByteArray large = RandomBytes(3 * 1024 * 1024 + 77, 4);
    QVERIFY(WriteFile(tree + "/Album/first tune.bin", first));
    QVERIFY(WriteFile(tree + "/Album/Live/a tune.bin", liveA));
    QVERIFY(WriteFile(tree + "/Album/Live/b tune.bin", liveB));
    QVERIFY(WriteFile(tree + "/Large/large tune.bin", large));

    TestServer server;
    QVERIFY(server.Start({"--accounts", "anna:pw,ben:pw"}));
    Client anna("anna", dir.path() + "/anna");
    Client ben("ben", dir.path() + "/ben");
    STEP(StartBoth(server, anna, ben));

    // Ben shares the tree; his state file has the share soon after, long
    // before he is killed.
    STEP(ben.Do("SHARE " + QFile::encodeName(tree)));
    STEP(ben.AwaitAll("SHARED", {"SHARED 4"}, "the four files of the tree shared"));
    STEP(AwaitState(ben.StatePath(), {"shared_folder \"" + tree + "\""}, "ben's state file holding his share"));

    STEP(anna.Do("SEARCH tune"));
    STEP(anna.AwaitAll("RESULTS", {"ben", "first tune.bin", "a tune.bin", "b tune.bin", "large tune.bin"},
                       "ben's four files in the results tab"));

    // One file, then a whole folder, from the results.
    const QString downloads = dir.path() + "/anna/Tavrinel Downloads";
    STEP(anna.Do("OPEN first tune.bin"));
    STEP(AwaitFile(downloads + "/complete/Album/first tune.bin", first));
    STEP(anna.Do("OPEN Live"));
    STEP(AwaitFile(downloads + "/complete/Live/a tune.bin", liveA));
    STEP(AwaitFile(downloads + "/complete/Live/b tune.bin", liveB));

    // Ben, slowed down, dies in the middle of the large file; started again
    // with his state file, he lets anna's download end byte-exact.
    STEP(ben.Do("LIMIT 200"));
    STEP(anna.Do("OPEN large tune.bin"));
    const QString partial = downloads + "/downloading/Large/large tune.bin";
    QVERIFY2(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= large.size() / 4; }, kWaitMs * 2),
             qPrintable(QString("waited for a quarter of %1; found %2 bytes").arg(partial).arg(QFileInfo(partial).size())));
    ben.Kill();
    QTest::qWait(500);
    const qint64 kept = QFileInfo(partial).size();
    QVERIFY2(kept < large.size(), "the large file was complete before ben died");
    QVERIFY2(ben.Start(), "ben's window did not start after the kill");
    // The download goes on from the partial file: it never shrinks below
    // what was kept, as a start from 0 would make it.
    const QString complete = downloads + "/complete/Large/large tune.bin";
    qint64 smallest = kept;
    QVERIFY2(QTest::qWaitFor([&] {
                 // One look: the file may move to complete/ between two.
                 const QFileInfo now(partial);
                 if (now.exists())
                     smallest = qMin(smallest, now.size());
                 return QFileInfo::exists(complete);
             }, kWaitMs * 2),
             "waited for the large file to complete after ben's restart");
    QVERIFY2(smallest >= kept, qPrintable(QString("the partial file fell from %1 to %2 bytes").arg(kept).arg(smallest)));
    STEP(AwaitFile(complete, large));
    QVERIFY(!QFileInfo::exists(partial));

    // Nothing landed anywhere else in the download folder.
    QCOMPARE(FilesBelow(downloads + "/complete"),
             QStringList({"Album/first tune.bin", "Large/large tune.bin", "Live/a tune.bin", "Live/b tune.bin"}));
    // Nor outside it, beside anna's state file.
    for (const QString& file : FilesBelow(dir.path() + "/anna"))
        QVERIFY2(file.startsWith("Tavrinel Downloads/") || file.startsWith(".Tavrinel"), qPrintable(file));
    QVERIFY2(anna.Quit(), "anna's window did not end with 0");
    QVERIFY2(ben.Quit(), "ben's window did not end with 0");
}

void TestEndToEnd::OneSlotQueuesTheRestAndTheDownloaderSurvivesAKill()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tree = dir.path() + "/Tree";
    QList<QByteArray> files;
    for (int k = 0; k < 3; ++k)
    {
        files << RandomBytes(200 * 1024 + k, 10 + k);
        QVERIFY(WriteFile(tree + QString("/Queue/queued %1.bin").arg(k), files[k]));
    }

    TestServer server;
    QVERIFY(server.Start({"--accounts", "anna:pw,ben:pw"}));
    Client anna("anna", dir.path() + "/anna");
    Client ben("ben", dir.path() + "/ben");
    STEP(StartBoth(server, anna, ben));

    // Ben uploads one file at a time, slowly enough to watch the line.
    STEP(ben.Do("SHARE " + QFile::encodeName(tree)));
    STEP(ben.AwaitAll("SHARED", {"SHARED 3"}, "the three files shared"));
    STEP(ben.Do("SLOTS 1"));
    STEP(ben.Do("LIMIT 100"));
    STEP(anna.Do("SEARCH queued"));
    STEP(anna.AwaitAll("RESULTS", {"queued 0.bin", "queued 1.bin", "queued 2.bin"}, "ben's three files"));
    STEP(anna.Do("OPEN Queue"));
    QElapsedTimer took;
    took.start();

    // While they come, never two at once, and anna's place in line shows.
    const QString downloads = dir.path() + "/anna/Tavrinel Downloads";
    int mostAtOnce = 0;
    bool placeShown = false;
    QByteArray rows;
    const auto watch = [&] {
        rows = anna.Ask("DOWNLOADS");
        int running = 0;
        for (const QByteArray& row : rows.mid(10).split(';'))
        {
            running += row.split('|').value(1) == "downloading";
            if (row.split('|').value(2).toInt() > 0)
                placeShown = true;
        }
        mostAtOnce = qMax(mostAtOnce, running);
        return FilesBelow(downloads + "/complete/Queue");
    };

    // Anna is killed with some files finished and the rest in line, once
    // her state file has caught up with them; started again, she has lost
    // none of them. Ben sends a trickle meanwhile, so the rest cannot come
    // before her saves, however slow her disk.
    QStringList done;
    QString state;
    QVERIFY2(QTest::qWaitFor([&] { return !(done = watch()).isEmpty(); }, kWaitMs * 2), "waited for a first file");
    STEP(ben.Do("LIMIT 1"));
    QVERIFY2(QTest::qWaitFor([&] {
                 done = watch();
                 if (done.size() == 3)
                     return true;
                 state = DumpState(anna.StatePath());
                 for (int k = 0; k < 3; ++k)
                     if (!state.contains(QString("file_name \"queued %1.bin\"").arg(k)))
                         return false;
                 for (const QString& file : done)
                     if (!state.contains(QString("complete_download_filename \"%1\"").arg(file)))
                         return false;
                 return true;
             }, kWaitMs * 2),
             qPrintable(QString("waited for anna's state file to hold the finished %1 and the queue; it holds:\n%2")
                            .arg(done.join(", "), state)));
    QVERIFY2(done.size() < 3,
             qPrintable("all three files came before anna's state file had them; it holds:\n" + state));
    QList<QByteArray> finished;
    for (const QString& file : done)
        finished << files[file.mid(7, 1).toInt()];
    anna.Kill();
    QVERIFY2(QTest::qWaitFor([&] { return !LoggedIn(server, {"anna"}); }, kWaitMs), "waited for anna to drop out");
    QVERIFY2(anna.Start(), "anna's window did not start after the kill");
    STEP(anna.AwaitAll("DOWNLOADS", {"queued 0.bin", "queued 1.bin", "queued 2.bin"}, "the three downloads listed"));
    for (int k = 0; k < done.size(); ++k)
        STEP(AwaitFile(downloads + "/complete/Queue/" + done[k], finished[k]));
    STEP(ben.Do("LIMIT 100"));

    // Then the rest comes, each file whole.
    QVERIFY2(QTest::qWaitFor([&] { return watch().size() == 3; }, kWaitMs * 2),
             qPrintable("waited for three complete files; have: " + watch().join(", ") + "; rows: " + rows));
    const qint64 elapsedMs = took.elapsed();
    QVERIFY2(mostAtOnce == 1, qPrintable(QString("%1 downloads ran at once").arg(mostAtOnce)));
    // The limit holds: at 100 KiB/s the 600 KiB cannot come much sooner
    // than in six seconds (a slow machine only makes it later).
    QVERIFY2(elapsedMs >= 4000, qPrintable(QString("600 KiB came in %1 ms at a limit of 100 KiB/s").arg(elapsedMs)));
    for (int k = 0; k < 3; ++k)
        STEP(AwaitFile(downloads + QString("/complete/Queue/queued %1.bin").arg(k), files[k]));
    QVERIFY2(placeShown, "no download row ever showed its place in line");
    QCOMPARE(FilesBelow(downloads + "/complete"), QStringList({"Queue/queued 0.bin", "Queue/queued 1.bin", "Queue/queued 2.bin"}));

    // Both quit and come back: anna's download list is as it was.
    QByteArray listed;
    STEP(anna.Await("DOWNLOADS", [&](const QByteArray& i_a) {
        listed = i_a;
        return i_a.count("queued ") == 3;
    }, "the three downloads listed"));
    QVERIFY2(anna.Quit(), "anna's window did not end with 0");
    QVERIFY2(ben.Quit(), "ben's window did not end with 0");
    QVERIFY2(anna.Start(), "anna's window did not start again");
    STEP(anna.AwaitAll("DOWNLOADS", {QString::fromUtf8(listed)}, "the download list as before the quit"));
    QVERIFY2(anna.Quit(), "anna's window did not end with 0 the second time");
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_e2e.moc"
