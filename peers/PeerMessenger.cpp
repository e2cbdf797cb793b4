#include "PeerMessenger.h"

#include "Compression.h"
#include "DataSaver.h"
#include "FileAttributeLinker.h"
#include "Log.h"
#include "PeerConnection.h"
#include "PeerMessageDecoders.h"
#include "PeerProviders.h"
#include "ProtocolCodes.h"
#include "Stream.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "server.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <utility>

PeerMessenger* peerMessenger = nullptr;

namespace
{
const QString LOG_CATEGORY = QStringLiteral("Peer Messenger");

constexpr int CONNECT_TIMEOUT_MS = 20000;
constexpr qint64 FIRST_MESSAGE_LIMIT_MS = 30000;
constexpr qint64 ADDRESS_LIMIT_MS = 30000;
constexpr qint64 PIERCE_LIMIT_MS = 60000;
constexpr qint64 IDLE_LIMIT_MS = 5 * 60 * 1000;
// A share list we asked for that has not begun to come by then is not
// waited for any longer.
constexpr qint64 LIST_ANSWER_LIMIT_MS = 5 * 60 * 1000;
// Keepalive is how a peer that vanished without closing (a router that
// restarted, a machine gone off the network) is noticed: within 60 + 3 x 10 s
// instead of the system's quarter of an hour. "D" connections are never
// closed for idling and the tree sends nothing upward; a silent "P"
// connection may stay open while its user is connected to anew.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 3;
// An offer whose claim is refused is answered as one we do not take, on
// the claimant's own connection: the real user's is not told of it.
const char* const CLAIM_REFUSED_REASON = "Cancelled";

void PeerLog(int i_level, const QString& i_text, ItemPtr i_item = ItemPtr())
{
    Log(LOG_CATEGORY, i_level, i_text, i_item);
}

QString DecoderError(PeerConnection* ip_conn)
{
    return QString::fromLatin1(ip_conn->Decoder().ErrorText().c_str());
}

qint64 MonotonicNow()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

}

// ---------------------------------------------------------------- set-up

PeerMessenger::PeerMessenger()
    : mp_listener(new QTcpServer(this)),
      mp_obfuscatedListener(new QTcpServer(this)),
      m_bounds(m_connections, [this] { return Now(); }),
      m_output(m_connections, this,
               {[this] { return Now(); }, [this](PeerConnection* ip_conn, const QString& i_why) { CloseStuck(ip_conn, i_why); },
                [this](PeerConnection* ip_conn) { ProcessIncoming(ip_conn); }}),
      m_claims([this] { return Now(); },
               [this] {
                   std::set<std::string> users;
                   for (const auto& messaging : m_messaging)
                       users.insert(messaging.first);
                   m_attempts.AddUsers(users);
                   return users;
               },
               [this] { return NewToken(); }, [] { return gp_server == nullptr; }),
      m_nextToken(QRandomGenerator::global()->generate()),
      m_inflateCap(MAX_INFLATED_BODY)
{
    peerMessenger = this;
    CreateTypes();
    mp_claimTimer = new QTimer(this);
    mp_claimTimer->setSingleShot(true);
    connect(mp_claimTimer, &QTimer::timeout, this, &PeerMessenger::ServeClaims);

    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &PeerMessenger::OnServerConnected);
        connect(gp_server, &Server::Disconnected, this, &PeerMessenger::OnServerDisconnected);
        connect(gp_server, &Server::PeerAddressReceived, this, &PeerMessenger::OnPeerAddressReceived);
        connect(gp_server, &Server::PeerConnectionRequested, this,
                &PeerMessenger::OnPeerConnectionRequested);
        connect(gp_server, &Server::PeerConnectionImpossible, this,
                &PeerMessenger::OnPeerConnectionImpossible);
        connect(gp_server, &Server::UserStatusReceived, this, &PeerMessenger::OnUserStatusReceived);
    }
    if (timerManager)
        connect(timerManager->HalfMinuteTimer(), &QTimer::timeout, this,
                &PeerMessenger::OnHalfMinuteTimer);

    connect(mp_listener, &QTcpServer::newConnection, this,
            [this] { OnNewIncoming(mp_listener, false); });
    connect(mp_obfuscatedListener, &QTcpServer::newConnection, this,
            [this] { OnNewIncoming(mp_obfuscatedListener, true); });
    connect(mp_listener, &QTcpServer::acceptError, this,
            [this] { OnAcceptError(mp_listener, "peer"); });
    connect(mp_obfuscatedListener, &QTcpServer::acceptError, this,
            [this] { OnAcceptError(mp_obfuscatedListener, "scrambled peer"); });
}

PeerMessenger::~PeerMessenger()
{
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    // No signal goes out from here on: the connections are children and go
    // with this object.
    for (auto& entry : m_connections)
        entry.second->Close();
    m_connections.clear();
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::CreateTypes()
{
    // The server connection makes these two first; taken as they are.
    Type* user = MakeType("user", true, false, true);
    Type* request = MakeType("search_request", true, false, false);

    // File attributes, shared with the shares and the transfers.
    for (const char* name : {"file_size", "length_seconds", "mpeg_version", "channel_mode",
                             "audio_frequency", "bitrate_mode", "bitrate"})
        MakeType(name, false, false, true);

    // Search replies: one valueless `search_results` per reply, owned by its
    // request, owning one `search_result` per file.
    Type* results = MakeType("search_results", true, true, false);
    Type* result = MakeType("search_result", false, true, false);
    Type* available = MakeType("search_results_user_available", false, false, true);
    Type* speed = MakeType("search_results_user_speed", false, false, true);
    Type* queued = MakeType("search_results_uploads_in_queue", false, false, true);
    MakeType("search_result_file_name", false, false, true);
    MakeType("search_result_file_folder", false, false, true);

    Relate(request, results, One, Many, true);
    Relate(user, results, One, Many, false);
    Relate(results, available, Many, One, false);
    Relate(results, speed, Many, One, false);
    Relate(results, queued, Many, One, false);
    Relate(results, result, One, Many, true);
    for (const char* name : {"search_result_file_name", "search_result_file_folder", "file_size",
                             "bitrate", "bitrate_mode", "length_seconds"})
        Relate(result, T(name), Many, One, false);
}

qint64 PeerMessenger::Now() const
{
    return m_clock ? m_clock() : MonotonicNow();
}

void PeerMessenger::SetClock(std::function<qint64()> i_now)
{
    m_clock = std::move(i_now);
}

void PeerMessenger::SetTokenSource(std::function<quint32()> i_next)
{
    m_tokenSource = std::move(i_next);
}

void PeerMessenger::SetInflateCap(size_t i_cap)
{
    m_inflateCap = i_cap;
}

std::string PeerMessenger::OwnName() const
{
    return GetSetting("username");
}

// ---------------------------------------------------------------- listeners

namespace
{
// The port of a setting; the default, stored, when it has no value; the
// default, logged, when its value is no port.
quint16 PortSetting(const char* ip_key, quint16 i_default)
{
    const std::string text = GetSetting(ip_key);
    if (text.empty())
    {
        SetSetting(ip_key, std::to_string(i_default));
        return i_default;
    }
    bool ok = false;
    const uint port = FromLatin1(text).toUInt(&ok, 10);
    if (!ok || port == 0 || port > 65535)
    {
        PeerLog(1, QString("The setting %1 holds no port (\"%2\"), using %3")
                       .arg(ip_key, FromLatin1(text))
                       .arg(i_default));
        return i_default;
    }
    return quint16(port);
}
}

void PeerMessenger::DataLoaded()
{
    if (Type* key = d->HasType("global"))
    {
        // Only a pending port with a value is applied and its key dropped; a
        // bare key (one that a store subscription created) stays.
        Item* pending = key->HasItem(std::string("new_listening_port"));
        if (pending && pending->IsConnected("global_value"))
        {
            const std::string value = ItemPtr(pending)["global_value"].AsString();
            SetSetting("listening_port", value);
            PeerLog(1, QString("Listening port changed to %1").arg(FromLatin1(value)));
            pending->Remove();
        }
    }

    const quint16 plain = PortSetting("listening_port", DEFAULT_LISTENING_PORT);
    const quint16 scrambled =
        PortSetting("obfuscated_listening_port", DEFAULT_OBFUSCATED_LISTENING_PORT);
    OpenListener(mp_listener, plain, "peer");
    OpenListener(mp_obfuscatedListener, scrambled, "scrambled peer");

    if (gp_server && gp_server->IsConnected())
        SendListenPorts();
}

bool PeerMessenger::OpenListener(QTcpServer* ip_listener, quint16 i_port, const char* ip_what)
{
    if (ip_listener->isListening())
        ip_listener->close();
    if (!ip_listener->listen(QHostAddress::AnyIPv4, i_port))
    {
        PeerLog(1, QString("Cannot listen for %1 connections on port %2: %3")
                       .arg(QLatin1String(ip_what))
                       .arg(i_port)
                       .arg(ip_listener->errorString()));
        return false;
    }
    PeerLog(1, QString("Listening for %1 connections on port %2")
                   .arg(QLatin1String(ip_what))
                   .arg(i_port));
    return true;
}

quint16 PeerMessenger::ListeningPort() const
{
    return mp_listener->isListening() ? mp_listener->serverPort() : 0;
}

quint16 PeerMessenger::ObfuscatedListeningPort() const
{
    return mp_obfuscatedListener->isListening() ? mp_obfuscatedListener->serverPort() : 0;
}

void PeerMessenger::SendListenPorts()
{
    if (gp_server)
        gp_server->SetListenPorts(ListeningPort(), ObfuscatedListeningPort());
}

void PeerMessenger::OnServerConnected()
{
    m_loggedInOnce = true;
    m_claims.NoteLoggedIn();
    SendListenPorts();
    RetryKept();
}

void PeerMessenger::OnServerDisconnected()
{
    // Nothing asked of that connection is answered any more: address
    // requests, relayed requests and proofs are over, and so is every
    // attempt, whole: a direct connect of one would end it after the next
    // login, with what waits for the user.
    m_addressAsked.clear();
    // Every address we asked for was for an ask that ends here; what is
    // still wanted asks again after the login, spread, not all at once.
    if (gp_server)
        gp_server->ForgetPendingAddresses();
    m_attempts.StopRetries();
    for (const std::string& user : m_claims.ProofUsers())
        SettleProof(user, true);
    EndAdmissionWaits(std::string());
    const std::vector<Attempt> ended = m_attempts.EndAll();
    std::vector<std::pair<std::string, std::string>> failed;
    for (const Attempt& attempt : ended)
    {
        if (attempt.directConnection != 0)
            if (PeerConnection* conn = Find(attempt.directConnection))
                CloseConnection(conn, QStringLiteral("the connection to the server ended"), 3);
        // The user may have had our relayed request already: his pierce is
        // taken a while yet, and a file connection fails only after it.
        const bool late = attempt.indirectPending && attempt.type != "D";
        if (late)
            m_attempts.NoteLate(attempt.token, attempt.user, attempt.type, Now(), PeerAttempts::DROP_PIERCE_MS);
        if (late && attempt.type == "F")
            QTimer::singleShot(PeerAttempts::DROP_PIERCE_MS, this, [this, token = attempt.token, user = attempt.user] {
                if (m_attempts.ForgetLate(token))
                    emit ConnectionToUserFailed(user, "F");
            });
        else if (attempt.type != "P" || !ServerComingBack())
            failed.emplace_back(attempt.user, attempt.type);
    }
    if (!ended.empty())
        PeerLog(1, QString("The connection to the server ended: %1 attempt(s) to connect to users end with it; "
                           "what waits for users is tried again after the next login")
                       .arg(ended.size()));
    if (failed.empty())
        return;
    // Reported from the event loop, not from inside the server's signal.
    QTimer::singleShot(0, this, [this, failed] {
        for (const auto& attempt : failed)
        {
            if (attempt.second == "P")
                DiscardKept(attempt.first);
            emit ConnectionToUserFailed(attempt.first, attempt.second);
        }
    });
}

bool PeerMessenger::ServerComingBack() const
{
    return gp_server && !gp_server->IsConnected() && (gp_server->IsAbruptlyDisconnected() || !m_loggedInOnce);
}

bool PeerMessenger::ServerUp() const
{
    return gp_server && gp_server->IsConnected();
}

void PeerMessenger::RetryKept()
{
    size_t dropped = 0;
    const size_t users = m_attempts.PlanRetry(Now(), dropped);
    if (dropped > 0)
        PeerLog(1, QString("Dropping %1 answer(s) to searches kept while the server was away: the searchers "
                           "have moved on")
                       .arg(dropped));
    if (users > 0)
        PeerLog(2, QString("Trying again to reach %1 user(s) messages wait for").arg(users));
    RetryNextBatch();
}

void PeerMessenger::RetryNextBatch()
{
    m_retryPosted = false;
    if (!ServerUp())
    {
        m_attempts.StopRetries();
        return;
    }
    for (const std::string& user : m_attempts.NextRetries(PeerAttempts::RETRY_BATCH))
    {
        if (!m_attempts.HasKept(user) || PendingAttempt(user, "P"))
            continue;
        if (PeerConnection* conn = LatestMessagingConnection(user))
            FlushUnsent(user, conn);
        else if (m_attempts.OnlyAnswersKept(user) && m_claims.CalledOffline(user))
            DiscardKept(user);
        else
            StartAttempt(user, "P");
    }
    // The rest in later turns: the window and the server come first.
    if (m_attempts.RetriesWaiting() && !m_retryPosted)
    {
        m_retryPosted = true;
        QTimer::singleShot(PeerAttempts::RETRY_INTERVAL_MS, this, [this] { RetryNextBatch(); });
    }
}

// ---------------------------------------------------------------- connections

PeerConnection* PeerMessenger::NewConnection(QTcpSocket* ip_socket, bool i_scrambled)
{
    const quint64 id = m_nextId++;
    auto* conn = new PeerConnection(id, ip_socket, i_scrambled, Now());
    conn->setParent(this);
    m_connections[id] = conn;
    connect(ip_socket, &QTcpSocket::connected, conn, [this, id] { OnSocketConnected(id); });
    connect(ip_socket, &QTcpSocket::readyRead, conn, [this, id] { OnSocketReadyRead(id); });
    connect(ip_socket, &QTcpSocket::bytesWritten, conn, [this, id] { OnSocketWritten(id); });
    connect(ip_socket, &QTcpSocket::disconnected, conn, [this, id] { OnSocketLost(id); });
    connect(ip_socket, &QTcpSocket::errorOccurred, conn, [this, id] { OnSocketLost(id); });
    return conn;
}

PeerConnection* PeerMessenger::Find(quint64 i_id) const
{
    auto it = m_connections.find(i_id);
    return it == m_connections.end() ? nullptr : it->second;
}

void PeerMessenger::OnNewIncoming(QTcpServer* ip_listener, bool i_scrambled)
{
    m_listenerStates[ip_listener] = ListenerState{false, true};
    while (QTcpSocket* socket = ip_listener->nextPendingConnection())
    {
        const quint32 address = socket->peerAddress().toIPv4Address();
        MakeRoomForIncoming(address);
        PeerConnection* conn = NewConnection(socket, i_scrambled);
        conn->SetStage(PeerConnection::Stage::AwaitingFirstFrame);
        conn->m_incoming = true;
        conn->m_address = address;
        PeerLog(2, QString("Incoming %1connection %2 from %3:%4")
                       .arg(i_scrambled ? "scrambled " : "")
                       .arg(conn->Id())
                       .arg(socket->peerAddress().toString())
                       .arg(socket->peerPort()));
        if (socket->bytesAvailable() > 0)
            ProcessIncoming(conn);
    }
}

void PeerMessenger::MakeRoomForIncoming(quint32 i_address)
{
    QString why;
    while (PeerConnection* conn = m_bounds.ToCloseForIncoming(i_address, why))
        CloseConnection(conn, why);
}

void PeerMessenger::OnAcceptError(QTcpServer* ip_listener, const char* ip_what)
{
    // Qt stops accepting after a failed accept (out of descriptors, most
    // likely); connections would queue at the port for good. It also keeps
    // a listener's first error and reports it again at the end of every
    // later round of accepts: after a round that accepted, that is no news.
    ListenerState& state = m_listenerStates[ip_listener];
    const bool stale = state.accepted;
    state.accepted = false;
    if (!stale && !state.failing)
    {
        state.failing = true;
        PeerLog(1, QString("Cannot accept %1 connections (%2); trying again every %3 ms")
                       .arg(QLatin1String(ip_what), ip_listener->errorString())
                       .arg(ACCEPT_RETRY_MS));
    }
    QTimer::singleShot(stale ? 0 : ACCEPT_RETRY_MS, ip_listener, [ip_listener] {
        if (ip_listener->isListening())
            ip_listener->resumeAccepting();
    });
}

void PeerMessenger::ConnectOut(PeerConnection* ip_conn, quint32 i_ip, quint32 i_port)
{
    const quint64 id = ip_conn->Id();
    ip_conn->SetStage(PeerConnection::Stage::Connecting);
    ip_conn->StartConnectTimer(CONNECT_TIMEOUT_MS);
    connect(ip_conn->ConnectTimer(), &QTimer::timeout, this, [this, id] {
        if (PeerConnection* conn = Find(id))
            OnConnectFailed(conn, QStringLiteral("no answer within 20 seconds"));
    });
    const bool relayed = ip_conn->m_pierceToken != 0;
    if (!MayConnect(relayed))
    {
        // Every connect holds a descriptor until it ends: anyone may have
        // the server relay requests to an address that never answers.
        const auto waiting = std::count_if(m_waitingConnects.begin(), m_waitingConnects.end(),
                                           [relayed](const WaitingConnect& i_w) { return i_w.relayed == relayed; });
        if (size_t(waiting) < PeerBounds::MAX_WAITING_CONNECTS)
        {
            m_waitingConnects.push_back(WaitingConnect{id, i_ip, i_port, relayed});
            return;
        }
        if (!m_connectLimitLogged)
        {
            m_connectLimitLogged = true;
            PeerLog(1, QString("%1 connections are being made and %2 wait: refusing more until some end")
                           .arg(m_connecting.size())
                           .arg(m_waitingConnects.size()));
        }
        if (ip_conn->m_pierceToken != 0 && gp_server)
            gp_server->SendCannotConnect(ip_conn->m_pierceToken, ip_conn->m_user);
        ip_conn->m_pierceToken = 0;
        ip_conn->Close();
        Forget(ip_conn);
        return;
    }
    BeginConnect(ip_conn, i_ip, i_port, relayed);
}

bool PeerMessenger::MayConnect(bool i_relayed) const
{
    return m_connecting.size() < PeerBounds::MAX_CONNECTING && (!i_relayed || m_relayedConnecting.size() < PeerBounds::MAX_RELAYED_CONNECTING);
}

void PeerMessenger::BeginConnect(PeerConnection* ip_conn, quint32 i_ip, quint32 i_port, bool i_relayed)
{
    m_connecting.insert(ip_conn->Id());
    if (i_relayed)
        m_relayedConnecting.insert(ip_conn->Id());
    // May fail at once, in which case the connection is gone on return.
    ip_conn->Socket()->connectToHost(QHostAddress(i_ip), quint16(i_port));
}

bool PeerMessenger::EndConnect(quint64 i_id)
{
    m_relayedConnecting.erase(i_id);
    return m_connecting.erase(i_id) > 0;
}

void PeerMessenger::StartWaitingConnects()
{
    m_waitingStartPosted = false;
    for (;;)
    {
        // A connect that fails at once takes its connection off the list.
        const auto next = std::find_if(m_waitingConnects.begin(), m_waitingConnects.end(),
                                       [this](const WaitingConnect& i_w) { return MayConnect(i_w.relayed); });
        if (next == m_waitingConnects.end())
            break;
        const WaitingConnect waiting = *next;
        m_waitingConnects.erase(next);
        PeerConnection* conn = Find(waiting.connection);
        if (conn && conn->GetStage() == PeerConnection::Stage::Connecting)
            BeginConnect(conn, waiting.ip, waiting.port, waiting.relayed);
    }
    if (m_waitingConnects.empty())
        m_connectLimitLogged = false;
}

void PeerMessenger::OnSocketConnected(quint64 i_id)
{
    PeerConnection* conn = Find(i_id);
    if (!conn || conn->GetStage() != PeerConnection::Stage::Connecting)
        return;
    conn->StartConnectTimer(0);
    conn->m_lastActivityMs = Now();
    if (EndConnect(i_id) && !m_waitingConnects.empty() && !m_waitingStartPosted)
    {
        m_waitingStartPosted = true;
        QTimer::singleShot(0, this, [this] { StartWaitingConnects(); });
    }

    if (conn->m_pierceToken != 0)
    {
        // Our answer to a relayed request: the other side asked.
        MemStream m = NewMessage(PM_PIERCE_FIREWALL);
        m.WriteUInt32(conn->m_pierceToken);
        conn->Send(m.Data(), m.Size());
        conn->m_pierceToken = 0;
        PeerLog(2, QString("Connected to user %1 at their request (type %2)")
                       .arg(FromName(conn->m_user), FromLatin1(conn->m_type)));
        BecomeEstablished(conn);
        return;
    }

    Attempt* attempt = FindAttempt(conn->m_attemptId);
    if (!attempt || attempt->directConnection != i_id)
    {
        CloseConnection(conn, QStringLiteral("no longer wanted"));
        return;
    }
    MemStream m = NewMessage(PM_PEER_INIT);
    m.WriteString(OwnName());
    m.WriteString(conn->m_type);
    m.WriteUInt32(0);
    conn->Send(m.Data(), m.Size());
    PeerLog(2, QString("Connected to user %1 directly (type %2)")
                   .arg(FromName(conn->m_user), FromLatin1(conn->m_type)));
    FinishAttempt(attempt->id, i_id);
    BecomeEstablished(conn);
}

void PeerMessenger::OnSocketReadyRead(quint64 i_id)
{
    if (PeerConnection* conn = Find(i_id))
        ProcessIncoming(conn);
}

void PeerMessenger::OnSocketWritten(quint64 i_id)
{
    PeerConnection* conn = Find(i_id);
    if (!conn)
        return;
    // Output going out keeps it from counting as idle, as input does.
    conn->m_lastActivityMs = Now();
    conn->Pump();
    m_output.Written(conn);
}

void PeerMessenger::OnSocketLost(quint64 i_id)
{
    PeerConnection* conn = Find(i_id);
    if (!conn || conn->IsClosed() || conn->m_lost)
        return;
    if (conn->GetStage() == PeerConnection::Stage::Connecting)
    {
        OnConnectFailed(conn, conn->Socket()->errorString());
        return;
    }
    // What arrived before the end still counts, read in turns like the
    // rest; the connection closes after the last of it.
    conn->m_lost = true;
    if (conn->Socket()->bytesAvailable() > 0)
        ProcessIncoming(conn);
    if ((conn = Find(i_id)) && !conn->m_turnPending)
        CloseConnection(conn, QStringLiteral("closed by the other side"));
}

void PeerMessenger::OnConnectFailed(PeerConnection* ip_conn, const QString& i_why)
{
    if (ip_conn->m_pierceToken != 0)
    {
        PeerLog(1, QString("Cannot connect to user %1, who asked for a connection of type %2 (%3); "
                           "telling the server")
                       .arg(FromName(ip_conn->m_user), FromLatin1(ip_conn->m_type), i_why));
        if (gp_server)
            gp_server->SendCannotConnect(ip_conn->m_pierceToken, ip_conn->m_user);
        ip_conn->m_pierceToken = 0;
    }
    CloseConnection(ip_conn, QString("cannot connect: %1").arg(i_why));
}

void PeerMessenger::CloseConnection(PeerConnection* ip_conn, const QString& i_why, int i_level)
{
    if (!m_connections.count(ip_conn->Id()))
        return;
    QString who;
    if (!ip_conn->m_user.empty())
        who += " to user " + FromName(ip_conn->m_user);
    if (!ip_conn->m_type.empty())
        who += " (type " + FromLatin1(ip_conn->m_type) + ")";
    PeerLog(i_level, QString("Closing connection %1%2: %3").arg(ip_conn->Id()).arg(who, i_why));
    ip_conn->Close();
    Forget(ip_conn);
}

void PeerMessenger::Forget(PeerConnection* ip_conn)
{
    const quint64 id = ip_conn->Id();
    if (!m_connections.erase(id))
        return;
    m_bounds.Forget(ip_conn);
    m_output.Forget(ip_conn);
    m_claims.NoteClosed(id);
    m_waitingConnects.erase(std::remove_if(m_waitingConnects.begin(), m_waitingConnects.end(),
                                           [id](const WaitingConnect& i_w) { return i_w.connection == id; }),
                            m_waitingConnects.end());
    if (EndConnect(id) && !m_waitingConnects.empty() && !m_waitingStartPosted)
    {
        // Not from here: a connect that fails at once would come back.
        m_waitingStartPosted = true;
        QTimer::singleShot(0, this, [this] { StartWaitingConnects(); });
    }
    const std::string user = ip_conn->m_user;
    auto messaging = m_messaging.find(user);
    if (messaging != m_messaging.end())
    {
        auto& ids = messaging->second;
        ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
        if (ids.empty())
            m_messaging.erase(messaging);
    }
    ip_conn->deleteLater();

    // The direct leg of an attempt is out.
    if (Attempt* attempt = FindAttempt(ip_conn->m_attemptId))
    {
        if (attempt->directConnection == id)
        {
            attempt->directConnection = 0;
            attempt->direct = Attempt::Direct::Failed;
            ScheduleCheck(attempt->id);
        }
    }
    if (ip_conn->m_announced)
        emit DistributedConnectionClosed(id, user);
}

void PeerMessenger::Malformed(PeerConnection* ip_conn, quint32 i_code)
{
    PeerLog(1, QString("Malformed message with code %1 from user %2, closing the connection")
                   .arg(i_code)
                   .arg(FromName(ip_conn->m_user)));
    CloseConnection(ip_conn, QString("malformed message (code %1)").arg(i_code));
}

void PeerMessenger::ProcessIncoming(PeerConnection* ip_conn)
{
    // A receiver of our signals may spin an event loop; the frame being
    // handled lives in the decoder, which must not be fed meanwhile.
    if (ip_conn->m_busy)
    {
        ip_conn->m_readAgain = true;
        return;
    }
    ip_conn->m_busy = true;
    do
    {
        ip_conn->m_readAgain = false;
        switch (ip_conn->GetStage())
        {
        case PeerConnection::Stage::AwaitingFirstFrame:
        {
            if (ip_conn->Read() < 0)
            {
                CloseConnection(ip_conn, QStringLiteral("read error"));
                break;
            }
            CountHeld(ip_conn);
            if (ip_conn->IsClosed())
                break;
            FrameView frame;
            const FrameDecoder::Status status = ip_conn->Decoder().Next(frame);
            if (status == FrameDecoder::Error)
                CloseConnection(ip_conn, "bad first frame: " + DecoderError(ip_conn), 1);
            else if (status == FrameDecoder::Ready)
                HandleFirstFrame(ip_conn, frame.mp_data, frame.m_size);
            break;
        }
        case PeerConnection::Stage::AwaitingRequestNumber:
            ReadRequestNumber(ip_conn);
            break;
        case PeerConnection::Stage::Open:
        {
            FrameView frame;
            for (int handled = 0;; ++handled)
            {
                if (handled == FRAMES_PER_TURN)
                {
                    // The other connections and the server come first.
                    ScheduleTurn(ip_conn);
                    break;
                }
                const qint64 got = ip_conn->Read();
                if (got < 0)
                {
                    CloseConnection(ip_conn, QStringLiteral("read error"));
                    break;
                }
                // Bytes coming in count, not only whole frames: a large one
                // on a slow link completes none for a long time.
                if (got > 0)
                {
                    ip_conn->m_lastActivityMs = ip_conn->m_lastReceivedMs = Now();
                    m_claims.NoteHeard(ip_conn->Id());
                }
                CountHeld(ip_conn);
                if (ip_conn->IsClosed())
                    break;
                const FrameDecoder::Status status = ip_conn->Decoder().Peek(frame);
                if (status == FrameDecoder::NeedMore)
                    break;
                if (status == FrameDecoder::Error)
                {
                    CloseConnection(ip_conn, "bad frame: " + DecoderError(ip_conn), 1);
                    break;
                }
                const quint32 code = qFromLittleEndian<quint32>(frame.mp_data);
                // An offer of a file is the user's only from where the user
                // is: from elsewhere it waits for a proof, or goes.
                if (code == PM_TRANSFER_REQUEST && ip_conn->m_type == "P" && !ReachesUser(ip_conn))
                {
                    const bool expected = gp_transferExpectations && gp_transferExpectations->ExpectsTransferWith(ip_conn->m_user);
                    bool tell = false;
                    if (Claim(ip_conn, expected, QStringLiteral("an offer of a file"), &tell))
                        break;
                    // A claim the budget had no room for is told so on its own
                    // connection, once the answer has room there; one shown
                    // false is told nothing.
                    if (tell &&
                        !m_output.MayRead(ip_conn, [&] { return AnswerSize(ip_conn, frame.mp_data, frame.m_size); }))
                        break;
                    ip_conn->Decoder().Next(frame);
                    PeerLog(1, QString("%1 an offer of a file from connection %2, which claims user %3 from an "
                                       "address not known to be the user's")
                                   .arg(tell ? "Refusing" : "Dropping")
                                   .arg(ip_conn->Id())
                                   .arg(FromName(ip_conn->m_user)));
                    PeerDecoders::TransferRequest offer;
                    if (tell && PeerDecoders::DecodeTransferRequest(frame.mp_data + 4, frame.m_size - 4, offer))
                    {
                        MemStream denial = NewMessage(PM_TRANSFER_RESPONSE);
                        denial.WriteUInt32(offer.m_req);
                        denial.WriteByte(0);
                        denial.WriteString(CLAIM_REFUSED_REASON);
                        Reply(ip_conn, denial);
                    }
                    if (ip_conn->IsClosed())
                        break;
                    continue;
                }
                // What the user is shown is his only where he is: a request
                // of a name claimed from elsewhere waits for a proof.
                if (AwaitsAsker(ip_conn, code))
                    break;
                // A request is read only when its answer has room: until
                // then it waits, and what the peer sent after it too.
                if (ip_conn->m_type == "P" && PeerOutput::IsRequest(code) &&
                    !m_output.MayRead(ip_conn, [&] { return AnswerSize(ip_conn, frame.mp_data, frame.m_size); }))
                    break;
                ip_conn->Decoder().Next(frame);
                ip_conn->m_lastActivityMs = Now();
                if (code == PM_PEER_INIT || code == PM_PIERCE_FIREWALL)
                {
                    PeerLog(1, QString("User %1 sent a first message (code %2) on an open "
                                       "connection, closing it")
                                   .arg(FromName(ip_conn->m_user))
                                   .arg(code));
                    CloseConnection(ip_conn, QStringLiteral("first message out of place"));
                    break;
                }
                if (ip_conn->m_type == "D")
                    emit DistributedMessage(ip_conn->Id(), ip_conn->m_user,
                                            QByteArray(frame.mp_data, frame.m_size));
                else
                    HandleMessage(ip_conn, frame.mp_data, frame.m_size);
                if (ip_conn->IsClosed())
                    break;
            }
            break;
        }
        case PeerConnection::Stage::Connecting:
        case PeerConnection::Stage::Closed:
            break;
        }
    } while (ip_conn->m_readAgain && !ip_conn->IsClosed());
    ip_conn->m_busy = false;
}

void PeerMessenger::ScheduleTurn(PeerConnection* ip_conn)
{
    if (ip_conn->m_turnPending)
        return;
    ip_conn->m_turnPending = true;
    const quint64 id = ip_conn->Id();
    QTimer::singleShot(0, ip_conn, [this, id] { TakeTurn(id); });
}

void PeerMessenger::TakeTurn(quint64 i_id)
{
    PeerConnection* conn = Find(i_id);
    if (!conn)
        return;
    conn->m_turnPending = false;
    ProcessIncoming(conn);
    if ((conn = Find(i_id)) && conn->m_lost && !conn->m_turnPending)
        CloseConnection(conn, QStringLiteral("closed by the other side"));
}

void PeerMessenger::HandleFirstFrame(PeerConnection* ip_conn, const char* ip_frame, quint32 i_size)
{
    // The decoder hands out only frames of at least the code's 4 bytes.
    const quint32 code = qFromLittleEndian<quint32>(ip_frame);
    const char* body = ip_frame + 4;
    const size_t bodySize = i_size - 4;
    if (code == PM_PEER_INIT)
    {
        PeerDecoders::PeerInit init;
        if (!PeerDecoders::DecodePeerInit(body, bodySize, init))
        {
            CloseConnection(ip_conn, QStringLiteral("malformed first message"), 1);
            return;
        }
        const std::string& user = init.m_user;
        const std::string& type = init.m_type;
        ip_conn->m_user = user;
        ip_conn->m_type = type;
        ip_conn->m_weAsked = false;
        PeerLog(2, QString("User %1 opened a connection of type %2").arg(FromName(user), FromLatin1(type)));
        BecomeEstablished(ip_conn);
        return;
    }
    if (code == PM_PIERCE_FIREWALL)
    {
        quint32 token = 0;
        if (!PeerDecoders::DecodePierceFirewall(body, bodySize, token))
        {
            CloseConnection(ip_conn, QStringLiteral("malformed first message"), 1);
            return;
        }
        const std::string proved = m_claims.ProofUser(token);
        if (!proved.empty())
        {
            const quint32 from = ip_conn->m_address;
            ip_conn->m_user = proved;
            ip_conn->m_type = "P";
            ip_conn->m_weAsked = true;
            PeerLog(2, QString("User %1 connected to us through the server from %2")
                           .arg(FromName(proved), QHostAddress(from).toString()));
            BecomeEstablished(ip_conn);
            SettleProof(proved, true, from);
            return;
        }
        Attempt* attempt = m_attempts.ByToken(token);
        if (!attempt)
        {
            const PeerAttempts::Late late = m_attempts.TakeLate(token, Now());
            if (late.user.empty())
            {
                CloseConnection(ip_conn, QString("answer to no request of ours (token %1)").arg(token));
                return;
            }
            ip_conn->m_user = late.user;
            ip_conn->m_type = late.type;
            ip_conn->m_weAsked = true;
            PeerLog(2, QString("User %1 answered our request through the server after the attempt ended (type %2)")
                           .arg(FromName(ip_conn->m_user), FromLatin1(late.type)));
            BecomeEstablished(ip_conn);
            return;
        }
        ip_conn->m_user = attempt->user;
        ip_conn->m_type = attempt->type;
        ip_conn->m_weAsked = true;
        PeerLog(2, QString("User %1 connected to us through the server (type %2)")
                       .arg(FromName(attempt->user), FromLatin1(attempt->type)));
        FinishAttempt(attempt->id, ip_conn->Id());
        BecomeEstablished(ip_conn);
        return;
    }
    CloseConnection(ip_conn, QString("first message has code %1").arg(code), 1);
}

void PeerMessenger::BecomeEstablished(PeerConnection* ip_conn)
{
    ip_conn->m_lastActivityMs = Now();
    const std::string user = ip_conn->m_user;
    // The token of our request came through the server: this is where the
    // user is, and what waits to learn it may go on.
    if (ip_conn->m_incoming && ip_conn->m_weAsked)
    {
        m_claims.NoteProved(ip_conn);
        SettleProof(user, false);
    }
    QString why;
    // At a full address, the server may say the newcomer is where it claims.
    const bool mayWait = ServerUp() && !m_claims.Knows(user) && !m_claims.CalledOffline(user);
    if (PeerConnection* other = m_bounds.ToCloseForIdentified(
            ip_conn, [this](const PeerConnection* i_c) { return ReachesUser(i_c); }, mayWait, why))
    {
        CloseConnection(other, why);
        if (other == ip_conn)
            return;
    }
    else if (m_bounds.AwaitsAdmission(ip_conn->Id()))
    {
        PeerLog(2, QString("Connection %1: %2").arg(ip_conn->Id()).arg(why));
        AskAddress(user);
    }
    // A file connection's socket keeps it when it is handed over.
    if (!ip_conn->KeepAlive(KEEPALIVE_IDLE_S, KEEPALIVE_INTERVAL_S, KEEPALIVE_PROBES))
        PeerLog(1, QString("Cannot set keepalive on connection %1 to user %2: a vanished peer goes unnoticed")
                       .arg(ip_conn->Id())
                       .arg(FromName(user)));
    if (ip_conn->m_type == "P" || ip_conn->m_type == "D")
        ip_conn->BoundSystemBuffer();
    if (ip_conn->m_type == "P")
    {
        ip_conn->SetStage(PeerConnection::Stage::Open);
        ip_conn->SetFrameLimit(MAX_PEER_FRAME);
        const quint64 id = ip_conn->Id();
        ip_conn->Decoder().SetCodeLimit([this, id](quint32 i_code) { return PeerFrameLimit(id, i_code); });
        m_messaging[user].push_back(ip_conn->Id());
        // Whichever way a messaging connection to the user came, our own
        // attempt has what it wanted; one that only claims the name does not.
        if (ReachesUser(ip_conn))
        {
            m_claims.NoteAlive(user);
            if (Attempt* attempt = PendingAttempt(user, "P"))
                FinishAttempt(attempt->id, ip_conn->Id());
            FlushUnsent(user, ip_conn);
        }
    }
    else if (ip_conn->m_type == "D")
    {
        ip_conn->SetStage(PeerConnection::Stage::Open);
        ip_conn->SetFrameLimit(MAX_DISTRIBUTED_FRAME);
        ip_conn->m_announced = true;
        emit DistributedConnectionOpened(ip_conn->Id(), user, ip_conn->m_weAsked);
    }
    else if (ip_conn->m_weAsked)
    {
        HandOverFileConnection(ip_conn);
        return;
    }
    else
    {
        // Its request number says what it claims to carry.
        ip_conn->SetStage(PeerConnection::Stage::AwaitingRequestNumber);
    }
    if (!ip_conn->IsClosed())
        ProcessIncoming(ip_conn);
}

void PeerMessenger::ReadRequestNumber(PeerConnection* ip_conn)
{
    QTcpSocket* socket = ip_conn->Socket();
    if (!ip_conn->m_fileRequestRead)
    {
        if (socket->bytesAvailable() < 4)
            return;
        char bytes[4];
        if (socket->read(bytes, 4) != 4)
        {
            CloseConnection(ip_conn, QStringLiteral("read error"));
            return;
        }
        ip_conn->m_fileRequestRead = true;
        ip_conn->m_fileRequest = qFromLittleEndian<quint32>(bytes);
        // A transfer of the user's is not handed to whoever claims the name.
        QString why;
        const bool expected =
            gp_transferExpectations && gp_transferExpectations->ExpectsTransferWith(ip_conn->m_user);
        switch (m_claims.ForFile(ip_conn, ip_conn->m_fileRequest, ServerUp(), expected, why))
        {
        case PeerClaims::File::Carry:
            break;
        case PeerClaims::File::Prove:
            if (Claim(ip_conn, true, QStringLiteral("a file connection")))
                return;
            CloseConnection(ip_conn, QStringLiteral("a file connection from an address not known to be the user's"), 1);
            return;
        case PeerClaims::File::Refuse:
            CloseConnection(ip_conn, "a file connection from an address not known to be the user's: " + why, 1);
            return;
        }
    }
    else if (m_claims.AwaitsProof(ip_conn->Id()))
    {
        return;
    }
    HandFileOnward(ip_conn);
}

void PeerMessenger::HandFileOnward(PeerConnection* ip_conn)
{
    const quint32 req = ip_conn->m_fileRequest;
    const std::string user = ip_conn->m_user;
    QTcpSocket* socket = ip_conn->ReleaseSocket();
    Forget(ip_conn);
    PeerLog(2, QString("File connection from user %1 for request %2 handed over").arg(FromName(user)).arg(req));
    if (!isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::FileConnectionRequested)))
    {
        PeerLog(1, QString("Nobody takes the file connection of user %1, closing it").arg(FromName(user)));
        socket->abort();
        socket->deleteLater();
        return;
    }
    emit FileConnectionRequested(user, socket, req);
}

void PeerMessenger::HandOverFileConnection(PeerConnection* ip_conn)
{
    const std::string user = ip_conn->m_user;
    QTcpSocket* socket = ip_conn->Socket();
    socket->flush();
    socket = ip_conn->ReleaseSocket();
    Forget(ip_conn);
    PeerLog(2, QString("File connection to user %1 handed over").arg(FromName(user)));
    if (!isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
    {
        PeerLog(1, QString("Nobody takes the file connection to user %1, closing it").arg(FromName(user)));
        socket->abort();
        socket->deleteLater();
        return;
    }
    emit FileConnectionAccepted(user, socket);
}

PeerConnection* PeerMessenger::LatestMessagingConnection(const std::string& i_user, bool i_reaching) const
{
    auto it = m_messaging.find(i_user);
    if (it == m_messaging.end())
        return nullptr;
    // One whose other side has gone is only being read to its end; one
    // that has been silent too long may be a router's dead end.
    for (auto id = it->second.rbegin(); id != it->second.rend(); ++id)
        if (PeerConnection* conn = Find(*id);
            conn && !conn->m_lost && (!i_reaching || (ReachesUser(conn) && m_claims.Heard(conn))))
            return conn;
    return nullptr;
}

bool PeerMessenger::AwaitsAsker(PeerConnection* ip_conn, quint32 i_code)
{
    if (ip_conn->m_type != "P" ||
        (i_code != PM_GET_SHARED_FILE_LIST && i_code != PM_GET_SHARED_FILES_IN_FOLDER && i_code != PM_QUEUE_UPLOAD) ||
        ReachesUser(ip_conn) || !gp_shareListProvider || !gp_shareListProvider->ShowsMoreThanToStrangers(ip_conn->m_user))
        return false;
    // Refused: answered as a stranger is.
    return Claim(ip_conn, true, QStringLiteral("a request for our shares"));
}

bool PeerMessenger::TakesNotice(PeerConnection* ip_conn, bool i_reached, quint32 i_code)
{
    if (i_reached)
        return true;
    PeerLog(1, QString("Ignoring message %1 from connection %2, which claims user %3 from an address not known to "
                       "be the user's: it speaks of transfers of his")
                   .arg(i_code)
                   .arg(ip_conn->Id())
                   .arg(FromName(ip_conn->m_user)));
    return false;
}

bool PeerMessenger::Claim(PeerConnection* ip_conn, bool i_expected, const QString& i_what, bool* o_tell)
{
    QString why;
    const std::string user = ip_conn->m_user;
    const bool addressUnknown = !m_claims.Knows(user) && !m_claims.CalledOffline(user);
    // The user talks to us from where he is known to be: a claim from
    // elsewhere is not his, and asking him to connect once more for each
    // claimant would make him pay for them.
    const PeerConnection* own = LatestMessagingConnection(user, true);
    const bool talking =
        own && own != ip_conn && Now() - std::max(own->m_lastReceivedMs, own->m_createdMs) < PeerClaims::DISPROOF_MS;
    if (talking)
        why = QStringLiteral("the user talks to us from where he is known to be");
    else
        switch (m_claims.Prove(ip_conn, i_expected, ServerUp(), addressUnknown, why))
    {
    case PeerClaims::Step::AwaitAddress:
        PeerLog(2, QString("Connection %1 claims user %2 from %3, for %4: waiting for the server to say where the "
                           "user is")
                       .arg(ip_conn->Id())
                       .arg(FromName(user), QHostAddress(ip_conn->m_address).toString(), i_what));
        AskAddress(user);
        mp_claimTimer->start(0);
        return true;
    case PeerClaims::Step::Joined:
        mp_claimTimer->start(0);
        return true;
    case PeerClaims::Step::NoRoom:
        if (o_tell)
            *o_tell = true;
        break;
    case PeerClaims::Step::Refused:
        break;
    }
    PeerLog(2, QString("Not proving the claim of connection %1 to user %2 from %3 (%4): %5")
                   .arg(ip_conn->Id())
                   .arg(FromName(user), QHostAddress(ip_conn->m_address).toString(), i_what, why));
    return false;
}

void PeerMessenger::ServeClaims()
{
    for (const std::string& user : m_claims.Expire())
        SettleProof(user, true);
    std::string user;
    quint32 token = 0;
    while (ServerUp() && m_claims.NextProof(user, token))
    {
        PeerLog(2, QString("A connection claims user %1 from an address not known to be the user's: asking the "
                           "user through the server to connect")
                       .arg(FromName(user)));
        gp_server->ConnectToPeer(token, user, "P");
    }
    const qint64 next = m_claims.NextTurnInMs();
    if (next >= 0)
        mp_claimTimer->start(int(next));
}

void PeerMessenger::AskAddress(const std::string& i_user)
{
    if (!ServerUp() || m_addressAsked.count(i_user) || !m_attempts.AwaitingAddress(i_user).empty())
        return;
    m_addressAsked.emplace(i_user, Now());
    gp_server->GetPeerAddress(i_user);
}

void PeerMessenger::EndAdmissionWaits(const std::string& i_user)
{
    const std::set<quint64> waiting = m_bounds.AwaitingAdmission();
    for (quint64 id : waiting)
    {
        PeerConnection* conn = Find(id);
        if (!conn || (!i_user.empty() && conn->m_user != i_user))
            continue;
        m_bounds.EndAdmissionWait(id);
        QString why;
        if (PeerConnection* other = m_bounds.ToCloseForIdentified(
                conn, [this](const PeerConnection* i_c) { return ReachesUser(i_c); }, false, why))
            CloseConnection(other, why);
    }
}

void PeerMessenger::SettleProof(const std::string& i_user, bool i_over, quint32 i_answeredFrom)
{
    for (const PeerClaims::Settled& settled : m_claims.Settle(i_user, i_over, ServerUp(), i_answeredFrom))
    {
        PeerConnection* conn = Find(settled.id);
        if (!conn)
            continue;
        if (!settled.reaches && conn->m_type == "F")
        {
            CloseConnection(conn, QStringLiteral("a file connection from an address not proven to be the user's"), 1);
            continue;
        }
        // An offer that waited is read again: taken, or refused now.
        ScheduleTurn(conn);
    }
    // The budget it held may be another's turn.
    mp_claimTimer->start(0);
}

bool PeerMessenger::MayReply(PeerConnection* ip_conn, size_t i_size)
{
    if (i_size < MIN_FRAME || i_size > MAX_PEER_FRAME)
    {
        PeerLog(1, QString("Not sending a reply of %1 bytes to user %2: no valid frame")
                       .arg(i_size)
                       .arg(FromName(ip_conn->m_user)));
        return false;
    }
    // Never kept for the name nor sent on another connection: the name is
    // only what the other side claimed.
    if (ip_conn->IsClosed() || ip_conn->m_lost)
    {
        if (!ip_conn->m_replyDropLogged)
            PeerLog(1, QString("Dropping replies to user %1 on connection %2, whose other side has gone "
                               "(further ones dropped silently)")
                           .arg(FromName(ip_conn->m_user))
                           .arg(ip_conn->Id()));
        ip_conn->m_replyDropLogged = true;
        return false;
    }
    return true;
}

void PeerMessenger::Reply(PeerConnection* ip_conn, const MemStream& i_message)
{
    // The request had room when it was read: the reply is not weighed again.
    if (!MayReply(ip_conn, i_message.Size()))
        return;
    if (ip_conn->Send(i_message.Data(), i_message.Size()))
        m_output.Queued(ip_conn);
}

void PeerMessenger::ReplyShared(PeerConnection* ip_conn, const QByteArray& i_message)
{
    if (!MayReply(ip_conn, size_t(i_message.size())))
        return;
    if (ip_conn->SendShared(i_message))
        m_output.Queued(ip_conn);
}

void PeerMessenger::Write(PeerConnection* ip_conn, const char* ip_message, size_t i_size, Output i_kind)
{
    if (ip_conn->OwnOutput() + qint64(i_size) > PeerBounds::MAX_UNSENT_BYTES)
    {
        // Qt hands its buffer to the system only from the event loop; what
        // the system takes now is not waiting.
        ip_conn->Flush();
        const qint64 own = ip_conn->OwnOutput();
        if (own > 0 && own + qint64(i_size) > PeerBounds::MAX_UNSENT_BYTES)
        {
            if (i_kind == Output::Answer)
            {
                if (!ip_conn->m_answerDropLogged)
                    PeerLog(1, QString("Dropping answers to user %1 on connection %2: more than %3 bytes wait "
                                       "to be sent there (further ones dropped silently)")
                                   .arg(FromName(ip_conn->m_user))
                                   .arg(ip_conn->Id())
                                   .arg(PeerBounds::MAX_UNSENT_BYTES));
                ip_conn->m_answerDropLogged = true;
                return;
            }
            // A peer that reads slowly still gets our messages; one that has
            // stopped reading, and the distributed network's, do not.
            if (ip_conn->m_type == "D" || m_output.IsStalled(ip_conn))
            {
                CloseStuck(ip_conn, QString("more than %1 bytes wait to be sent, the other side does not read")
                                        .arg(PeerBounds::MAX_UNSENT_BYTES));
                return;
            }
        }
    }
    // A message of ours waits its turn behind what the connection holds;
    // an answer waits for nobody.
    if (!m_output.RoomForMessage(ip_conn, qint64(i_size)) && i_kind == Output::Answer)
    {
        if (!ip_conn->m_answerDropLogged)
            PeerLog(1, QString("Dropping answers to user %1: the output waiting on all connections passes %2 bytes, "
                               "and nothing that holds it has stopped draining (further ones on it dropped silently)")
                           .arg(FromName(ip_conn->m_user))
                           .arg(PeerBounds::MAX_OUTPUT_BYTES_TOTAL));
        ip_conn->m_answerDropLogged = true;
        return;
    }
    if (ip_conn->Send(ip_message, i_size))
        m_output.Queued(ip_conn);
}

qint64 PeerMessenger::AnswerSize(PeerConnection* ip_conn, const char* ip_frame, quint32 i_size) const
{
    const quint32 code = qFromLittleEndian<quint32>(ip_frame);
    PeerDecoders::GetSharedFilesInFolder request;
    // A malformed request is read, and closes its connection.
    if (code != PM_GET_SHARED_FILES_IN_FOLDER || !gp_shareListProvider ||
        !PeerDecoders::DecodeGetSharedFilesInFolder(ip_frame + 4, i_size - 4, request))
        return PeerOutput::AnswerSize(code, i_size);
    return qint64(gp_shareListProvider->FolderContentsSize(ip_conn->m_user, request.m_folder, ReachesUser(ip_conn)));
}

void PeerMessenger::CountHeld(PeerConnection* ip_conn)
{
    if (!m_bounds.CountReceived(ip_conn))
        return;
    const std::set<quint64> spared = AskedListsMoving();
    while (m_bounds.ReceivedHeld() > PeerBounds::MAX_PARTIAL_FRAME_BYTES_TOTAL)
    {
        PeerConnection* largest = m_bounds.ToCloseForReceiving(spared);
        if (!largest)
            break;
        CloseConnection(largest,
                        QString("the frames being received on all connections pass %1 bytes, and this one "
                                "holds the most (%2)")
                            .arg(PeerBounds::MAX_PARTIAL_FRAME_BYTES_TOTAL)
                            .arg(largest->m_heldCounted),
                        1);
    }
}

void PeerMessenger::ExpireListRequests()
{
    // A list still on its way keeps its request, however long it takes.
    const qint64 now = Now();
    std::set<std::string> arriving;
    for (quint64 id : AskedListsMoving())
        arriving.insert(Find(id)->m_user);
    for (auto asked = m_shareListsAsked.begin(); asked != m_shareListsAsked.end();)
    {
        std::deque<qint64>& times = asked->second;
        while (!times.empty() && now - times.front() >= LIST_ANSWER_LIMIT_MS && !arriving.count(asked->first))
        {
            PeerLog(1, QString("No share list came from user %1 within %2 minutes of asking; no longer waiting for it")
                           .arg(FromName(asked->first))
                           .arg(LIST_ANSWER_LIMIT_MS / 60000));
            times.pop_front();
        }
        asked = times.empty() ? m_shareListsAsked.erase(asked) : std::next(asked);
    }
}

std::set<quint64> PeerMessenger::AskedListsMoving() const
{
    // Per user, as many connections bringing a share list as our requests
    // to the user, the oldest first: a name claimed on many connections
    // does not make all of their lists ours. One pass, in the order of ids.
    std::set<quint64> moving;
    std::map<std::string, size_t> taken;
    const qint64 now = Now();
    for (const auto& entry : m_connections)
    {
        const PeerConnection* conn = entry.second;
        if (conn->m_type != "P" || conn->IsClosed() || conn->m_heldCounted == 0 ||
            conn->Decoder().FrontCode() != PM_SHARED_FILE_LIST || !ReachesUser(conn))
            continue;
        const auto asked = m_shareListsAsked.find(conn->m_user);
        if (asked == m_shareListsAsked.end() || taken[conn->m_user]++ >= asked->second.size())
            continue;
        if (now - conn->m_lastReceivedMs < PeerBounds::RECEIVE_STALL_MS)
            moving.insert(entry.first);
    }
    return moving;
}

quint32 PeerMessenger::PeerFrameLimit(quint64 i_id, quint32 i_code) const
{
    const PeerConnection* conn = Find(i_id);
    switch (i_code)
    {
    case PM_SHARED_FILE_LIST:
        return conn && m_shareListsAsked.count(conn->m_user) && ReachesUser(conn) ? MAX_PEER_FRAME
                                                                                  : MAX_PEER_REQUEST_FRAME;
    case PM_FILE_SEARCH_RESULT:
    {
        const Type* requests = d->HasType("search_request");
        return requests && requests->ItemCount() > 0 ? MAX_SEARCH_RESULT_FRAME : MAX_PEER_REQUEST_FRAME;
    }
    default:
        // This client never asks for a folder's contents.
        return MAX_PEER_REQUEST_FRAME;
    }
}

void PeerMessenger::CloseStuck(PeerConnection* ip_conn, const QString& i_why)
{
    if (ip_conn->IsClosed())
        return;
    const QString why = i_why;
    if (ip_conn->m_type != "D")
    {
        CloseConnection(ip_conn, why, 1);
        return;
    }
    // The distributed network hears of it from the event loop, not from
    // inside its own send; the buffer goes now.
    ip_conn->Close();
    const quint64 id = ip_conn->Id();
    QTimer::singleShot(0, this, [this, id, why] {
        if (PeerConnection* conn = Find(id))
            CloseConnection(conn, why, 1);
    });
}

void PeerMessenger::FlushUnsent(const std::string& i_user, PeerConnection* ip_conn)
{
    if (!m_attempts.HasKept(i_user))
        return;
    const std::deque<QByteArray> messages = m_attempts.Take(i_user);
    PeerLog(2, QString("Sending %1 kept message(s) to user %2").arg(messages.size()).arg(FromName(i_user)));
    for (size_t k = 0; k < messages.size() && !ip_conn->IsClosed(); ++k)
        Write(ip_conn, messages[k].constData(), size_t(messages[k].size()));
}

// ---------------------------------------------------------------- attempts

void PeerMessenger::StartAttempt(const std::string& i_user, const std::string& i_type,
                                 quint32 i_ip, quint32 i_port)
{
    if (i_user.empty() || i_user == OwnName())
    {
        PeerLog(1, QString("Not connecting to our own user name (type %1)").arg(FromLatin1(i_type)));
        return;
    }
    const bool online = gp_server && gp_server->IsConnected();
    if (!online && i_type == "P" && ServerComingBack())
    {
        PeerLog(2, QString("Messages for user %1 wait for the server to connect again").arg(FromName(i_user)));
        return;
    }
    const quint64 id = m_nextId++;
    Attempt& attempt = m_attempts.Begin(id, i_user, i_type, NewToken(), Now());
    PeerLog(2, QString("Connecting to user %1 (type %2) directly and through the server")
                   .arg(FromName(i_user), FromLatin1(i_type)));
    if (online)
    {
        attempt.indirectPending = true;
        gp_server->ConnectToPeer(attempt.token, i_user, i_type);
    }

    Attempt* current = FindAttempt(id);
    if (current && i_ip != 0 && i_port != 0 && i_port <= 65535)
    {
        auto* conn = NewConnection(new QTcpSocket, false);
        conn->m_user = i_user;
        conn->m_type = i_type;
        conn->m_weAsked = true;
        conn->m_attemptId = id;
        current->direct = Attempt::Direct::Connecting;
        current->directConnection = conn->Id();
        ConnectOut(conn, i_ip, i_port);
    }
    else if (current && online)
    {
        current->direct = Attempt::Direct::AwaitingAddress;
        gp_server->GetPeerAddress(i_user);
    }
    else if (current)
    {
        current->direct = Attempt::Direct::Failed;
    }
    if (!online)
        PeerLog(2, QStringLiteral("Not logged in: no help from the server for this connection"));
    ScheduleCheck(id);
}

PeerMessenger::Attempt* PeerMessenger::FindAttempt(quint64 i_id)
{
    return m_attempts.Find(i_id);
}

PeerMessenger::Attempt* PeerMessenger::PendingAttempt(const std::string& i_user,
                                                      const std::string& i_type)
{
    return m_attempts.Pending(i_user, i_type);
}

quint32 PeerMessenger::NewToken()
{
    // Unforeseeable: whoever sees one of our tokens must not answer the next.
    do
        m_nextToken = m_tokenSource ? m_tokenSource() : QRandomGenerator::global()->generate();
    while (m_nextToken == 0 || m_attempts.HasToken(m_nextToken) || m_claims.IsProofToken(m_nextToken));
    return m_nextToken;
}

void PeerMessenger::ScheduleCheck(quint64 i_attempt)
{
    // Deferred, so that a failure is never reported from inside the call
    // that asked for the connection.
    QTimer::singleShot(0, this, [this, i_attempt] { CheckAttempt(i_attempt); });
}

bool PeerMessenger::CheckAttempt(quint64 i_attempt, bool i_quiet)
{
    Attempt* attempt = FindAttempt(i_attempt);
    if (!attempt || attempt->direct != Attempt::Direct::Failed || attempt->indirectPending)
        return false;
    const Attempt given = m_attempts.End(i_attempt);

    if (given.type == "P" && ServerComingBack())
    {
        // What waits for the user is tried again after the next login.
        PeerLog(2, QString("The connection to the server was lost while connecting to user %1; trying again "
                           "after the next login")
                       .arg(FromName(given.user)));
        return true;
    }
    const size_t discarded = given.type == "P" ? DiscardKept(given.user) : 0;
    if (!i_quiet)
    {
        if (discarded > 0)
            PeerLog(1, QString("Discarding %1 unsent message(s) for user %2").arg(discarded).arg(FromName(given.user)));
        PeerLog(1, QString("Cannot connect to user %1 (type %2), neither directly nor through the server")
                       .arg(FromName(given.user), FromLatin1(given.type)));
    }
    emit ConnectionToUserFailed(given.user, given.type);
    return true;
}

size_t PeerMessenger::DiscardKept(const std::string& i_user)
{
    const std::deque<QByteArray> messages = m_attempts.Take(i_user);
    ForgetListRequests(i_user, messages);
    return messages.size();
}

void PeerMessenger::FinishAttempt(quint64 i_attempt, quint64 i_winner)
{
    if (!FindAttempt(i_attempt))
        return;
    const Attempt done = m_attempts.End(i_attempt);
    if (done.type == "P" && done.indirectPending)
        m_attempts.NoteLate(done.token, done.user, "P", Now(), PIERCE_LIMIT_MS);
    if (done.directConnection != 0 && done.directConnection != i_winner)
        if (PeerConnection* other = Find(done.directConnection))
            CloseConnection(other, QStringLiteral("the other way was quicker"));
}

void PeerMessenger::OnPeerAddressReceived(std::string i_user, quint32 i_ip, quint32 i_port,
                                          quint32 i_scrambledPort)
{
    m_addressAsked.erase(i_user);
    // A user without a port can still be where its connection comes from.
    m_claims.NoteGiven(i_user, i_ip);
    // Claims that waited for the answer go on when it is theirs, else wait
    // for a proof; a newcomer at a full address stays or goes.
    SettleProof(i_user, false);
    EndAdmissionWaits(i_user);
    if (m_attempts.HasKept(i_user))
    {
        // A connection of the user's may be open already; else one is made.
        if (PeerConnection* conn = LatestMessagingConnection(i_user))
        {
            if (Attempt* attempt = PendingAttempt(i_user, "P"))
                FinishAttempt(attempt->id, conn->Id());
            FlushUnsent(i_user, conn);
        }
        else if (!PendingAttempt(i_user, "P"))
        {
            StartAttempt(i_user, "P");
        }
    }
    for (quint64 id : m_attempts.AwaitingAddress(i_user))
    {
        Attempt* attempt = FindAttempt(id);
        if (!attempt || attempt->direct != Attempt::Direct::AwaitingAddress)
            continue;
        if (i_ip == 0 || i_port == 0 || i_port > 65535)
        {
            PeerLog(2, QString("The server knows no address of user %1").arg(FromName(i_user)));
            attempt->direct = Attempt::Direct::Failed;
            ScheduleCheck(id);
            continue;
        }
        const bool scrambled = i_scrambledPort != 0 && i_scrambledPort <= 65535;
        auto* conn = NewConnection(new QTcpSocket, scrambled);
        conn->m_user = attempt->user;
        conn->m_type = attempt->type;
        conn->m_weAsked = true;
        conn->m_attemptId = id;
        attempt->direct = Attempt::Direct::Connecting;
        attempt->directConnection = conn->Id();
        ConnectOut(conn, i_ip, scrambled ? i_scrambledPort : i_port);
    }
}

void PeerMessenger::OnPeerConnectionRequested(std::string i_user, std::string i_type, quint32 i_ip,
                                              quint32 i_port, quint32 i_token)
{
    if (i_user.empty() || !PeerDecoders::IsConnectionType(i_type))
    {
        PeerLog(1, QString("Ignoring a relayed request for a connection of type \"%1\" from user \"%2\"")
                       .arg(FromLatin1(i_type), FromName(i_user)));
        return;
    }
    if (i_user == OwnName() || i_ip == 0 || i_port == 0 || i_port > 65535)
    {
        PeerLog(1, QString("Cannot connect to user %1 as asked (no usable address), telling the server")
                       .arg(FromName(i_user)));
        if (gp_server)
            gp_server->SendCannotConnect(i_token, i_user);
        return;
    }
    m_claims.NoteGiven(i_user, i_ip);
    auto* conn = NewConnection(new QTcpSocket, false);
    conn->m_user = i_user;
    conn->m_type = i_type;
    conn->m_weAsked = false;
    conn->m_pierceToken = i_token;
    PeerLog(2, QString("User %1 asks for a connection of type %2 through the server")
                   .arg(FromName(i_user), FromLatin1(i_type)));
    ConnectOut(conn, i_ip, i_port);
}

void PeerMessenger::OnPeerConnectionImpossible(quint32 i_token, std::string i_user)
{
    if (!i_user.empty() && m_claims.ProofUser(i_token) == i_user)
    {
        PeerLog(2, QString("User %1 cannot connect to us to say where the user is").arg(FromName(i_user)));
        SettleProof(i_user, true);
        return;
    }
    Attempt* attempt = m_attempts.ByToken(i_token);
    if (!attempt || attempt->user != i_user)
    {
        PeerLog(2, QString("User %1 cannot connect for token %2, which is no request of ours")
                       .arg(FromName(i_user))
                       .arg(i_token));
        return;
    }
    PeerLog(2, QString("User %1 cannot connect to us (type %2)").arg(FromName(i_user), FromLatin1(attempt->type)));
    m_attempts.EndIndirect(*attempt);
    ScheduleCheck(attempt->id);
}

void PeerMessenger::OnUserStatusReceived(std::string i_user, bool i_online)
{
    if (!i_online)
        return;
    // The server's word that he is online ends its word that he was not.
    m_claims.NoteAlive(i_user);
    // An attempt still under way a while after it began went to a client of
    // his that may be gone: what waits for him is asked of the one there now,
    // not after the old request runs out. A fresh one stays: the server's
    // answer to our watching the user comes right after we begin.
    Attempt* attempt = PendingAttempt(i_user, "P");
    if (!attempt || Now() - attempt->startedMs < PeerAttempts::RENEW_AFTER_MS)
        return;
    const Attempt old = m_attempts.End(attempt->id);
    if (old.directConnection != 0)
        if (PeerConnection* conn = Find(old.directConnection))
            CloseConnection(conn, QStringLiteral("the user is online again"), 3);
    PeerLog(2, QString("User %1 is online again: connecting to him anew").arg(FromName(i_user)));
    StartAttempt(i_user, "P");
}

void PeerMessenger::OnHalfMinuteTimer()
{
    const qint64 now = Now();

    m_attempts.ExpireLate(now);
    for (const std::string& user : m_claims.Expire())
        SettleProof(user, true);

    // The tallies of searches that are over.
    Type* requests = d->HasType("search_request");
    for (auto tally = m_searchTallies.begin(); tally != m_searchTallies.end();)
    {
        Item* request = requests ? requests->HasItem(Value(tally->first)) : nullptr;
        tally = request && request->Serial() == tally->second.serial ? std::next(tally)
                                                                      : m_searchTallies.erase(tally);
    }

    // A request waiting for room gets it once what stalled may be closed,
    // even when nothing else moves.
    if (m_output.AnyWaiting())
        m_output.LookAgain();

    ExpireListRequests();

    // The server did not say where a user is: connect the usual way.
    for (auto asked = m_addressAsked.begin(); asked != m_addressAsked.end();)
    {
        if (now - asked->second < ADDRESS_LIMIT_MS)
        {
            ++asked;
            continue;
        }
        const std::string user = asked->first;
        asked = m_addressAsked.erase(asked);
        EndAdmissionWaits(user);
        if (m_attempts.HasKept(user) && !PendingAttempt(user, "P"))
            StartAttempt(user, "P");
    }

    std::vector<quint64> ids;
    ids.reserve(m_connections.size());
    for (const auto& entry : m_connections)
        ids.push_back(entry.first);
    for (quint64 id : ids)
    {
        PeerConnection* conn = Find(id);
        if (!conn)
            continue;
        switch (conn->GetStage())
        {
        case PeerConnection::Stage::AwaitingFirstFrame:
        case PeerConnection::Stage::AwaitingRequestNumber:
            if (now - conn->m_createdMs >= FIRST_MESSAGE_LIMIT_MS)
                CloseConnection(conn, QStringLiteral("its first message did not come in time"), 1);
            break;
        case PeerConnection::Stage::Open:
            if (conn->m_type == "P" && now - conn->m_lastActivityMs >= IDLE_LIMIT_MS)
                CloseConnection(conn, QStringLiteral("idle for 5 minutes"));
            break;
        default:
            break;
        }
    }

    // Attempts past their time: one line for them all, however many.
    size_t noAddress = 0, noPierce = 0, ended = 0;
    for (quint64 id : m_attempts.Ids())
    {
        Attempt* attempt = FindAttempt(id);
        if (!attempt)
            continue;
        if (attempt->direct == Attempt::Direct::AwaitingAddress &&
            now - attempt->startedMs >= ADDRESS_LIMIT_MS)
        {
            ++noAddress;
            attempt->direct = Attempt::Direct::Failed;
        }
        if (attempt->indirectPending && now - attempt->startedMs >= PIERCE_LIMIT_MS)
        {
            ++noPierce;
            m_attempts.EndIndirect(*attempt);
        }
        ended += CheckAttempt(id, true) ? 1 : 0;
    }
    if (noAddress + noPierce > 0)
        PeerLog(1, QString("Connecting to users: %1 address(es) did not come from the server in time, %2 user(s) "
                           "did not connect to us in time; %3 attempt(s) failed, what waited for them discarded")
                       .arg(noAddress)
                       .arg(noPierce)
                       .arg(ended));
}

// ---------------------------------------------------------------- operations

void PeerMessenger::SendMessage(std::string i_user, const MemStream& i_message)
{
    Deliver(i_user, i_message, false);
}

void PeerMessenger::SendAnswer(std::string i_user, const MemStream& i_message)
{
    Deliver(i_user, i_message, true);
}

void PeerMessenger::Deliver(const std::string& i_user, const MemStream& i_message, bool i_answer)
{
    if (i_message.Size() < MIN_FRAME || i_message.Size() > MAX_PEER_FRAME)
    {
        PeerLog(1, QString("Not sending a message of %1 bytes to user %2: no valid frame")
                       .arg(i_message.Size())
                       .arg(FromName(i_user)));
        return;
    }
    if (i_user.empty() || i_user == OwnName())
    {
        PeerLog(1, QStringLiteral("Not sending a message to our own user name"));
        return;
    }
    if (!i_answer && AnswerToClaimant(i_user, i_message))
        return;
    // An answer goes to a search of his that has just come: he is online.
    if (i_answer)
        m_claims.NoteAlive(i_user);
    if (PeerConnection* conn = LatestMessagingConnection(i_user))
    {
        m_claims.Touch(i_user);
        Write(conn, i_message.Data(), i_message.Size(), i_answer ? Output::Answer : Output::Ours);
        return;
    }
    if (!Keep(i_user, i_message, i_answer) || PendingAttempt(i_user, "P"))
        return;
    // A connection claims the name, but the server has not said where the
    // user is: asking is enough when it is the user's.
    if (LatestMessagingConnection(i_user, false) && !m_claims.Knows(i_user) &&
        !m_claims.CalledOffline(i_user) && gp_server && gp_server->IsConnected())
    {
        if (m_addressAsked.emplace(i_user, Now()).second)
            gp_server->GetPeerAddress(i_user);
        return;
    }
    // At the pace of the retries after a login: the transfer queue asks
    // every user again then, and the server gets no burst of requests.
    const qint64 now = Now();
    if (now - m_attemptTurnMs >= PeerAttempts::RETRY_INTERVAL_MS || now < m_attemptTurnMs)
    {
        m_attemptTurnMs = now;
        m_attemptsThisTurn = 0;
    }
    if (!m_attempts.RetriesWaiting() && m_attemptsThisTurn < PeerAttempts::RETRY_BATCH)
    {
        ++m_attemptsThisTurn;
        StartAttempt(i_user, "P");
        return;
    }
    m_attempts.LineUp(i_user);
    if (!m_retryPosted)
    {
        m_retryPosted = true;
        QTimer::singleShot(PeerAttempts::RETRY_INTERVAL_MS, this, [this] { RetryNextBatch(); });
    }
}

bool PeerMessenger::AnswerToClaimant(const std::string& i_user, const MemStream& i_message)
{
    if (m_answering.id == 0 || m_answering.user != i_user ||
        PeerOutput::IsRequest(qFromLittleEndian<quint32>(i_message.Data())))
        return false;
    PeerConnection* conn = Find(m_answering.id);
    if (conn && ReachesUser(conn))
        return false;
    // A denial or a place in line for a request the user never made would
    // cost him, and keep our own requests to him from their place.
    if (conn)
        Reply(conn, i_message);
    return true;
}

bool PeerMessenger::Keep(const std::string& i_user, const MemStream& i_message, bool i_answer)
{
    std::deque<QByteArray> dropped;
    const bool kept = m_attempts.Keep(i_user, i_message.Data(), i_message.Size(), i_answer, Now(), dropped);
    ForgetListRequests(i_user, dropped);
    return kept;
}

void PeerMessenger::ForgetListRequests(const std::string& i_user, const std::deque<QByteArray>& i_messages)
{
    for (const QByteArray& message : i_messages)
        if (message.size() >= 4 && qFromLittleEndian<quint32>(message.constData()) == PM_GET_SHARED_FILE_LIST)
            TakeListRequest(i_user, true);
}

bool PeerMessenger::TakeListRequest(const std::string& i_user, bool i_newest)
{
    auto asked = m_shareListsAsked.find(i_user);
    if (asked == m_shareListsAsked.end())
        return false;
    if (i_newest)
        asked->second.pop_back();
    else
        asked->second.pop_front();
    if (asked->second.empty())
        m_shareListsAsked.erase(asked);
    return true;
}

void PeerMessenger::GetUserSharedFiles(std::string i_user)
{
    // Every request is counted: a second browse before the first list came
    // is answered by a list of its own.
    m_shareListsAsked[i_user].push_back(Now());
    SendMessage(i_user, NewMessage(PM_GET_SHARED_FILE_LIST));
}

void PeerMessenger::CancelShareListRequest(std::string i_user)
{
    TakeListRequest(i_user, true);
}

void PeerMessenger::QueueDownload(std::string i_user, std::string i_file)
{
    MemStream m = NewMessage(PM_QUEUE_UPLOAD);
    m.WriteString(i_file);
    SendMessage(i_user, m);
}

unsigned int PeerMessenger::RequestUpload(std::string i_user, std::string i_file, long long i_size)
{
    const unsigned int req = static_cast<unsigned int>(ParseDecimal(GetSetting("transfer_req_counter")));
    SetSetting("transfer_req_counter", std::to_string(req + 1u));
    MemStream m = NewMessage(PM_TRANSFER_REQUEST);
    m.WriteUInt32(TRANSFER_DIRECTION_UPLOAD);
    m.WriteUInt32(req);
    m.WriteString(i_file);
    m.WriteInt64(i_size);
    SendMessage(i_user, m);
    return req;
}

void PeerMessenger::AcceptTransferRequest(std::string i_user, unsigned int i_req, bool i_withSize,
                                          long long i_size)
{
    // Its file connection may come from wherever the user is.
    m_claims.NoteAccepted(i_user, i_req);
    MemStream m = NewMessage(PM_TRANSFER_RESPONSE);
    m.WriteUInt32(i_req);
    m.WriteByte(1);
    if (i_withSize)
        m.WriteInt64(i_size);
    SendMessage(i_user, m);
}

void PeerMessenger::DenyTransferRequest(std::string i_user, unsigned int i_req, std::string i_reason)
{
    MemStream m = NewMessage(PM_TRANSFER_RESPONSE);
    m.WriteUInt32(i_req);
    m.WriteByte(0);
    m.WriteString(i_reason);
    SendMessage(i_user, m);
}

void PeerMessenger::DenyUpload(std::string i_user, std::string i_file, std::string i_reason)
{
    MemStream m = NewMessage(PM_UPLOAD_DENIED);
    m.WriteString(i_file);
    m.WriteString(i_reason);
    SendMessage(i_user, m);
}

void PeerMessenger::RequestFileConnectionToUser(std::string i_user)
{
    StartAttempt(i_user, "F");
}

void PeerMessenger::RequestDistributedConnection(std::string i_user, quint32 i_ip, quint32 i_port)
{
    if (PendingAttempt(i_user, "D"))
    {
        PeerLog(2, QString("A distributed connection to user %1 is being made already").arg(FromName(i_user)));
        return;
    }
    StartAttempt(i_user, "D", i_ip, i_port);
}

bool PeerMessenger::SendDistributedMessage(quint64 i_connection, const MemStream& i_message)
{
    PeerConnection* conn = Find(i_connection);
    if (!conn || conn->m_type != "D" || conn->GetStage() != PeerConnection::Stage::Open)
        return false;
    if (i_message.Size() < MIN_FRAME || i_message.Size() > MAX_DISTRIBUTED_FRAME)
    {
        PeerLog(1, QString("Not sending a distributed message of %1 bytes to user %2: no valid frame")
                       .arg(i_message.Size())
                       .arg(FromName(conn->m_user)));
        return false;
    }
    Write(conn, i_message.Data(), i_message.Size());
    return true;
}

void PeerMessenger::CloseDistributedConnection(quint64 i_connection)
{
    PeerConnection* conn = Find(i_connection);
    if (!conn || conn->m_type != "D")
        return;
    conn->m_announced = false;
    CloseConnection(conn, QStringLiteral("closed by the distributed network"));
}

// ---------------------------------------------------------------- messages

void PeerMessenger::HandleMessage(PeerConnection* ip_conn, const char* ip_frame, quint32 i_size)
{
    // The decoder hands out only frames of at least the code's 4 bytes.
    const quint32 code = qFromLittleEndian<quint32>(ip_frame);
    const std::string user = ip_conn->m_user;
    const char* body = ip_frame + 4;
    const size_t bodySize = i_size - 4;
    // What depends on who asks is the user's only where he is.
    const bool reached = ReachesUser(ip_conn);
    bool ok = true;
    // What the request makes the receivers of our signals say to the user
    // is the asker's; a receiver may spin an event loop meanwhile.
    const Answering outer = m_answering;
    m_answering = Answering{ip_conn->Id(), user};

    switch (code)
    {
    case PM_GET_SHARED_FILE_LIST:
        if (gp_shareListProvider)
            ReplyShared(ip_conn, gp_shareListProvider->GetSharedFilesReply(user, reached));
        else
            PeerLog(2, QString("User %1 asked for our share list before the shares are up").arg(FromName(user)));
        break;
    case PM_SHARED_FILE_LIST:
        ok = HandleSharedFileList(ip_conn, body, bodySize);
        break;
    case PM_FILE_SEARCH_RESULT:
        ok = HandleSearchResult(ip_conn, body, bodySize);
        break;
    case PM_GET_SHARED_FILES_IN_FOLDER:
    {
        PeerDecoders::GetSharedFilesInFolder m;
        if (!(ok = PeerDecoders::DecodeGetSharedFilesInFolder(body, bodySize, m)))
            break;
        emit SharedFilesInFolderRequested(user, m.m_req, m.m_folder);
        if (gp_shareListProvider && !ip_conn->IsClosed())
        {
            // Nothing for a folder the user may not see.
            const MemStream reply = gp_shareListProvider->GetFolderContentsMessage(user, m.m_req, m.m_folder, reached);
            if (reply.Size() > 0)
                Reply(ip_conn, reply);
        }
        break;
    }
    case PM_SHARED_FILES_IN_FOLDER:
        ok = HandleFolderContents(user, body, bodySize);
        break;
    case PM_TRANSFER_REQUEST:
    {
        PeerDecoders::TransferRequest m;
        if ((ok = PeerDecoders::DecodeTransferRequest(body, bodySize, m)))
        {
            m_claims.NoteOffer(ip_conn, m.m_req);
            emit FileTransferRequested(user, int(m.m_direction), m.m_req, m.m_file, m.m_size);
        }
        break;
    }
    case PM_TRANSFER_RESPONSE:
    {
        PeerDecoders::TransferResponse m;
        if ((ok = PeerDecoders::DecodeTransferResponse(body, bodySize, m)) && TakesNotice(ip_conn, reached, code))
            emit FileTransferResponse(user, m.m_req, m.m_allowed, m.m_withSize, m.m_size, m.m_reason);
        break;
    }
    case PM_QUEUE_UPLOAD:
    {
        std::string file;
        if ((ok = PeerDecoders::DecodeFileName(body, bodySize, file)))
            emit QueueUploadRequested(user, file, reached);
        break;
    }
    case PM_UPLOAD_FAILED:
    {
        std::string file;
        if ((ok = PeerDecoders::DecodeFileName(body, bodySize, file)) && TakesNotice(ip_conn, reached, code))
            emit UploadFailed(user, file);
        break;
    }
    case PM_UPLOAD_DENIED:
    {
        PeerDecoders::UploadDenied m;
        if ((ok = PeerDecoders::DecodeUploadDenied(body, bodySize, m)) && TakesNotice(ip_conn, reached, code))
            emit UploadDenied(user, m.m_file, m.m_reason);
        break;
    }
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
    {
        std::string file;
        if (!(ok = PeerDecoders::DecodeFileName(body, bodySize, file)))
            break;
        int place = 0;
        if (gp_uploadPlaceProvider && gp_uploadPlaceProvider->GetUploadPlaceInLine(user, file, place))
        {
            MemStream reply = NewMessage(PM_UPLOAD_PLACE_IN_LINE);
            reply.WriteString(file);
            reply.WriteUInt32(quint32(std::max(place, 0)));
            Reply(ip_conn, reply);
        }
        break;
    }
    case PM_UPLOAD_PLACE_IN_LINE:
    {
        PeerDecoders::PlaceInLine m;
        if ((ok = PeerDecoders::DecodePlaceInLine(body, bodySize, m)))
            emit DownloadPlaceInLine(user, m.m_file, m.m_place);
        break;
    }
    default:
        PeerLog(2, QString("Ignoring a message with unknown code %1 from user %2").arg(code).arg(FromName(user)));
        break;
    }
    m_answering = outer;
    if (!ok && !ip_conn->IsClosed())
        Malformed(ip_conn, code);
}

bool PeerMessenger::InflateBody(const std::string& i_user, quint32 i_code, const char* ip_data,
                                size_t i_size, std::string& o_body)
{
    if (Compression::Inflate(ip_data, i_size, o_body, m_inflateCap))
        return true;
    InflateFailed(i_user, i_code, m_inflateCap);
    return false;
}

void PeerMessenger::InflateFailed(const std::string& i_user, quint32 i_code, size_t i_cap)
{
    PeerLog(1, QString("The compressed body of message %1 from user %2 is damaged or inflates "
                       "beyond %3 bytes")
                   .arg(i_code)
                   .arg(FromName(i_user))
                   .arg(i_cap));
}

bool PeerMessenger::HandleSharedFileList(PeerConnection* ip_conn, const char* ip_data, size_t i_size)
{
    const std::string i_user = ip_conn->m_user;
    // Storing a list costs memory in proportion to its size: one nobody
    // asked for, or from elsewhere than our request could reach, is not
    // even inflated.
    if (!m_shareListsAsked.count(i_user) || !ReachesUser(ip_conn))
    {
        PeerLog(1, QString("Dropping a share list of %1 bytes from user %2 that was not asked for%3")
                       .arg(i_size)
                       .arg(FromName(i_user),
                            m_shareListsAsked.count(i_user) ? QString(" on connection %1, which is not from the user's address")
                                                                  .arg(ip_conn->Id())
                                                            : QString()));
        return true;
    }
    // Only a list that decodes answers the request: a damaged one leaves it
    // open for the real one.
    PeerDecoders::SharedFileList list;
    {
        std::string body;
        if (!InflateBody(i_user, PM_SHARED_FILE_LIST, ip_data, i_size, body))
            return false;
        if (!PeerDecoders::DecodeSharedFileList(body.data(), body.size(), list))
            return false;
    }
    TakeListRequest(i_user, false);
    PeerLog(1, QString("Received the share list of user %1: %2 folder(s)").arg(FromName(i_user)).arg(list.m_share.size()));
    emit UserShare(i_user, list.m_share, list.m_table);
    return true;
}

bool PeerMessenger::HandleSearchResult(PeerConnection* ip_conn, const char* ip_data, size_t i_size)
{
    const std::string user = ip_conn->m_user;
    const size_t cap = std::min<size_t>(m_inflateCap, MAX_SEARCH_RESULT_BODY);
    // Anyone may send results: the request number is read from the first
    // bytes, and only a reply to a search of ours is inflated further.
    Compression::Inflater inflater(ip_data, i_size);
    std::string body;
    Compression::Inflater::Status status =
        inflater.InflateTo(body, std::min(cap + 1, PeerDecoders::SEARCH_RESULT_HEAD));
    std::string replier;
    quint32 req = 0;
    InputStream head(body.data(), body.size());
    if (status == Compression::Inflater::Error || !PeerDecoders::DecodeSearchResultHead(head, replier, req))
    {
        if (status == Compression::Inflater::Error)
            InflateFailed(user, PM_FILE_SEARCH_RESULT, cap);
        return false;
    }
    Type* requests = d->HasType("search_request");
    Item* request = requests ? requests->HasItem(Value(req)) : nullptr;
    if (!request)
    {
        if (!ip_conn->m_unaskedLogged)
            PeerLog(1, QString("Dropping search results of user %1 for search %2, which is not ours "
                               "(further ones on this connection dropped silently)")
                           .arg(FromName(user))
                           .arg(req));
        ip_conn->m_unaskedLogged = true;
        return true;
    }
    // One that would be dropped whole is not inflated further.
    if (ResultRoom(req, request, user, 1) == 0)
        return true;
    status = inflater.InflateTo(body, cap + 1);
    if (status != Compression::Inflater::End || body.size() > cap)
    {
        InflateFailed(user, PM_FILE_SEARCH_RESULT, cap);
        return false;
    }
    PeerDecoders::SearchResult reply;
    if (!PeerDecoders::DecodeSearchResult(body.data(), body.size(), reply))
        return false;
    // The request is the one looked up above, with room for one at least.
    // An empty reply still makes an item: it counts as one.
    const size_t room = ResultRoom(req, request, user, reply.m_files.size());
    if (reply.m_files.size() > room)
        reply.m_files.resize(room);
    SearchTally& tally = m_searchTallies[req];
    const size_t counted = std::max<size_t>(reply.m_files.size(), 1);
    tally.perUser[user] += counted;
    tally.total += counted;
    StoreSearchResult(user, reply.m_user, reply.m_req, reply.m_files, reply.m_freeSlot,
                      reply.m_speed, reply.m_queued);
    return true;
}

bool PeerMessenger::HandleFolderContents(const std::string& i_user, const char* ip_data, size_t i_size)
{
    std::string body;
    if (!InflateBody(i_user, PM_SHARED_FILES_IN_FOLDER, ip_data, i_size, body))
        return false;
    PeerDecoders::SharedFilesInFolder contents;
    if (!PeerDecoders::DecodeSharedFilesInFolder(body.data(), body.size(), contents))
        return false;
    // Nothing in this client asks for folder contents; the reply is checked
    // like any other and noted.
    PeerLog(2, QString("Received the contents of folder %1 from user %2: %3 file(s)")
                   .arg(FromUtf8(contents.m_folder), FromName(i_user))
                   .arg(contents.m_fileCount));
    return true;
}

size_t PeerMessenger::ResultRoom(quint32 i_req, Item* ip_request, const std::string& i_user, size_t i_wanted)
{
    SearchTally& tally = m_searchTallies[i_req];
    if (tally.serial != ip_request->Serial())
    {
        tally = SearchTally();
        tally.serial = ip_request->Serial();
    }
    auto user = tally.perUser.find(i_user);
    const size_t fromUser = user == tally.perUser.end() ? 0 : user->second;
    const size_t room = std::min(PeerBounds::MAX_RESULTS_PER_USER - std::min(fromUser, PeerBounds::MAX_RESULTS_PER_USER),
                                 PeerBounds::MAX_RESULTS_PER_SEARCH - std::min(tally.total, PeerBounds::MAX_RESULTS_PER_SEARCH));
    if (room < i_wanted && tally.dropLogged.insert(i_user).second)
        PeerLog(1, QString("Dropping search results of user %1 for search %2: past %3 results from the "
                           "user or %4 in all")
                       .arg(FromName(i_user))
                       .arg(i_req)
                       .arg(PeerBounds::MAX_RESULTS_PER_USER)
                       .arg(PeerBounds::MAX_RESULTS_PER_SEARCH));
    return room;
}

void PeerMessenger::StoreSearchResult(const std::string& i_user, const std::string& i_replier,
                                      quint32 i_req, const std::vector<FileInfo>& i_files,
                                      bool i_freeSlot, quint32 i_speed, quint32 i_queued)
{
    Type* requests = d->HasType("search_request");
    Item* request = requests ? requests->HasItem(Value(i_req)) : nullptr;
    if (!request)
    {
        PeerLog(2, QString("Dropping search results of user %1 for search %2, which is not ours")
                       .arg(FromName(i_user))
                       .arg(i_req));
        return;
    }
    if (i_replier != i_user)
        PeerLog(2, QString("Search results from user %1 name the user %2; kept as %1's")
                       .arg(FromName(i_user), FromName(i_replier)));

    ItemPtr results = T("search_results")->NewItem();
    results += request;
    results += T("user")->GetItem(i_user);
    results += T("search_results_user_available")->GetItem(i_freeSlot ? "yes" : "no");
    results += T("search_results_user_speed")->GetItem(Value(i_speed));
    results += T("search_results_uploads_in_queue")->GetItem(Value(i_queued));

    Type* resultType = T("search_result");
    Type* nameType = T("search_result_file_name");
    Type* folderType = T("search_result_file_folder");
    Type* sizeType = T("file_size");
    const FileAttributeLinker attributes;
    for (const FileInfo& file : i_files)
    {
        ItemPtr result = resultType->NewItem();
        results += result;
        // Wire paths are "\"-separated; the last component is the name.
        const size_t cut = file.m_name.rfind('\\');
        const std::string name = cut == std::string::npos ? file.m_name : file.m_name.substr(cut + 1);
        const std::string folder = cut == std::string::npos ? std::string() : file.m_name.substr(0, cut);
        result += nameType->GetItem(name);
        result += folderType->GetItem(folder);
        result += sizeType->GetItem(Value(static_cast<long long>(file.m_size)));
        attributes.Link(result, file.m_attributes);
    }
    PeerLog(1, QString("Received %1 search result(s) from user %2 for search %3")
                   .arg(i_files.size())
                   .arg(FromName(i_user))
                   .arg(i_req));
    emit SearchResults(results);
}
