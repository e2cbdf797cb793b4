// One headless client of the distributed network for the multi-process
// tests: server connection, peer network and distributed-network node,
// nothing else. Settings come from the command line:
//   tv_dnet_node --user NAME --server-port N [--password PW]
// It prints to stdout, one line each:
//   LISTENING <plain port>        once the listeners are open
//   LOGGED_IN                     at every login
//   SEARCH <user> <token> <text>  for every DNetSearchRequest
// and the "Distributed Network" log lines to stderr. It ends when its
// standard input closes, so it never outlives the test that started it.

#include "DNetManager.h"
#include "DataSaver.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>

#include <cstdio>
#include <unistd.h>

namespace
{
quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void Print(const QByteArray& i_line)
{
    std::fwrite(i_line.constData(), 1, size_t(i_line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"user", "User name.", "name"});
    parser.addOption({"password", "Password.", "password", "pw"});
    parser.addOption({"server-port", "Port of the test server on 127.0.0.1.", "port"});
    parser.process(app);
    if (!parser.isSet("user") || !parser.isSet("server-port"))
    {
        std::fprintf(stderr, "usage: tv_dnet_node --user NAME --server-port N [--password PW]\n");
        return 2;
    }

    SetLogSink([](const QString& i_category, int i_level, const QString& i_text, ItemPtr) {
        if (i_category == QLatin1String("Distributed Network"))
            std::fprintf(stderr, "%s\n", FormatLogLine(i_level, i_text).toLocal8Bit().constData());
    });

    // The same order as the window's start-up.
    Type* global = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    global->RelateToType(value, Many, One, false);
    new TimerManager;
    new DataSaver;
    auto* server = new Server;
    server->CreateData();
    auto* messenger = new PeerMessenger;
    auto* node = new DNetManager;

    SetSetting("username", ToLatin1(parser.value("user")));
    SetSetting("password", ToLatin1(parser.value("password")));
    SetSetting("server_host", "127.0.0.1");
    SetSetting("server_port", ToLatin1(parser.value("server-port")));
    SetSetting("listening_port", std::to_string(FreePort()));
    SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
    dataSaver->NotifyDataLoaded();
    Print("LISTENING " + QByteArray::number(messenger->ListeningPort()));

    QObject::connect(server, &Server::Connected, [] { Print("LOGGED_IN"); });
    QObject::connect(node, &DNetManager::DNetSearchRequest,
                     [](std::string i_user, unsigned int i_req, std::string i_text) {
                         Print("SEARCH " + QByteArray::fromStdString(i_user) + " " +
                               QByteArray::number(i_req) + " " + QByteArray::fromStdString(i_text));
                     });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
        {
            input.setEnabled(false);
            app.quit();
        }
    });

    server->Connect();
    const int rc = app.exec();

    delete node;
    delete messenger;
    delete server;
    delete dataSaver;
    delete timerManager;
    ClearLogSink();
    return rc;
}
