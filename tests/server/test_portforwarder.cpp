// The port forwarder against the scripted UPnP gateway (tests/tools/upnpgateway.py).
//
// UPnP discovery is a multicast search, so neither side may run in the
// machine's own network: the test makes two network namespaces joined by a
// veth pair, with documentation addresses (gateway 192.0.2.1, client
// 192.0.2.2) and a multicast route over the veth in the client namespace. The
// gateway runs in one, and the client in the other: this test binary
// re-executed with --upnp-client (the forwarder alone) or
// --upnp-server-client (the server connection, logged in to a scripted server
// in the same namespace, with the forwarder it makes), driven by lines on its
// stdin and reporting its log lines on stdout. Nothing leaves the two namespaces; both are
// deleted at the end, also after a failure. Without root or `ip` the test
// skips.

#include "Data.h"
#include "Log.h"
#include "PortForwarder.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "common/TestServer.h"
#include "server.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
const char* const CLIENT_FLAG = "--upnp-client";
const char* const SERVER_CLIENT_FLAG = "--upnp-server-client";
const char* const GATEWAY_ADDRESS = "192.0.2.1";
const char* const CLIENT_ADDRESS = "192.0.2.2";
// Bounds that only catch a hang; nothing here measures speed.
const int WAIT_MS = 30000;

// ---------------------------------------------------------------- the client side

void Print(const QString& i_line)
{
    const QByteArray bytes = i_line.toUtf8() + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

// What the process has cost so far: "USAGE <peak RSS in KiB> <CPU ms>".
void PrintUsage()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const qint64 cpuMs = (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    Print(QStringLiteral("USAGE %1 %2").arg(qint64(usage.ru_maxrss)).arg(cpuMs));
}

// Reads commands, one a line, from stdin; the end of stdin counts as "quit",
// and "usage" prints what the process has cost.
class CommandReader : public QObject
{
public:
    CommandReader()
        : m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        SetLogSink([](const QString& i_category, int, const QString& i_text, ItemPtr) {
            Print("LOG " + i_category + "\t" + i_text);
        });
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] { ReadInput(); });
    }

protected:
    virtual void Run(const QStringList& i_words) = 0;

    void Quit()
    {
        m_notifier.setEnabled(false);
        QCoreApplication::exit(0);
    }

private:
    void ReadInput()
    {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
        {
            Run({"quit"});
            return;
        }
        m_input.append(buffer, int(n));
        int end;
        while ((end = m_input.indexOf('\n')) >= 0)
        {
            const QString line = QString::fromUtf8(m_input.left(end)).trimmed();
            m_input.remove(0, end + 1);
            const QStringList words = line.split(' ', Qt::SkipEmptyParts);
            if (words == QStringList{"usage"})
                PrintUsage();
            else if (!words.isEmpty())
                Run(words);
        }
    }

    QSocketNotifier m_notifier;
    QByteArray m_input;
};

void MakeSettingTypes()
{
    Type* global = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    global->RelateToType(value, Many, One, false);
}

// The forwarder alone, inside the client namespace. Commands:
//   delay MS | init | map PORT | quit
// Output on stdout: "READY", "LOG <category>\t<text>" for every log line,
// "DELETED" once the forwarder is gone after "quit".
class UPnPClient : public CommandReader
{
public:
    UPnPClient()
    {
        mp_forwarder = new PortForwarder;
        Print("READY");
    }

private:
    void Run(const QStringList& i_words) override
    {
        const QString& command = i_words[0];
        if (command == "delay" && i_words.size() == 2)
            mp_forwarder->SetDiscoveryDelay(i_words[1].toInt());
        else if (command == "init")
            mp_forwarder->Init();
        else if (command == "map" && i_words.size() == 2)
            mp_forwarder->AddPortMapping(quint16(i_words[1].toUInt()));
        else if (command == "quit")
        {
            delete mp_forwarder;
            mp_forwarder = nullptr;
            Print("DELETED");
            Quit();
        }
        else
            Print("UNKNOWN " + i_words.join(' '));
    }

    PortForwarder* mp_forwarder = nullptr;
};

// The server connection, logged in to a scripted server that runs in the
// same namespace, with the forwarder it makes. Arguments: the value of
// `use_upnp`, then the plain and the scrambled port reported to the server
// at each login, as the peer network does (0: it could not listen there;
// by default 2235 8973). Commands: login | logout | hour | map PORT | quit.
// Output as above, plus "CONNECTED" at each accepted login.
class ServerClient : public CommandReader
{
public:
    ServerClient(const QString& i_useUpnp, quint32 i_plainPort, quint32 i_scrambledPort)
    {
        MakeSettingTypes();
        new TimerManager;
        timerManager->HalfMinuteTimer()->stop();
        timerManager->FiveMinuteTimer()->stop();
        timerManager->HourTimer()->stop();
        if (!m_testServer.Start())
        {
            Print("NO TEST SERVER");
            return;
        }
        Server* server = new Server;
        server->CreateData();
        SetSetting("username", "mapper");
        SetSetting("password", "secret");
        SetSetting("server_host", "127.0.0.1");
        SetSetting("server_port", std::to_string(m_testServer.Port()));
        SetSetting("use_upnp", ToLatin1(i_useUpnp));
        SetSetting("listening_port", "2235");
        SetSetting("obfuscated_listening_port", "8973");
        portForwarder->SetDiscoveryDelay(500);
        connect(server, &Server::Connected, this, [=] {
            gp_server->SetListenPorts(i_plainPort, i_scrambledPort);
            Print("CONNECTED");
        });
        Print("READY");
    }

private:
    void Run(const QStringList& i_words) override
    {
        const QString& command = i_words[0];
        if (command == "login")
            gp_server->Connect();
        else if (command == "logout")
            gp_server->Disconnect();
        else if (command == "hour")
            QMetaObject::invokeMethod(timerManager->HourTimer(), "timeout");
        else if (command == "map" && i_words.size() == 2)
            portForwarder->AddPortMapping(quint16(i_words[1].toUInt()));
        else if (command == "quit")
        {
            delete gp_server;
            Print(portForwarder ? "FORWARDER LEFT" : "DELETED");
            m_testServer.Stop();
            Quit();
        }
        else
            Print("UNKNOWN " + i_words.join(' '));
    }

    TestServer m_testServer;
};

int RunClient(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::unique_ptr<CommandReader> client;
    if (strcmp(argv[1], SERVER_CLIENT_FLAG) == 0)
        client.reset(new ServerClient(argc > 2 ? QString::fromLatin1(argv[2]) : QString(),
                                      argc > 4 ? QByteArray(argv[3]).toUInt() : 2235,
                                      argc > 4 ? QByteArray(argv[4]).toUInt() : 8973));
    else
        client.reset(new UPnPClient);
    const int code = app.exec();
    ClearLogSink();
    // A worker left behind in a call to a hanging gateway must not hold up
    // the exit; the process ends it.
    fflush(stdout);
    _exit(code);
}

// ---------------------------------------------------------------- the test side

QString RunIp(const QStringList& i_args, bool* op_ok = nullptr)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), i_args);
    const bool finished = ip.waitForFinished(WAIT_MS);
    if (op_ok)
        *op_ok = finished && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
    return QString::fromLocal8Bit(ip.readAllStandardOutput() + ip.readAllStandardError()).trimmed();
}

// A child process whose stdout lines are collected as they arrive.
class LineProcess
{
public:
    ~LineProcess() { Stop(); }

    bool Start(const QString& i_program, const QStringList& i_args)
    {
        mp_process = new QProcess;
        mp_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        mp_process->setProcessEnvironment(env);
        QObject::connect(mp_process, &QProcess::readyReadStandardOutput, [this] { Collect(); });
        mp_process->start(i_program, i_args);
        return mp_process->waitForStarted(WAIT_MS);
    }

    void Write(const QString& i_line)
    {
        if (mp_process)
        {
            mp_process->write(i_line.toUtf8() + '\n');
            mp_process->waitForBytesWritten(WAIT_MS);
        }
    }

    // Waits until a line satisfies the predicate; false after WAIT_MS.
    bool WaitForLine(const std::function<bool(const QString&)>& i_pred)
    {
        return QTest::qWaitFor(
            [&] {
                Collect();
                for (const QString& line : m_lines)
                    if (i_pred(line))
                        return true;
                return false;
            },
            WAIT_MS);
    }

    bool WaitForFinished()
    {
        return QTest::qWaitFor([&] { return !mp_process || mp_process->state() == QProcess::NotRunning; }, WAIT_MS);
    }

    const QStringList& Lines()
    {
        Collect();
        return m_lines;
    }

    void Stop()
    {
        if (!mp_process)
            return;
        mp_process->closeWriteChannel();
        if (!mp_process->waitForFinished(3000))
        {
            mp_process->kill();
            mp_process->waitForFinished(WAIT_MS);
        }
        delete mp_process;
        mp_process = nullptr;
    }

private:
    void Collect()
    {
        if (!mp_process)
            return;
        m_buffer += mp_process->readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0)
        {
            m_lines << QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
        }
    }

    QProcess* mp_process = nullptr;
    QByteArray m_buffer;
    QStringList m_lines;
};
}

class TestPortForwarder : public QObject
{
    Q_OBJECT

public:
    ~TestPortForwarder() override { DeleteNamespaces(); }

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase() { DeleteNamespaces(); }

    void mapsBothPortsWithLeaseAndLocalAddress();
    void renewalAddsAgainWithoutNewSearch();
    void permanentOnlyGatewayGetsLeaseZero();
    void noGatewayGivesOneLineAndSearchesAgainLater();
    void shutdownDoesNotWaitForHangingGateway();
    void serverMapsOnFirstLoginAndRenewsHourly();
    void serverLeavesTheRouterAloneWithoutUpnp();
    void hostileDevicesCostBoundedResourcesAndOnlyOpenPortsAreMapped();

private:
    bool StartGateway(const QStringList& i_options = {});
    bool StartClient(const QStringList& i_args = {CLIENT_FLAG});
    QStringList MappedPorts();
    void DeleteNamespaces();
    void RemoveStaleNamespaces();

    // The gateway's records of one kind.
    QList<QJsonObject> Records(const QString& i_event, const QString& i_action = QString());
    bool WaitForRecords(const QString& i_event, const QString& i_action, int i_count);
    QStringList PortForwardingLines();
    bool WaitForLogLine(const QString& i_part, int i_count = 1);
    // The client's peak RSS in KiB and its CPU time in ms.
    std::pair<qint64, qint64> ClientUsage();

    QString m_gatewayNs;
    QString m_clientNs;
    bool m_namespacesMade = false;
    LineProcess* mp_gateway = nullptr;
    LineProcess* mp_client = nullptr;
};

void TestPortForwarder::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("Making network namespaces needs root; the UPnP tests are skipped");
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
        QSKIP("No `ip` command to make network namespaces; the UPnP tests are skipped");
    if (QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty())
        QSKIP("No python3 for the scripted gateway; the UPnP tests are skipped");

    RemoveStaleNamespaces();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    m_gatewayNs = QStringLiteral("tvupnp-%1-g").arg(pid);
    m_clientNs = QStringLiteral("tvupnp-%1-c").arg(pid);

    bool ok = false;
    const QString out = RunIp({"netns", "add", m_gatewayNs}, &ok);
    if (!ok)
        QSKIP(qPrintable(QStringLiteral("Cannot make a network namespace (%1); the UPnP tests are skipped").arg(out)));
    m_namespacesMade = true;

    // The veth pair is made inside the gateway namespace with its other end
    // moved straight into the client namespace, so it never exists in the
    // machine's own network.
    const QList<QStringList> steps = {
        {"netns", "add", m_clientNs},
        {"-n", m_gatewayNs, "link", "add", "vg0", "type", "veth", "peer", "name", "vc0", "netns", m_clientNs},
        {"-n", m_gatewayNs, "addr", "add", QStringLiteral("%1/24").arg(GATEWAY_ADDRESS), "dev", "vg0"},
        {"-n", m_gatewayNs, "link", "set", "lo", "up"},
        {"-n", m_gatewayNs, "link", "set", "vg0", "up"},
        {"-n", m_clientNs, "addr", "add", QStringLiteral("%1/24").arg(CLIENT_ADDRESS), "dev", "vc0"},
        {"-n", m_clientNs, "link", "set", "lo", "up"},
        {"-n", m_clientNs, "link", "set", "vc0", "up"},
        {"-n", m_clientNs, "route", "add", "239.0.0.0/8", "dev", "vc0"},
    };
    for (const QStringList& step : steps)
    {
        const QString result = RunIp(step, &ok);
        if (!ok)
        {
            DeleteNamespaces();
            QSKIP(qPrintable(QStringLiteral("Cannot set up the test network (ip %1: %2); the UPnP tests are skipped")
                                 .arg(step.join(' '), result)));
        }
    }
}

void TestPortForwarder::cleanup()
{
    delete mp_client;
    mp_client = nullptr;
    delete mp_gateway;
    mp_gateway = nullptr;
}

void TestPortForwarder::DeleteNamespaces()
{
    cleanup();
    if (!m_namespacesMade)
        return;
    m_namespacesMade = false;
    RunIp({"netns", "delete", m_clientNs});
    RunIp({"netns", "delete", m_gatewayNs});
}

// Namespaces of an earlier run of this test that died before its clean-up.
void TestPortForwarder::RemoveStaleNamespaces()
{
    const QStringList lines = RunIp({"netns", "list"}).split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression ours(QStringLiteral("^(tvupnp-(\\d+)-[gc])\\b"));
    for (const QString& line : lines)
    {
        const QRegularExpressionMatch m = ours.match(line.trimmed());
        if (m.hasMatch() && !QFileInfo::exists(QStringLiteral("/proc/%1").arg(m.captured(2))))
            RunIp({"netns", "delete", m.captured(1)});
    }
}

bool TestPortForwarder::StartGateway(const QStringList& i_options)
{
    QString script = qEnvironmentVariable("TV_SOURCE_DIR");
    script = script.isEmpty() ? QFileInfo(QStringLiteral(__FILE__)).dir().filePath(QStringLiteral("../tools/upnpgateway.py"))
                              : script + QStringLiteral("/tests/tools/upnpgateway.py");
    mp_gateway = new LineProcess;
    QStringList args = {"netns", "exec", m_gatewayNs, "python3", script, "--address", GATEWAY_ADDRESS,
                        "--external-ip", "192.0.2.200", "--stop-on-eof", "--lifetime", "240"};
    args << i_options;
    return mp_gateway->Start(QStringLiteral("ip"), args) &&
           mp_gateway->WaitForLine([](const QString& l) { return l.contains(QLatin1String("\"ready\"")); });
}

bool TestPortForwarder::StartClient(const QStringList& i_args)
{
    mp_client = new LineProcess;
    return mp_client->Start(QStringLiteral("ip"),
                            QStringList{"netns", "exec", m_clientNs, QCoreApplication::applicationFilePath()} + i_args) &&
           mp_client->WaitForLine([](const QString& l) { return l == QLatin1String("READY"); });
}

QStringList TestPortForwarder::MappedPorts()
{
    QStringList ports;
    for (const QJsonObject& add : Records("soap", "AddPortMapping"))
        ports << add.value("args").toObject().value("NewExternalPort").toString();
    return ports;
}

QList<QJsonObject> TestPortForwarder::Records(const QString& i_event, const QString& i_action)
{
    QList<QJsonObject> out;
    for (const QString& line : mp_gateway->Lines())
    {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value("event").toString() == i_event && (i_action.isEmpty() || o.value("action").toString() == i_action))
            out << o;
    }
    return out;
}

bool TestPortForwarder::WaitForRecords(const QString& i_event, const QString& i_action, int i_count)
{
    return QTest::qWaitFor([&] { return Records(i_event, i_action).size() >= i_count; }, WAIT_MS);
}

QStringList TestPortForwarder::PortForwardingLines()
{
    QStringList out;
    for (const QString& line : mp_client->Lines())
        if (line.startsWith(QLatin1String("LOG Port Forwarding\t")))
            out << line.mid(int(strlen("LOG Port Forwarding\t")));
    return out;
}

bool TestPortForwarder::WaitForLogLine(const QString& i_part, int i_count)
{
    return QTest::qWaitFor(
        [&] {
            int n = 0;
            for (const QString& line : PortForwardingLines())
                n += line.contains(i_part) ? 1 : 0;
            return n >= i_count;
        },
        WAIT_MS);
}

std::pair<qint64, qint64> TestPortForwarder::ClientUsage()
{
    const int before = mp_client->Lines().filter(QRegularExpression("^USAGE ")).size();
    mp_client->Write("usage");
    if (!QTest::qWaitFor([&] { return mp_client->Lines().filter(QRegularExpression("^USAGE ")).size() > before; }, WAIT_MS))
        return {-1, -1};
    const QStringList words = mp_client->Lines().filter(QRegularExpression("^USAGE ")).last().split(' ');
    return {words.value(1).toLongLong(), words.value(2).toLongLong()};
}

// ---------------------------------------------------------------- cases

void TestPortForwarder::mapsBothPortsWithLeaseAndLocalAddress()
{
    QVERIFY(StartGateway());
    QVERIFY(StartClient());
    mp_client->Write("delay 500");
    mp_client->Write("init");
    mp_client->Write("map 2235");
    mp_client->Write("map 8973");
    QVERIFY2(WaitForLogLine("Mapped TCP port", 2), qPrintable(PortForwardingLines().join('\n')));

    // The local address is the one the gateway sees, named in the found line.
    QVERIFY(WaitForLogLine(QStringLiteral("Found UPnP gateway http://%1:").arg(GATEWAY_ADDRESS)));
    QVERIFY(PortForwardingLines().filter(QStringLiteral("local address %1").arg(CLIENT_ADDRESS)).size() == 1);

    const QList<QJsonObject> adds = Records("soap", "AddPortMapping");
    QCOMPARE(adds.size(), 2);
    QStringList ports;
    for (const QJsonObject& add : adds)
    {
        const QJsonObject args = add.value("args").toObject();
        ports << args.value("NewExternalPort").toString();
        QCOMPARE(args.value("NewInternalPort").toString(), args.value("NewExternalPort").toString());
        QCOMPARE(args.value("NewProtocol").toString(), QStringLiteral("TCP"));
        QCOMPARE(args.value("NewLeaseDuration").toString(), QStringLiteral("7200"));
        QCOMPARE(args.value("NewInternalClient").toString(), QString::fromLatin1(CLIENT_ADDRESS));
        QCOMPARE(args.value("NewEnabled").toString(), QStringLiteral("1"));
        QCOMPARE(add.value("status").toString(), QStringLiteral("ok"));
    }
    QCOMPARE(ports, QStringList({"2235", "8973"}));
    QVERIFY(PortForwardingLines().contains(QStringLiteral("Mapped TCP port 2235 to %1:2235 (lease 7200 s)").arg(CLIENT_ADDRESS)));
    QVERIFY(PortForwardingLines().filter("No UPnP gateway").isEmpty());
}

void TestPortForwarder::renewalAddsAgainWithoutNewSearch()
{
    QVERIFY(StartGateway());
    QVERIFY(StartClient());
    mp_client->Write("delay 500");
    mp_client->Write("init");
    mp_client->Write("map 2235");
    QVERIFY(WaitForLogLine("Mapped TCP port 2235", 1));
    const int searches = Records("msearch").size();
    const int descriptions = Records("get").size();
    QVERIFY(searches >= 1);

    // What the hourly renewal does: Init again (a no-op now) and the mapping
    // again. Jobs run in order, so a second search would come before it.
    mp_client->Write("init");
    mp_client->Write("map 2235");
    QVERIFY(WaitForLogLine("Mapped TCP port 2235", 2));
    QCOMPARE(Records("msearch").size(), searches);
    QCOMPARE(Records("get").size(), descriptions);
    QCOMPARE(Records("soap", "AddPortMapping").size(), 2);
    QCOMPARE(PortForwardingLines().filter("Found UPnP gateway").size(), 1);
}

void TestPortForwarder::permanentOnlyGatewayGetsLeaseZero()
{
    QVERIFY(StartGateway({"--permanent-only"}));
    QVERIFY(StartClient());
    mp_client->Write("delay 500");
    mp_client->Write("init");
    mp_client->Write("map 2235");
    mp_client->Write("map 8973");
    QVERIFY2(WaitForLogLine("Mapped TCP port", 2), qPrintable(PortForwardingLines().join('\n')));

    // The first request asks for the lease and is refused with 725; the
    // retry and every later request go without one.
    const QList<QJsonObject> adds = Records("soap", "AddPortMapping");
    QCOMPARE(adds.size(), 3);
    const auto lease = [&](int i) { return adds[i].value("args").toObject().value("NewLeaseDuration").toString(); };
    const auto port = [&](int i) { return adds[i].value("args").toObject().value("NewExternalPort").toString(); };
    QCOMPARE(lease(0), QStringLiteral("7200"));
    QCOMPARE(adds[0].value("status").toString(), QStringLiteral("fault 725"));
    QCOMPARE(port(0), QStringLiteral("2235"));
    QCOMPARE(lease(1), QStringLiteral("0"));
    QCOMPARE(port(1), QStringLiteral("2235"));
    QCOMPARE(adds[1].value("status").toString(), QStringLiteral("ok"));
    QCOMPARE(lease(2), QStringLiteral("0"));
    QCOMPARE(port(2), QStringLiteral("8973"));
    QCOMPARE(PortForwardingLines().filter("permanent: the gateway supports no lease").size(), 2);
    QVERIFY(PortForwardingLines().filter("Could not map").isEmpty());
}

void TestPortForwarder::noGatewayGivesOneLineAndSearchesAgainLater()
{
    QVERIFY(StartGateway({"--no-ssdp"}));
    QVERIFY(StartClient());
    mp_client->Write("delay 300");
    mp_client->Write("init");
    mp_client->Write("init");   // while the first search runs: no second one
    mp_client->Write("map 2235");
    mp_client->Write("map 8973");
    QVERIFY(WaitForLogLine("No UPnP gateway found"));
    // The searches did cross to the gateway's namespace (it just stays silent).
    QVERIFY(!Records("msearch").isEmpty());
    const int searches = Records("msearch").size();

    // Another Init after the failure searches again; its line is the only
    // new one, so the mappings queued in between said nothing.
    mp_client->Write("init");
    QVERIFY(WaitForLogLine("No UPnP gateway found", 2));
    QVERIFY(Records("msearch").size() > searches);
    QCOMPARE(PortForwardingLines(),
             QStringList({"No UPnP gateway found: no device answered the search",
                          "No UPnP gateway found: no device answered the search"}));
    QVERIFY(Records("soap").isEmpty());

    mp_client->Write("quit");
    QVERIFY(mp_client->WaitForLine([](const QString& l) { return l == QLatin1String("DELETED"); }));
    QVERIFY(mp_client->WaitForFinished());
}

void TestPortForwarder::shutdownDoesNotWaitForHangingGateway()
{
    // The gateway answers AddPortMapping with headers and then one byte a
    // second for far longer than any wait here, so the worker stays inside
    // the call and only the bounded wait lets the forwarder go.
    QVERIFY(StartGateway({"--hang", "AddPortMapping", "--hang-seconds", "200"}));
    QVERIFY(StartClient());
    mp_client->Write("delay 500");
    mp_client->Write("init");
    mp_client->Write("map 2235");
    QVERIFY(WaitForRecords("soap", "AddPortMapping", 1));
    QCOMPARE(Records("soap", "AddPortMapping").first().value("status").toString(), QStringLiteral("hang"));

    mp_client->Write("quit");
    QVERIFY2(mp_client->WaitForLine([](const QString& l) { return l == QLatin1String("DELETED"); }),
             "deleting the forwarder hung on the gateway");
    QVERIFY(mp_client->WaitForFinished());
    QVERIFY(PortForwardingLines().contains("The UPnP gateway is still answering; shutting down without waiting for it"));
}

void TestPortForwarder::serverMapsOnFirstLoginAndRenewsHourly()
{
    QVERIFY(StartGateway());
    QVERIFY(StartClient({SERVER_CLIENT_FLAG, "yes"}));
    const auto countLines = [&](const QString& i_line) { return mp_client->Lines().count(i_line); };

    mp_client->Write("login");
    QVERIFY(WaitForLogLine("Mapped TCP port", 2));
    QCOMPARE(MappedPorts(), QStringList({"2235", "8973"}));
    QCOMPARE(Records("soap", "AddPortMapping").first().value("args").toObject().value("NewLeaseDuration").toString(),
             QStringLiteral("7200"));

    // The hourly tick renews both, and says so in the server's log.
    mp_client->Write("hour");
    QVERIFY(WaitForLogLine("Mapped TCP port", 4));
    QCOMPARE(MappedPorts(), QStringList({"2235", "8973", "2235", "8973"}));
    QCOMPARE(countLines("LOG server\tRenewing the port mapping"), 1);

    // A later login of the same run maps nothing; a marker mapping queued
    // after it shows that every earlier job is done.
    mp_client->Write("logout");
    mp_client->Write("login");
    QVERIFY(QTest::qWaitFor([&] { return countLines("CONNECTED") == 2; }, WAIT_MS));
    mp_client->Write("map 1111");
    QVERIFY(WaitForLogLine("Mapped TCP port 1111"));
    QCOMPARE(MappedPorts(), QStringList({"2235", "8973", "2235", "8973", "1111"}));
    QCOMPARE(PortForwardingLines().filter("Found UPnP gateway").size(), 1);

    mp_client->Write("quit");
    QVERIFY(mp_client->WaitForLine([](const QString& l) { return l == QLatin1String("DELETED"); }));
}

void TestPortForwarder::serverLeavesTheRouterAloneWithoutUpnp()
{
    QVERIFY(StartGateway());
    QVERIFY(StartClient({SERVER_CLIENT_FLAG, "no"}));
    mp_client->Write("login");
    QVERIFY(mp_client->WaitForLine([](const QString& l) { return l == QLatin1String("CONNECTED"); }));
    mp_client->Write("hour");
    // Anything the login or the tick had queued would run before the marker;
    // the marker itself has no gateway, so it is silent too.
    mp_client->Write("map 1111");
    mp_client->Write("quit");
    QVERIFY(mp_client->WaitForLine([](const QString& l) { return l == QLatin1String("DELETED"); }));
    QVERIFY(Records("msearch").isEmpty());
    QVERIFY(Records("soap").isEmpty());
    QVERIFY(PortForwardingLines().isEmpty());
    QVERIFY(!mp_client->Lines().contains("LOG server\tRenewing the port mapping"));
}

void TestPortForwarder::hostileDevicesCostBoundedResourcesAndOnlyOpenPortsAreMapped()
{
    // A stream without end, cut far beyond anything the client may keep: a
    // client that reads it whole costs far more than these generous bounds.
    const QStringList endless = {"--stream-bytes", QString::number(256 << 20)};
    const qint64 memoryBoundKiB = 64 * 1024;
    const qint64 cpuBoundMs = 10000;
    const struct
    {
        QString stream;
        QString line;
    } streams[] = {
        {"description", "Gave up on UPnP device http://192.0.2.1:%1/rootDesc.xml: its answer is larger than 1 MiB"},
        {"header", "Gave up on UPnP device http://192.0.2.1:%1/rootDesc.xml: its answer's header is longer than 16 KiB"},
        {"AddPortMapping", "Gave up on the UPnP gateway while mapping TCP port 2235 to 192.0.2.2:2235: its answer is "
                           "larger than 1 MiB; the gateway will be searched for again"},
    };
    for (const auto& stream : streams)
    {
        QVERIFY(StartGateway(QStringList{"--stream", stream.stream} + endless));
        QVERIFY(StartClient());
        const std::pair<qint64, qint64> before = ClientUsage();
        mp_client->Write("delay 500");
        mp_client->Write("init");
        mp_client->Write("map 2235");
        const QString port = QString::number(Records("ready").first().value("http_port").toInt());
        const QString line = stream.line.contains("%1") ? stream.line.arg(port) : stream.line;
        QVERIFY2(WaitForLogLine(line), qPrintable(PortForwardingLines().join('\n')));
        QVERIFY(WaitForRecords("streamed", QString(), 1));
        const std::pair<qint64, qint64> after = ClientUsage();
        QVERIFY2(after.first - before.first < memoryBoundKiB,
                 qPrintable(QStringLiteral("%1: peak RSS %2 KiB -> %3 KiB").arg(stream.stream).arg(before.first).arg(after.first)));
        QVERIFY2(after.second - before.second < cpuBoundMs,
                 qPrintable(QStringLiteral("%1: CPU %2 ms -> %3 ms").arg(stream.stream).arg(before.second).arg(after.second)));
        QCOMPARE(PortForwardingLines().filter("Gave up").size(), 1);
        cleanup();
    }

    // Many devices answer: one search considers 16 locations, each once
    // (every device answers twice, for two of the types searched).
    QVERIFY(StartGateway({"--devices", "40"}));
    QVERIFY(StartClient());
    mp_client->Write("delay 500");
    mp_client->Write("init");
    QVERIFY2(WaitForLogLine("No UPnP gateway found: 16 device(s) answered"), qPrintable(PortForwardingLines().join('\n')));
    QVERIFY(PortForwardingLines().contains("16 UPnP devices answered the search; any others are ignored"));
    QStringList paths;
    for (const QJsonObject& get : Records("get"))
        paths << get.value("path").toString();
    QCOMPARE(paths.size(), 16);
    QCOMPARE(paths.removeDuplicates(), 0);
    cleanup();

    // A description naming a control URL on this machine: no call goes there.
    QVERIFY(StartGateway({"--control-base", "http://127.0.0.1:80"}));
    QVERIFY(StartClient());
    mp_client->Write("delay 500");
    mp_client->Write("init");
    QVERIFY2(WaitForLogLine("its control URL is not at its own address"), qPrintable(PortForwardingLines().join('\n')));
    QVERIFY(WaitForLogLine("none of them is a usable Internet gateway"));
    cleanup();

    // The plain port is busy, so the peer network reports 0 for it: only the
    // scrambled one is mapped, at login and at the renewal.
    QVERIFY(StartGateway());
    QVERIFY(StartClient({SERVER_CLIENT_FLAG, "yes", "0", "8973"}));
    mp_client->Write("login");
    QVERIFY(WaitForLogLine("Mapped TCP port 8973"));
    mp_client->Write("hour");
    mp_client->Write("map 1111");
    QVERIFY(WaitForLogLine("Mapped TCP port 1111"));
    QCOMPARE(MappedPorts(), QStringList({"8973", "8973", "1111"}));
}

int main(int argc, char** argv)
{
    if (argc > 1 && (strcmp(argv[1], CLIENT_FLAG) == 0 || strcmp(argv[1], SERVER_CLIENT_FLAG) == 0))
        return RunClient(argc, argv);
    QCoreApplication app(argc, argv);
    TestPortForwarder test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_portforwarder.moc"
