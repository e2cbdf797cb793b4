// One headless client with everything a transfer needs, for the tests in
// which two clients move files between them: server connection, peer
// network, shared files and the transfer queue, in its own HOME (so the
// download folder is $HOME/Tavrinel Downloads). Settings come from the
// command line:
//   tv_transfer_node --user NAME --server-port N [--password PW] [--share PATH]
// (--share: a folder shared with everyone before the login).
// It prints to stdout, one line each:
//   LISTENING <plain port>             once the listeners are open
//   LOGGED_IN                          at every login
//   DOWNLOAD <status> <user> <name>    every status a download takes
//   UPLOAD <status> <user> <name>      every status an upload takes
//   UPLOAD_FIRST <user> <name> <offset>  the offset after an upload's first
//                                      chunk, once per upload run
//   SHARED <files>                     after SHARE, the shared file count
//   LOG <text>                         every "Transfer Queue" log line
// and every "Transfer Queue" log line to stderr. Lines on its standard
// input drive it:
//   SHARE <path>                       shares the folder with everyone
//   GET <user> <size> <level> <file>   adds a download of the user's file
//                                      ("\"-separated remote path), keeping
//                                      <level> + 1 remote subfolders
//   SLOTS <n>                          sets the upload slots
//   LIMIT <KiB/s>                      sets the upload speed limit; 0 is
//                                      none, anything else switches it on
// It ends when its standard input closes.

#include "DataSaver.h"
#include "peers/NodeMain.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "LiveAddresses.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <functional>
#include <set>

namespace
{
using nodemain::Print;

// Prints the status changes of downloads and uploads.
class StatusPrinter : public DataHandler
{
public:
    // Called when an upload leaves the active statuses.
    void OnUploadEnded(std::function<void(Item*)> i_f) { m_uploadEnded = std::move(i_f); }

    StatusPrinter()
    {
        AddPairHandler(T("download_entry"), T("download_entry_status"), this, &StatusPrinter::OnDownloadStatus);
        AddPairHandler(T("upload_entry"), T("upload_entry_status"), this, &StatusPrinter::OnUploadStatus);
    }

private:
    static ItemPtr Entry(ConnectionInfo& i_info, const char* ip_type)
    {
        return i_info.from->GetType() == T(ip_type) ? i_info.from : i_info.to;
    }
    static ItemPtr Status(ConnectionInfo& i_info, const char* ip_type)
    {
        return i_info.from->GetType() == T(ip_type) ? i_info.to : i_info.from;
    }
    void OnDownloadStatus(ConnectionInfo& i_info)
    {
        ItemPtr download = Entry(i_info, "download_entry");
        Print("DOWNLOAD " + QByteArray::fromStdString(Status(i_info, "download_entry").AsString()) + " " +
              QByteArray::fromStdString(download["user"].AsString()) + " " +
              QByteArray::fromStdString(download["file_name"].AsString()));
    }
    void OnUploadStatus(ConnectionInfo& i_info)
    {
        ItemPtr upload = Entry(i_info, "upload_entry");
        if (!Status(i_info, "upload_entry").IsConnected("is_active") && m_uploadEnded)
            m_uploadEnded(upload.Get());
        Print("UPLOAD " + QByteArray::fromStdString(Status(i_info, "upload_entry").AsString()) + " " +
              QByteArray::fromStdString(upload["user"].AsString()) + " " +
              QByteArray::fromStdString(upload["shared_file"]["shared_file_name"].AsString()));
    }

    std::function<void(Item*)> m_uploadEnded;
};
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    if (!nodemain::ReadOptions(app, parser, true, "tv_transfer_node"))
        return 2;

    SetLogSink([](const QString& i_category, int i_level, const QString& i_text, ItemPtr) {
        if (i_category != QLatin1String("Transfer Queue"))
            return;
        std::fprintf(stderr, "%s\n", FormatLogLine(i_level, i_text).toLocal8Bit().constData());
        Print("LOG " + i_text.toUtf8());
    });

    // The same order as the window's start-up.
    Server* server = nodemain::StartServer();
    auto* messenger = new PeerMessenger;
    auto* shares = new SharedFoldersManager;
    auto* queue = new TransferQueueManager;

    nodemain::SetLoginSettings(parser);
    dataSaver->NotifyDataLoaded();
    shares->Init();
    auto printer = std::make_unique<StatusPrinter>();

    // The first chunk of each upload run shows where it started.
    std::set<Item*> started;
    QObject::connect(queue, &TransferQueueManager::UploadProgressed, [&](ItemPtr i_upload) {
        if (!started.insert(i_upload.Get()).second)
            return;
        const qint64* position = LiveObject<qint64>(i_upload["read_position"]);
        Print("UPLOAD_FIRST " + QByteArray::fromStdString(i_upload["user"].AsString()) + " " +
              QByteArray::fromStdString(i_upload["shared_file"]["shared_file_name"].AsString()) + " " +
              QByteArray::number(position ? *position : -1));
    });
    printer->OnUploadEnded([&](Item* ip_upload) { started.erase(ip_upload); });

    Print("LISTENING " + QByteArray::number(messenger->ListeningPort()));
    QObject::connect(server, &Server::Connected, [] { Print("LOGGED_IN"); });

    auto shareFolder = [](const std::string& i_path) {
        ItemPtr folder = T("shared_folder")->GetItem(i_path);
        folder += T("shared_public")->GetGlobalNullItem();
        Print("SHARED " + QByteArray::number(qulonglong(T("shared_file")->ItemCount())));
    };
    if (parser.isSet("share"))
        shareFolder(QFile::encodeName(parser.value("share")).toStdString());
    auto command = [&](const QByteArray& i_line) {
        const QList<QByteArray> words = i_line.split(' ');
        if (words.size() >= 2 && words[0] == "SHARE")
            shareFolder(i_line.mid(6).toStdString());
        else if (words.size() >= 5 && words[0] == "GET")
        {
            const int skip = int(words[0].size() + words[1].size() + words[2].size() + words[3].size() + 4);
            const std::string path = i_line.mid(skip).toStdString();
            queue->AddDownload(words[1].toStdString(), GetFileName(path), GetFolder(path), words[2].toLongLong(),
                               words[3].toInt());
        }
        else if (words.size() == 2 && words[0] == "SLOTS")
            queue->SetUploadSlots(words[1].toInt());
        else if (words.size() == 2 && words[0] == "LIMIT")
        {
            queue->SetUploadSpeedLimit(words[1].toInt());
            queue->EnableUploadSpeedLimit(words[1].toInt() > 0);
        }
        else
            std::fprintf(stderr, "unknown command: %s\n", i_line.constData());
    };
    nodemain::CommandLines lines(app, command);

    server->Connect();
    const int rc = app.exec();

    printer.reset();
    delete queue;
    delete shares;
    delete messenger;
    nodemain::StopServer(server);
    return rc;
}
