#pragma once
// Common set-up of the transfer-queue tests: the start-up order up to the
// transfer queue (settings types, stopped shared timers, the data saver, the
// server connection, the peer network on free loopback ports, the shared
// files and the queue), a state-file round trip, a login to the scripted
// server, and a scripted peer that holds a "P" connection as another user
// and reads what the queue sends.

#include "common/TestServer.h"
#include "peers/PeerTestSupport.h"

#include "DataSaver.h"
#include "DownloadThread.h"
#include "LiveAddresses.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QPointer>
#include <QTemporaryDir>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// A freed heap object lies poisoned in the sanitizer's quarantine.
#define TV_IS_FREED(p) (__asan_address_is_poisoned(p) != 0)
#else
#define TV_IS_FREED(p) true
#endif

namespace transfertest
{
using namespace peertest;

class QueueFixture
{
public:
    QStringList m_log;

    // Builds everything up to the queue; the state file is not read yet.
    void Build()
    {
        ResetTestEnvironment();
        SetLogSink([this](const QString& i_category, int, const QString& i_text, ItemPtr) {
            if (i_category == QLatin1String("Transfer Queue"))
                m_log << i_text;
        });
        // The window saves the settings.
        dataSaver->AddSavedType("global");
        dataSaver->AddSavedByConnectionType("global_value", "global");
        mp_server = new Server;
        mp_server->CreateData();
        mp_server->SetConnectTimeout(2000);
        mp_messenger = new PeerMessenger;
        mp_shares = new SharedFoldersManager;
        mp_queue = new TransferQueueManager;
    }

    // The load of a first run (no state file), with the listeners on free ports.
    void Start()
    {
        Build();
        Listen();
        dataSaver->NotifyDataLoaded();
    }

    void Listen()
    {
        SetSetting("username", "alice");
        SetSetting("password", "pw");
        SetSetting("listening_port", std::to_string(FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
    }

    // Saves the state, tears everything down, builds it again and loads.
    // i_beforeLoad stands for what later parts of start-up add to the schema.
    // Online, the new client logs in again, as a restarted one does.
    bool RoundTrip(const std::function<void()>& i_beforeLoad = {})
    {
        const QByteArray path = QFile::encodeName(m_dir.filePath("state"));
        dataSaver->Save(path.constData());
        std::unique_ptr<TestServer> online = std::move(mp_ts);
        TearDown();
        Build();
        if (i_beforeLoad)
            i_beforeLoad();
        dataSaver->Load(path.constData());
        mp_ts = std::move(online);
        return !mp_ts || LogIn(*mp_ts);
    }

    // Starts the scripted server and logs in. The server gives 127.0.0.1,
    // where scripted peers connect from, for i_users, logged in or not
    // (port 1: nobody listens there), so the client learns where they are
    // as it does: by asking (see ScriptedPeer::Open).
    bool GoOnline(const QStringList& i_users = {"bob", "carol", "dave"})
    {
        mp_ts = std::make_unique<TestServer>();
        QJsonObject given;
        for (const QString& user : i_users)
            given[user] = QJsonArray{"127.0.0.1", 1};
        return mp_ts->Start() && mp_ts->Set("peer_addresses", given) && LogIn(*mp_ts);
    }

    void TearDown()
    {
        delete mp_queue;
        delete mp_shares;
        delete mp_messenger;
        delete mp_server;
        mp_queue = nullptr;
        mp_shares = nullptr;
        mp_messenger = nullptr;
        mp_server = nullptr;
        mp_ts.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ClearLogSink();
        m_log.clear();
        d->Reset();
    }

    // Logs in to the scripted server as "alice".
    bool LogIn(TestServer& i_ts)
    {
        SetSetting("server_host", "127.0.0.1");
        SetSetting("server_port", std::to_string(i_ts.Port()));
        QSignalSpy connected(mp_server, &Server::Connected);
        mp_server->Connect();
        return QTest::qWaitFor([&] { return connected.count() > 0; }, g_waitMs) && mp_server->IsConnected();
    }

    int Logged(const QString& i_part) const
    {
        int n = 0;
        for (const QString& line : m_log)
            if (line.contains(i_part))
                ++n;
        return n;
    }

    std::unique_ptr<TestServer> mp_ts;  // after GoOnline
    Server* mp_server = nullptr;
    PeerMessenger* mp_messenger = nullptr;
    SharedFoldersManager* mp_shares = nullptr;
    TransferQueueManager* mp_queue = nullptr;
    QTemporaryDir m_dir;
};

inline std::string Status(ItemPtr i_download)
{
    return i_download["download_entry_status"].AsString();
}

inline void SetOnline(const std::string& i_user, bool i_online)
{
    ItemPtr user = T("user")->GetItem(i_user);
    ItemPtr flag = T("is_online")->GetGlobalNullItem();
    if (i_online)
        user += flag;
    else
        user -= flag;
}

// A scripted peer: a raw "P" connection to the client as i_user. Reads the
// messages the client sends it, in order.
class ScriptedPeer
{
public:
    // Logged in, the client first learns where the user is from the server,
    // as before its messages to him: a name alone is only a claim.
    bool Open(PeerMessenger* ip_messenger, const QByteArray& i_user)
    {
        mp_messenger = ip_messenger;
        if (!Locate(i_user))
            return false;
        mp_socket = OpenMessaging(ip_messenger, i_user);
        return mp_socket && Sync();
    }

    // Whether the server gave 127.0.0.1 for the user; true when not logged in.
    static bool Locate(const QByteArray& i_user)
    {
        if (!gp_server || !gp_server->IsConnected())
            return true;
        bool given = false;
        // Connected after the messenger, so it runs once the messenger has the answer.
        auto c = QObject::connect(gp_server, &Server::PeerAddressReceived,
                                  [&](std::string i_name, quint32 i_ip, quint32, quint32) {
                                      given = given || (i_name == i_user.toStdString() && i_ip == 0x7F000001);
                                  });
        gp_server->GetPeerAddress(i_user.toStdString());
        const bool ok = QTest::qWaitFor([&] { return given; }, g_waitMs);
        QObject::disconnect(c);
        return ok;
    }

    // Sends a place-in-line answer for a file nobody asked for and waits
    // until the client has read it: the client now knows this connection,
    // and everything the peer sent before has been handled.
    bool Sync()
    {
        static int marker = 0;
        const QByteArray file = "sync\\" + QByteArray::number(++marker);
        bool seen = false;
        auto c = QObject::connect(mp_messenger, &PeerMessenger::DownloadPlaceInLine,
                                  [&](std::string, std::string i_file, int) { seen = seen || i_file == file.toStdString(); });
        WriteRaw(mp_socket.get(), Frame(PM_UPLOAD_PLACE_IN_LINE, Str(file) + U32(1)));
        const bool ok = QTest::qWaitFor([&] { return seen; }, g_waitMs);
        QObject::disconnect(c);
        return ok;
    }

    void Send(const QByteArray& i_frame) { WriteRaw(mp_socket.get(), i_frame); }

    // The next message (code + fields); empty after i_timeoutMs.
    QByteArray Next(int i_timeoutMs = g_waitMs) { return m_reader.Next(mp_socket.get(), i_timeoutMs); }

    // Every message that arrives within i_quietMs of the previous one.
    QList<QByteArray> Drain(int i_quietMs = 300)
    {
        QList<QByteArray> all;
        for (QByteArray m = Next(i_quietMs); !m.isEmpty(); m = Next(i_quietMs))
            all << m;
        return all;
    }

    QTcpSocket* Socket() const { return mp_socket.get(); }

private:
    PeerMessenger* mp_messenger = nullptr;
    std::unique_ptr<QTcpSocket> mp_socket;
    FrameReader m_reader;
};

// A download as its file connection leaves it: a real thread receiving
// into the partial file from a silent uploader, with every run-time item.
struct RunningDownload
{
    QPointer<DownloadThread> thread;
    QPointer<QTcpSocket> socket;
    std::unique_ptr<QTcpSocket> uploader;
    std::vector<void*> objects;   // position, times, speed, counter

    bool Start(TransferQueueManager* ip_queue, ItemPtr i_download, const QString& i_partialPath)
    {
        QTcpServer listener;
        if (!listener.listen(QHostAddress::LocalHost, 0))
            return false;
        uploader = std::make_unique<QTcpSocket>();
        uploader->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        if (!uploader->waitForConnected(g_waitMs) || !listener.waitForNewConnection(g_waitMs))
            return false;
        QTcpSocket* own = listener.nextPendingConnection();
        own->setParent(nullptr);
        socket = own;

        auto* file = ListLiveUntilDestroyed(new QFile(i_partialPath));
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
        ListLiveUntilDestroyed(own);
        auto* position = NewListed<qint64>(file->size());
        auto* receipt = NewListed<QDateTime>(QDateTime::currentDateTime());
        auto* measured = NewListed<QDateTime>(QDateTime::currentDateTime());
        auto* speed = NewListed<int>(0);
        auto* since = NewListed<qint64>(0);
        objects = {position, receipt, measured, speed, since};

        i_download += T("download_socket")->GetItem(Value(own));
        i_download += T("download_file")->GetItem(Value(file));
        i_download += T("write_position")->GetItem(Value(position));
        ip_queue->SetDownloadEntryStatus(i_download, "downloading");
        i_download += T("last_receipt_time")->GetItem(Value(receipt));
        i_download += T("last_speed_measurement_time")->GetItem(Value(measured));
        i_download += T("bytes_per_second")->GetItem(Value(speed));
        i_download += T("bytes_since_last_receipt")->GetItem(Value(since));

        auto* t = new DownloadThread(own, file, i_download["file_size"].AsInt64(), *position);
        thread = t;
        own->disconnect();
        own->moveToThread(t);
        i_download += T("download_thread")->GetItem(Value(ListLiveUntilDestroyed<TransferThread>(t)));
        QObject::connect(t, &DownloadThread::DownloadError, ip_queue, &TransferQueueManager::OnDownloadError);
        QObject::connect(t, &DownloadThread::DownloadProgress, ip_queue, &TransferQueueManager::OnDownloadProgress);
        QObject::connect(t, &DownloadThread::DownloadComplete, ip_queue, &TransferQueueManager::OnDownloadComplete);
        t->start(QThread::InheritPriority);
        return true;
    }

    // Every run-time object freed.
    bool ObjectsFreed() const
    {
        for (void* object : objects)
            if (!TV_IS_FREED(object))
                return false;
        return true;
    }

    // Every run-time item gone.
    static bool ItemsGone(ItemPtr i_download)
    {
        for (const char* type : {"download_thread", "download_file", "download_socket", "write_position",
                                 "last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
                                 "bytes_since_last_receipt"})
            if (i_download[type])
                return false;
        return true;
    }
};

// A message's code and its first string field.
inline quint32 Code(const QByteArray& i_message) { return ToU32(i_message); }
inline QByteArray FirstString(const QByteArray& i_message, int i_at = 4)
{
    return StrAt(i_message, i_at);
}

} // namespace transfertest
