// One headless client of the distributed network for the multi-process
// tests: server connection, peer network and distributed-network node,
// nothing else. Settings come from the command line:
//   tv_dnet_node --user NAME --server-port N [--password PW]
// It prints to stdout, one line each:
//   LISTENING <plain port>        once the listeners are open
//   LOGGED_IN                     at every login
//   SEARCH <user> <token> <text>  for every DNetSearchRequest
//   QUEUE_REQUESTED <user> <file>            for every QueueUploadRequested
//   TRANSFER_REQUESTED <user> <dir> <req> <size> <file>
//   TRANSFER_RESPONSE <user> <req> <accepted> <size>
//   FAILED <user> <type>                     for every ConnectionToUserFailed
// and the "Distributed Network" and "Peer Messenger" log lines to stderr.
// Lines on its standard input drive the peer network, so that two such
// processes talk to each other:
//   QUEUE <user> <file>          PeerMessenger::QueueDownload
//   REQUEST <user> <size> <file> PeerMessenger::RequestUpload
//   ACCEPT <user> <req> <size>   PeerMessenger::AcceptTransferRequest
// It ends when its standard input closes, so it never outlives the test
// that started it.
//
// Built a second time as tv_shares_node (TV_NODE_WITH_SHARES), it also runs
// the shared-files manager and shares, visible to everyone, the folder given
// as --share PATH. It then also prints:
//   UPLOAD_SPEED <value>            the setting, after the own statistics
//   SHARE <user> <folders> <files>  a received share list, once stored
//   RESULT <user> <size> <path>     every search result received
//   LOG <text>                      every log line
// and takes:
//   BROWSE <user>                   PeerMessenger::GetUserSharedFiles
//   FOLDER <user> <req> <folder>    asks for the files of one folder
//   FIND <text>                     Server::FileSearch

#include "DNetManager.h"
#include "DataSaver.h"
#include "NodeMain.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "server.h"
#ifdef TV_NODE_WITH_SHARES
#include "MemStream.h"
#include "ProtocolCodes.h"
#include "SharedFoldersManager.h"
#endif

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace
{
using nodemain::Print;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
#ifdef TV_NODE_WITH_SHARES
    const bool withShare = true;
#else
    const bool withShare = false;
#endif
    if (!nodemain::ReadOptions(app, parser, withShare, "tv_dnet_node"))
        return 2;

    SetLogSink([](const QString& i_category, int i_level, const QString& i_text, ItemPtr) {
        if (i_category == QLatin1String("Distributed Network") || i_category == QLatin1String("Peer Messenger"))
            std::fprintf(stderr, "%s\n", FormatLogLine(i_level, i_text).toLocal8Bit().constData());
#ifdef TV_NODE_WITH_SHARES
        Print("LOG " + i_text.toUtf8());
#endif
    });

    // The same order as the window's start-up.
    Server* server = nodemain::StartServer();
    auto* messenger = new PeerMessenger;
    auto* node = new DNetManager;

    nodemain::SetLoginSettings(parser);
#ifdef TV_NODE_WITH_SHARES
    auto* shares = new SharedFoldersManager;
#endif
    dataSaver->NotifyDataLoaded();
#ifdef TV_NODE_WITH_SHARES
    shares->Init();
    if (parser.isSet("share"))
    {
        ItemPtr folder = T("shared_folder")->GetItem(ToUtf8(parser.value("share")));
        folder += T("shared_public")->GetGlobalNullItem();
    }
    // Connected after the manager's own slots, so these see what they stored.
    QObject::connect(server, &Server::ReceivedUserStats, [](std::string, UserStats) {
        Print("UPLOAD_SPEED " + QByteArray::fromStdString(GetSetting("upload_speed")));
    });
    QObject::connect(messenger, &PeerMessenger::UserShare,
                     [](std::string i_user, FileInfoMap&, AttributeTranslationTable&) {
                         ItemPtr share = ItemPtr(T("user")->HasItem(i_user))["user_share"];
                         const ItemSet folders = share.GetItems("user_share_folder");
                         Print("SHARE " + QByteArray::fromStdString(i_user) + " " +
                               QByteArray::number(qulonglong(folders.size())) + " " +
                               QByteArray::number(qulonglong(folders.GetItems("user_share_file").size())));
                     });
    QObject::connect(messenger, &PeerMessenger::SearchResults, [](ItemPtr i_results) {
        for (Item* result : i_results.GetItems("search_result"))
        {
            ItemPtr r(result);
            Print("RESULT " + QByteArray::fromStdString(i_results["user"].AsString()) + " " +
                  QByteArray::fromStdString(r["file_size"].AsString()) + " " +
                  QByteArray::fromStdString(r["search_result_file_folder"].AsString()) + "\\" +
                  QByteArray::fromStdString(r["search_result_file_name"].AsString()));
        }
    });
#endif
    Print("LISTENING " + QByteArray::number(messenger->ListeningPort()));

    QObject::connect(server, &Server::Connected, [] { Print("LOGGED_IN"); });
    QObject::connect(node, &DNetManager::DNetSearchRequest,
                     [](std::string i_user, unsigned int i_req, std::string i_text) {
                         Print("SEARCH " + QByteArray::fromStdString(i_user) + " " +
                               QByteArray::number(i_req) + " " + QByteArray::fromStdString(i_text));
                     });

    QObject::connect(messenger, &PeerMessenger::QueueUploadRequested, [](std::string i_user, std::string i_file) {
        Print("QUEUE_REQUESTED " + QByteArray::fromStdString(i_user) + " " + QByteArray::fromStdString(i_file));
    });
    QObject::connect(messenger, &PeerMessenger::FileTransferRequested,
                     [](std::string i_user, int i_direction, unsigned int i_req, std::string i_file, qint64 i_size) {
                         Print("TRANSFER_REQUESTED " + QByteArray::fromStdString(i_user) + " " +
                               QByteArray::number(i_direction) + " " + QByteArray::number(i_req) + " " +
                               QByteArray::number(i_size) + " " + QByteArray::fromStdString(i_file));
                     });
    QObject::connect(messenger, &PeerMessenger::FileTransferResponse,
                     [](std::string i_user, unsigned int i_req, bool i_accepted, bool, qint64 i_size, std::string) {
                         Print("TRANSFER_RESPONSE " + QByteArray::fromStdString(i_user) + " " +
                               QByteArray::number(i_req) + " " + QByteArray::number(int(i_accepted)) + " " +
                               QByteArray::number(i_size));
                     });
    QObject::connect(messenger, &PeerMessenger::ConnectionToUserFailed, [](std::string i_user, std::string i_type) {
        Print("FAILED " + QByteArray::fromStdString(i_user) + " " + QByteArray::fromStdString(i_type));
    });

    auto command = [&](const QByteArray& i_line) {
        const QList<QByteArray> words = i_line.split(' ');
        if (words.size() >= 3 && words[0] == "QUEUE")
            messenger->QueueDownload(words[1].toStdString(), i_line.mid(words[0].size() + words[1].size() + 2).toStdString());
        else if (words.size() >= 4 && words[0] == "REQUEST")
        {
            const int skip = int(words[0].size() + words[1].size() + words[2].size() + 3);
            const unsigned int req =
                messenger->RequestUpload(words[1].toStdString(), i_line.mid(skip).toStdString(), words[2].toLongLong());
            Print("REQUESTED " + QByteArray::number(req));
        }
        else if (words.size() == 4 && words[0] == "ACCEPT")
            messenger->AcceptTransferRequest(words[1].toStdString(), words[2].toUInt(), true, words[3].toLongLong());
#ifdef TV_NODE_WITH_SHARES
        else if (words.size() == 2 && words[0] == "BROWSE")
            messenger->GetUserSharedFiles(words[1].toStdString());
        else if (words.size() >= 4 && words[0] == "FOLDER")
        {
            const int skip = int(words[0].size() + words[1].size() + words[2].size() + 3);
            MemStream request = NewMessage(PM_GET_SHARED_FILES_IN_FOLDER);
            request.WriteUInt32(words[2].toUInt());
            request.WriteString(i_line.mid(skip).toStdString());
            messenger->SendMessage(words[1].toStdString(), request);
        }
        else if (words.size() >= 2 && words[0] == "FIND")
            Print("SEARCHING " + QByteArray::number(server->FileSearch(i_line.mid(5).toStdString(), false)));
#endif
    };
    nodemain::CommandLines lines(app, command);

    server->Connect();
    const int rc = app.exec();

#ifdef TV_NODE_WITH_SHARES
    delete shares;
#endif
    delete node;
    delete messenger;
    nodemain::StopServer(server);
    return rc;
}
