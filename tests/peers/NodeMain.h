#pragma once
// What the headless client programs of the multi-process tests share: the
// login options, the start-up and shut-down of store, timers and server,
// free loopback ports, one output line at a time, and command lines read
// from standard input until it closes, which ends the program.

#include "common/TestPorts.h"
#include "DataSaver.h"
#include "Log.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "server.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

namespace nodemain
{
inline quint16 FreePort()
{
    return FreeListenPort();
}

inline void Print(const QByteArray& i_line)
{
    std::fwrite(i_line.constData(), 1, size_t(i_line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Reads the login options (and --share when the node takes it); false, with
// the usage on stderr, when the user or the server port is missing.
inline bool ReadOptions(QCoreApplication& i_app, QCommandLineParser& io_parser, bool i_withShare,
                        const char* ip_program)
{
    io_parser.addOption({"user", "User name.", "name"});
    io_parser.addOption({"password", "Password.", "password", "pw"});
    io_parser.addOption({"server-port", "Port of the test server on 127.0.0.1.", "port"});
    if (i_withShare)
        io_parser.addOption({"share", "A folder to share with everyone.", "path"});
    io_parser.process(i_app);
    if (io_parser.isSet("user") && io_parser.isSet("server-port"))
        return true;
    std::fprintf(stderr, "usage: %s --user NAME --server-port N [--password PW]\n", ip_program);
    return false;
}

// The first steps of the window's start-up: global values, timers, the
// data saver and the server with its store types.
inline Server* StartServer()
{
    Type* global = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    global->RelateToType(value, Many, One, false);
    new TimerManager;
    new DataSaver;
    auto* server = new Server;
    server->CreateData();
    return server;
}

// Logs in as the options say, to the server on 127.0.0.1, listening on
// free ports.
inline void SetLoginSettings(const QCommandLineParser& i_parser)
{
    SetSetting("username", ToLatin1(i_parser.value("user")));
    SetSetting("password", ToLatin1(i_parser.value("password")));
    SetSetting("server_host", "127.0.0.1");
    SetSetting("server_port", ToLatin1(i_parser.value("server-port")));
    SetSetting("listening_port", std::to_string(FreePort()));
    SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
}

// Undoes StartServer, once the node's own managers are gone.
inline void StopServer(Server* ip_server)
{
    delete ip_server;
    delete dataSaver;
    delete timerManager;
    ClearLogSink();
}

// Hands every line of standard input to the command; quits the
// application when the input closes, so that a node never outlives the
// test that started it.
class CommandLines
{
public:
    CommandLines(QCoreApplication& i_app, std::function<void(const QByteArray&)> i_command)
        : m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_input, &QSocketNotifier::activated, [this, &i_app, i_command] {
            char buffer[4096];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0)
            {
                m_input.setEnabled(false);
                i_app.quit();
                return;
            }
            m_pending.append(buffer, int(n));
            int end;
            while ((end = m_pending.indexOf('\n')) >= 0)
            {
                const QByteArray line = m_pending.left(end);
                m_pending.remove(0, end + 1);
                i_command(line);
            }
        });
    }

private:
    QSocketNotifier m_input;
    QByteArray m_pending;
};
} // namespace nodemain
