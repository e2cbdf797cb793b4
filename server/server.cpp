#include "server.h"

#include "DataSaver.h"
#include "Log.h"
#include "MemStream.h"
#include "PortForwarder.h"
#include "ProtocolCodes.h"
#include "TCPAddress.h"
#include "TextConversion.h"
#include "TimerManager.h"

#include <QCryptographicHash>
#include <QTimer>

#include <limits>

Server* gp_server = nullptr;

namespace
{
const char* const LOG_CATEGORY = "server";

// Bounds of the lists the server sends; a count above them is malformed.
const quint32 MAX_LISTED_USERS = 1000000;
const quint32 MAX_LISTED_ROOMS = 1000000;
const quint32 MAX_CORRELATIONS = 100000;
const quint32 MAX_POSSIBLE_PARENTS = 10000;
// Addresses asked for and still unanswered; more are not remembered.
const size_t MAX_PENDING_ADDRESSES = 10000;

const int g_possibleParentTypeId = qRegisterMetaType<PossibleParent>("PossibleParent");
const int g_possibleParentsTypeId = qRegisterMetaType<std::vector<PossibleParent>>("std::vector<PossibleParent>");

void LogLine(int i_level, const QString& i_text, ItemPtr i_item = ItemPtr())
{
    Log(QString::fromLatin1(LOG_CATEGORY), i_level, i_text, i_item);
}

QString CodeName(quint32 i_code)
{
    switch (i_code)
    {
    case SM_ADD_USER: return QStringLiteral("add user");
    case SM_GET_USER_STATS: return QStringLiteral("user statistics");
    case SM_LOGIN: return QStringLiteral("login");
    case SM_GET_PEER_ADDRESS: return QStringLiteral("peer address");
    case SM_CONNECT_TO_PEER: return QStringLiteral("connect to peer");
    case SM_CANNOT_CONNECT: return QStringLiteral("cannot connect");
    case SM_USER_STATUS: return QStringLiteral("user status");
    case SM_PRIVILEGED_USERS: return QStringLiteral("privileged users");
    case SM_GET_OWN_PRIVILEGES: return QStringLiteral("own privileges");
    case SM_ROOM_LIST: return QStringLiteral("room list");
    case SM_ENTER_ROOM: return QStringLiteral("enter room");
    case SM_LEAVE_ROOM: return QStringLiteral("leave room");
    case SM_USER_JOINED_ROOM: return QStringLiteral("user joined room");
    case SM_USER_LEFT_ROOM: return QStringLiteral("user left room");
    case SM_ROOM_CHAT: return QStringLiteral("room chat");
    case SM_PRIVATE_CHAT: return QStringLiteral("private chat");
    case SM_SEARCH_CORRELATIONS: return QStringLiteral("search correlations");
    case SM_WISH_LIST_INTERVAL: return QStringLiteral("wish list interval");
    case SM_POSSIBLE_PARENTS: return QStringLiteral("possible parents");
    case SM_DISTRIBUTED_SEARCH: return QStringLiteral("distributed search");
    default: return QString::number(i_code);
    }
}

Item* UserItem(const std::string& i_user)
{
    return T("user")->GetItem(i_user);
}

Item* FlagItem(const char* ip_type)
{
    return T(ip_type)->GetGlobalNullItem();
}

bool HasSettingValue(const char* ip_key)
{
    Type* key = d->HasType("global");
    Item* item = key ? key->HasItem(ip_key) : nullptr;
    return item && item->IsConnected("global_value");
}
}

Server::Server()
    : m_decoder(MAX_SERVER_FRAME)
{
    gp_server = this;

    mp_connectTimer = new QTimer(this);
    mp_connectTimer->setSingleShot(true);
    connect(mp_connectTimer, &QTimer::timeout, this, &Server::OnConnectTimeout);

    mp_portForwarder = new PortForwarder(this);

    if (timerManager)
    {
        connect(timerManager->HalfMinuteTimer(), &QTimer::timeout, this, &Server::OnHalfMinuteTimer);
        connect(timerManager->HourTimer(), &QTimer::timeout, this, &Server::OnHourTimer);
    }
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
}

Server::~Server()
{
    DisableHandlers();
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    DropSocket();
    delete mp_portForwarder;
    if (gp_server == this)
        gp_server = nullptr;
}

void Server::CreateData()
{
    // Users and what the server tells about them.
    Type* user = MakeType("user", true, false, true);
    Type* isOnline = MakeType("is_online", false, true, true);
    Type* isPrivileged = MakeType("is_privileged", false, true, true);
    Type* isIgnored = MakeType("is_ignored", false, true, true);
    Type* isTracked = MakeType("is_tracked", false, true, true);
    Type* speed = MakeType("average_download_speed", false, false, true);
    Type* files = MakeType("shared_files_count", false, false, true);
    Type* country = MakeType("country_code", false, false, true);
    Relate(user, isOnline, Many, One, false);
    Relate(user, isPrivileged, Many, One, false);
    Relate(user, isIgnored, Many, One, false);
    Relate(user, isTracked, Many, One, false);
    Relate(user, speed, Many, One, false);
    Relate(user, files, Many, One, false);
    Relate(user, country, Many, One, false);

    // The user's own list: one entry per listed user, groups hold entries.
    Type* inUserList = MakeType("in_user_list", false, true, true);
    Type* group = MakeType("user_list_group", true, false, true);
    Type* priority = MakeType("group_download_priority", false, false, true);
    Relate(user, inUserList, One, One, false);
    Relate(group, inUserList, Many, Many, false);
    Relate(group, priority, Many, One, false);

    // Rooms.
    Type* room = MakeType("room", true, false, true);
    Type* userCount = MakeType("user_count", false, false, true);
    Type* inRoom = MakeType("in_room", false, true, true);
    Type* autojoin = MakeType("room_autojoin", false, true, true);
    Relate(room, userCount, Many, One, false);
    Relate(room, inRoom, Many, One, false);
    Relate(room, autojoin, Many, One, false);
    Relate(user, room, Many, Many, false);

    // Searches and related searches.
    Type* request = MakeType("search_request", true, false, false);
    Type* requestText = MakeType("search_request_text", true, false, true);
    Type* wishlist = MakeType("wishlist_search", false, true, true);
    Type* correlation = MakeType("search_correlation", false, true, true);
    Type* correlationText = MakeType("correlation_text", false, false, true);
    Type* correlationRank = MakeType("correlation_rank", false, false, true);
    Relate(request, requestText, Many, One, false);
    Relate(request, wishlist, Many, One, false);
    Relate(requestText, correlation, One, Many, true);
    Relate(correlation, correlationText, Many, One, false);
    Relate(correlation, correlationRank, Many, One, false);

    if (dataSaver)
    {
        dataSaver->AddSavedType("in_user_list");
        dataSaver->AddSavedType("is_ignored");
        dataSaver->AddSavedType("user_list_group");
        dataSaver->AddSavedType("room_autojoin");
        dataSaver->AddSavedByConnectionType("user", "in_user_list");
        dataSaver->AddSavedByConnectionType("user", "is_ignored");
        // A priority the user set lasts across runs.
        dataSaver->AddSavedByConnectionType("group_download_priority", "user_list_group");
        dataSaver->AddSavedByConnectionType("room", "room_autojoin");
        dataSaver->AddSavedByConnectionType("search_request_text", "download_entry");
    }
}

void Server::DataLoaded()
{
    // Nothing loaded needs preparing: the flags that only hold during a
    // login (is_online, is_privileged, in_room) are never saved.
}

std::string Server::GetUsername() const
{
    return GetSetting("username");
}

void Server::SetConnectTimeout(int i_ms)
{
    m_connectTimeoutMs = qMax(1, i_ms);
}

// ---------------------------------------------------------------- connection

void Server::Connect()
{
    if (m_state != State::Offline)
        return;
    const std::string username = GetUsername();
    if (username.empty())
        return;

    std::string host = GetSetting("server_host");
    if (host.empty())
        host = DEFAULT_HOST;
    quint16 port = DEFAULT_PORT;
    const std::string portText = GetSetting("server_port");
    if (!portText.empty())
    {
        bool ok = false;
        const uint value = FromLatin1(portText).toUInt(&ok);
        if (ok && value > 0 && value <= 65535)
            port = quint16(value);
        else
            LogLine(1, QStringLiteral("Ignoring the invalid server port \"%1\"; using %2")
                           .arg(FromLatin1(portText)).arg(DEFAULT_PORT));
    }

    SetState(State::Connecting);
    emit Connecting();
    if (m_state != State::Connecting)
        return;   // a slot ended the attempt already

    LogLine(1, QStringLiteral("Connecting to %1:%2").arg(FromLatin1(host)).arg(port));
    m_decoder = FrameDecoder(MAX_SERVER_FRAME);
    ++m_socketGeneration;
    QTcpSocket* socket = new QTcpSocket(this);
    socket->setReadBufferSize(READ_BUFFER_BYTES);
    mp_socket = socket;
    connect(socket, &QTcpSocket::connected, this, &Server::OnConnected);
    connect(socket, &QTcpSocket::readyRead, this, &Server::OnReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &Server::OnSocketDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &Server::OnSocketError);
    mp_connectTimer->start(m_connectTimeoutMs);
    socket->connectToHost(FromLatin1(host), port);
}

void Server::OnConnected()
{
    if (m_state != State::Connecting || !mp_socket)
        return;

    // Defaults first, so that both settings hold a value from here on.
    for (const char* key : {"username", "password"})
        if (!HasSettingValue(key))
            SetSetting(key, "");
    const std::string username = GetSetting("username");
    const std::string password = GetSetting("password");

    const std::string credentials = username + password;
    const QByteArray digest = QCryptographicHash::hash(
        QByteArray(credentials.data(), qsizetype(credentials.size())), QCryptographicHash::Md5).toHex();

    SetState(State::LoggingIn);
    LogLine(1, QStringLiteral("Connected to the server; logging in as %1").arg(FromName(username)));
    MemStream m = NewMessage(SM_LOGIN);
    m.WriteString(username);
    m.WriteString(std::string(digest.constData(), size_t(digest.size())));
    m.WriteUInt32(LOGIN_PROTOCOL_VERSION);
    Write(m);
}

void Server::Disconnect()
{
    if (m_state != State::LoggedIn)
        return;
    LogLine(1, QStringLiteral("Disconnected from the server"));
    EndConnection(false);
}

void Server::OnHalfMinuteTimer()
{
    if (m_abruptlyDisconnected && m_state == State::Offline && !m_reportingRefusal)
    {
        LogLine(1, QStringLiteral("Trying to reconnect to the server"));
        Connect();
    }
}

void Server::OnHourTimer()
{
    // Mappings carry a lease; renewing them keeps them alive while we run.
    if (!IsSettingYes("use_upnp") || !portForwarder)
        return;
    LogLine(1, QStringLiteral("Renewing the port mapping"));
    ForwardListenPorts();
}

void Server::ForwardListenPorts()
{
    // Searches again when no gateway was found yet (or it stopped answering);
    // does nothing otherwise.
    portForwarder->Init();
    portForwarder->MapListeningPorts(m_listenPort, m_scrambledListenPort);
}

void Server::OnConnectTimeout()
{
    if (m_state == State::Connecting || m_state == State::LoggingIn)
        FailAttempt("socket error", QStringLiteral("The connection attempt timed out"));
}

void Server::OnSocketError(QAbstractSocket::SocketError)
{
    if (sender() != mp_socket || !HandledTheRest())
        return;
    const QString text = mp_socket ? mp_socket->errorString() : QString();
    if (m_state == State::LoggedIn)
    {
        LogLine(1, QStringLiteral("Connection to the server lost: %1").arg(text));
        EndConnection(true);
    }
    else if (m_state != State::Offline)
    {
        FailAttempt("socket error", QStringLiteral("Cannot connect to the server: %1").arg(text));
    }
}

void Server::OnSocketDisconnected()
{
    if (sender() != mp_socket || !HandledTheRest())
        return;
    if (m_state == State::LoggedIn)
    {
        LogLine(1, QStringLiteral("Connection to the server lost"));
        EndConnection(true);
    }
    else if (m_state != State::Offline)
    {
        FailAttempt("socket error", QStringLiteral("The server closed the connection during the login"));
    }
}

void Server::FailAttempt(const std::string& i_reason, const QString& i_logText)
{
    LogLine(1, i_logText);
    DropSocket();
    SetState(State::Offline);
    emit ConnectionFailed(i_reason);
}

void Server::EndConnection(bool i_abrupt)
{
    DropSocket();
    SetState(State::Offline);
    m_abruptlyDisconnected = i_abrupt;
    MarkAllOffline();
    emit Disconnected();
}

void Server::DropSocket()
{
    ++m_socketGeneration;
    if (mp_connectTimer)
        mp_connectTimer->stop();
    QTcpSocket* socket = mp_socket;
    mp_socket = nullptr;
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

void Server::MarkAllOffline()
{
    for (const char* flag : {"is_online", "is_privileged"})
        if (Type* type = d->HasType(flag))
            for (Item* item : type->GetItems())
                item->Disconnect("user");
}

void Server::Write(const MemStream& i_message)
{
    if (mp_socket)
        mp_socket->write(FrameCodec::Encode(i_message));
}

void Server::Send(const MemStream& i_message)
{
    if (m_state == State::LoggedIn)
        Write(i_message);
}

// ---------------------------------------------------------------- reading

bool Server::HandledTheRest()
{
    // What the server sent before the connection ended still counts: its
    // last word may say why it closed. No more than the bounded read buffer
    // is left, so it is handled at once.
    const quint64 generation = m_socketGeneration;
    HandleFrames(std::numeric_limits<int>::max());
    return generation == m_socketGeneration && mp_socket;
}

void Server::OnReadyRead()
{
    if (sender() != mp_socket || !mp_socket)
        return;
    HandleFrames();
}

void Server::HandleFrames(int i_turn)
{
    const quint64 generation = m_socketGeneration;
    FrameView frame;
    for (int handled = 0;; ++handled)
    {
        if (handled == i_turn)
        {
            if (!m_turnPending)
            {
                m_turnPending = true;
                // Whatever connection is current by then: one that replaced
                // this one may have found this turn pending and left its
                // frames to it.
                QTimer::singleShot(0, this, [this] {
                    m_turnPending = false;
                    if (mp_socket)
                        HandleFrames();
                });
            }
            return;
        }
        // One frame at a time: the rest waits in the socket's bounded buffer
        // and the system's, so the server is not read faster than its frames
        // are handled.
        if (m_decoder.ReadFrom(*mp_socket, true) < 0)
        {
            if (m_state == State::LoggedIn)
            {
                LogLine(1, QStringLiteral("Reading from the server failed"));
                EndConnection(true);
            }
            else
            {
                FailAttempt("socket error", QStringLiteral("Reading from the server failed"));
            }
            return;
        }
        const FrameDecoder::Status status = m_decoder.Next(frame);
        if (status == FrameDecoder::NeedMore)
            return;
        if (status == FrameDecoder::Error)
        {
            const QString text =
                QStringLiteral("Bad frame from the server (%1); closing the connection")
                    .arg(FromLatin1(m_decoder.ErrorText()));
            if (m_state == State::LoggedIn)
            {
                LogLine(1, text);
                EndConnection(true);
            }
            else
            {
                FailAttempt("socket error", text);
            }
            return;
        }
        // A copy: handlers emit signals whose slots may end this connection.
        const std::string bytes(frame.mp_data, frame.m_size);
        InputStream in(bytes.data(), bytes.size());
        quint32 code = 0;
        in.ReadUInt32(code);
        HandleFrame(code, in);
        if (generation != m_socketGeneration)
            return;
    }
}

void Server::HandleFrame(quint32 i_code, InputStream& i_in)
{
    if (m_state == State::LoggingIn)
    {
        if (i_code == SM_LOGIN)
            HandleLogin(i_in);
        else
            LogLine(2, QStringLiteral("Server message %1 before the login answer; ignored").arg(CodeName(i_code)));
        return;
    }
    if (m_state != State::LoggedIn)
        return;

    const size_t size = i_in.Remaining();
    switch (i_code)
    {
    case SM_ADD_USER: HandleAddUser(i_in); break;
    case SM_USER_STATUS: HandleUserStatus(i_in); break;
    case SM_PRIVILEGED_USERS: HandlePrivilegedUsers(i_in); break;
    case SM_GET_OWN_PRIVILEGES: HandleOwnPrivileges(i_in); break;
    case SM_GET_USER_STATS: HandleUserStats(i_in); break;
    case SM_ROOM_LIST: HandleRoomList(i_in); break;
    case SM_ENTER_ROOM: HandleEnterRoom(i_in); break;
    case SM_LEAVE_ROOM: HandleLeaveRoom(i_in); break;
    case SM_USER_JOINED_ROOM: HandleUserJoinedRoom(i_in); break;
    case SM_USER_LEFT_ROOM: HandleUserLeftRoom(i_in); break;
    case SM_ROOM_CHAT: HandleRoomChat(i_in); break;
    case SM_PRIVATE_CHAT: HandlePrivateChat(i_in); break;
    case SM_SEARCH_CORRELATIONS: HandleSearchCorrelations(i_in); break;
    case SM_WISH_LIST_INTERVAL: HandleWishListInterval(i_in); break;
    case SM_GET_PEER_ADDRESS: HandlePeerAddress(i_in); break;
    case SM_CONNECT_TO_PEER: HandleConnectToPeer(i_in); break;
    case SM_CANNOT_CONNECT: HandleCannotConnect(i_in); break;
    case SM_POSSIBLE_PARENTS: HandlePossibleParents(i_in); break;
    case SM_DISTRIBUTED_SEARCH: HandleDistributedSearch(i_in); break;
    case SM_LOGIN:
        LogLine(2, QStringLiteral("Login answer while logged in; ignored"));
        return;
    default:
        LogLine(2, QStringLiteral("Unknown server message code %1 (%2 bytes); ignored").arg(i_code).arg(size));
        return;
    }
    if (i_in.Failed())
        LogLine(1, QStringLiteral("Malformed %1 message from the server (%2 bytes); skipped")
                       .arg(CodeName(i_code)).arg(size));
}

void Server::HandleLogin(InputStream& i_in)
{
    quint8 ok = 0;
    std::string text;
    i_in.ReadByte(ok);
    i_in.ReadString(text);
    if (i_in.Failed())
    {
        FailAttempt("socket error", QStringLiteral("Malformed login answer from the server"));
        return;
    }
    if (!ok)
    {
        LogLine(1, QStringLiteral("Login refused: %1").arg(FromLatin1(text)));
        DropSocket();
        SetState(State::Offline);
        const bool wasReporting = m_reportingRefusal;
        m_reportingRefusal = true;
        emit ConnectionFailed(text);
        m_reportingRefusal = wasReporting;
        // A refused login is not retried: the credentials must change first.
        m_abruptlyDisconnected = false;
        return;
    }

    mp_connectTimer->stop();
    SetState(State::LoggedIn);
    LogLine(1, QStringLiteral("Logged in: %1").arg(FromLatin1(text)));
    const quint64 generation = m_socketGeneration;
    // What was asked before this login; the handlers of Connected ask anew
    // for what they want and are not asked for twice.
    const std::set<std::string> pending = m_pendingAddresses;
    emit Connected();
    if (generation == m_socketGeneration && m_state == State::LoggedIn)
        AfterLogin(pending);
}

void Server::AfterLogin(const std::set<std::string>& i_pendingBefore)
{
    if (!m_firstLoginDone)
    {
        m_firstLoginDone = true;
        if (Type* autojoin = d->HasType("room_autojoin"))
            for (Item* flag : autojoin->GetItems())
                for (Item* room : flag->GetItems("room"))
                    EnterRoom(room->AsString());
        if (IsSettingYes("use_upnp") && portForwarder)
            ForwardListenPorts();
    }
    if (Type* tracked = d->HasType("is_tracked"))
        for (Item* flag : tracked->GetItems())
            for (Item* user : flag->GetItems("user"))
                AddUser(user->AsString());
    for (const std::string& user : i_pendingBefore)
    {
        if (!m_pendingAddresses.count(user))
            continue;
        MemStream m = NewMessage(SM_GET_PEER_ADDRESS);
        m.WriteString(user);
        Send(m);
    }
}

// ---------------------------------------------------------------- store effects

void Server::SetOnline(Item* ip_user, bool i_online)
{
    if (i_online)
        ItemPtr(ip_user) += FlagItem("is_online");
    else
        ip_user->Disconnect("is_online");
}

void Server::StoreUserStats(Item* ip_user, const UserStats& i_stats)
{
    ItemPtr(ip_user) += T("average_download_speed")->GetItem(Value(int(i_stats.m_averageSpeed)));
}

void Server::StoreRoomMember(Item* ip_room, const UserInRoom& i_member)
{
    ItemPtr user = UserItem(i_member.m_user);
    // Statistics first: the room's view makes a user's row when the user
    // joins and keeps it, so the numbers must be current by then.
    user += T("average_download_speed")->GetItem(Value(int(i_member.m_stats.m_averageSpeed)));
    user += T("shared_files_count")->GetItem(Value(int(i_member.m_stats.m_sharedFiles)));
    user += T("country_code")->GetItem(i_member.m_country);
    user += ItemPtr(ip_room);
}

bool Server::IsIgnored(const std::string& i_user) const
{
    Item* user = T("user")->HasItem(i_user);
    return user && user->IsConnected("is_ignored");
}

void Server::HandleAddUser(InputStream& i_in)
{
    std::string name;
    quint8 exists = 0;
    quint32 status = 0;
    UserStats stats;
    std::string country;
    i_in.ReadString(name);
    i_in.ReadByte(exists);
    if (exists)
    {
        i_in.ReadUInt32(status);
        stats.Read(i_in);
        if (status > 0)
            i_in.ReadString(country);
    }
    if (i_in.Failed())
        return;

    emit AddUserResponse(name, exists != 0);
    if (!exists)
        return;
    Item* user = UserItem(name);
    StoreUserStats(user, stats);
    ItemPtr(user) += T("shared_files_count")->GetItem(Value(int(stats.m_sharedFiles)));
    if (status > 0)
        ItemPtr(user) += T("country_code")->GetItem(country);
    // The peer network first: the store's receivers may send to the user.
    emit UserStatusReceived(name, status > 0);
    SetOnline(user, status > 0);
}

void Server::HandleUserStatus(InputStream& i_in)
{
    std::string name;
    quint32 status = 0;
    quint8 privileged = 0;
    i_in.ReadString(name);
    i_in.ReadUInt32(status);
    i_in.ReadByte(privileged);
    if (i_in.Failed())
        return;
    Item* user = UserItem(name);
    if (privileged)
        ItemPtr(user) += FlagItem("is_privileged");
    else
        user->Disconnect("is_privileged");
    // The peer network first: the store's receivers may send to the user.
    emit UserStatusReceived(name, status > 0);
    SetOnline(user, status > 0);
}

void Server::HandlePrivilegedUsers(InputStream& i_in)
{
    quint32 count = 0;
    i_in.ReadCount(count, MAX_LISTED_USERS, 4);
    std::set<std::string> names;
    for (quint32 k = 0; k < count && i_in.Ok(); ++k)
    {
        std::string name;
        if (i_in.ReadString(name))
            names.insert(name);
    }
    if (i_in.Failed())
        return;

    Item* flag = FlagItem("is_privileged");
    for (Item* user : flag->GetItems("user"))
        if (!names.count(user->AsString()))
            user->Disconnect(flag);
    for (const std::string& name : names)
        ItemPtr(UserItem(name)) += flag;
}

void Server::HandleOwnPrivileges(InputStream& i_in)
{
    qint32 seconds = 0;
    i_in.ReadInt32(seconds);
    if (i_in.Failed())
        return;
    SetSetting("privileges_time_left", std::to_string(seconds));
    emit ReceivedOwnPrivilegesStatus(seconds);
}

void Server::HandleUserStats(InputStream& i_in)
{
    std::string name;
    UserStats stats;
    i_in.ReadString(name);
    stats.Read(i_in);
    if (i_in.Failed())
        return;
    StoreUserStats(UserItem(name), stats);
    emit ReceivedUserStats(name, stats);
}

void Server::HandleRoomList(InputStream& i_in)
{
    quint32 count = 0;
    i_in.ReadCount(count, MAX_LISTED_ROOMS, 8);
    std::vector<std::pair<std::string, quint32>> rooms;
    rooms.reserve(count);
    for (quint32 k = 0; k < count && i_in.Ok(); ++k)
    {
        std::string name;
        quint32 users = 0;
        i_in.ReadString(name);
        i_in.ReadUInt32(users);
        rooms.emplace_back(std::move(name), users);
    }
    if (i_in.Failed())
        return;
    Type* room = T("room");
    Type* userCount = T("user_count");
    for (const auto& entry : rooms)
        ItemPtr(room->GetItem(entry.first)) += userCount->GetItem(Value(entry.second));
}

void Server::HandleEnterRoom(InputStream& i_in)
{
    std::string name;
    quint32 count = 0;
    i_in.ReadString(name);
    i_in.ReadCount(count, MAX_LISTED_USERS, USER_IN_ROOM_MIN_BYTES);
    std::vector<UserInRoom> members(count);
    for (quint32 k = 0; k < count && i_in.Ok(); ++k)
        members[k].Read(i_in);
    if (i_in.Failed())
        return;

    ItemPtr room = T("room")->GetItem(name);
    room += FlagItem("in_room");
    // The answer lists everyone in the room: whoever was there before goes.
    room.Disconnect("user");
    for (const UserInRoom& member : members)
        StoreRoomMember(room, member);
    LogLine(2, QStringLiteral("Entered room %1 (%2 users)").arg(FromName(name)).arg(count), room);
}

void Server::HandleLeaveRoom(InputStream& i_in)
{
    std::string name;
    i_in.ReadString(name);
    if (i_in.Failed())
        return;
    if (Item* room = T("room")->HasItem(name))
        room->Disconnect("in_room");
}

void Server::HandleUserJoinedRoom(InputStream& i_in)
{
    std::string name;
    UserInRoom member;
    i_in.ReadString(name);
    member.Read(i_in);
    if (i_in.Failed())
        return;
    Item* room = T("room")->HasItem(name);
    if (!room || !room->IsConnected("in_room"))
    {
        LogLine(2, QStringLiteral("User joined room %1, which we are not in; ignored").arg(FromName(name)));
        return;
    }
    StoreRoomMember(room, member);
}

void Server::HandleUserLeftRoom(InputStream& i_in)
{
    std::string roomName;
    std::string userName;
    i_in.ReadString(roomName);
    i_in.ReadString(userName);
    if (i_in.Failed())
        return;
    Item* room = T("room")->HasItem(roomName);
    Item* user = T("user")->HasItem(userName);
    if (room && user)
        user->Disconnect(room);
}

void Server::HandleRoomChat(InputStream& i_in)
{
    std::string room;
    std::string user;
    std::string text;
    i_in.ReadString(room);
    i_in.ReadString(user);
    i_in.ReadString(text);
    if (i_in.Failed())
        return;
    if (!IsIgnored(user))
        emit RoomChat(room, user, text);
}

void Server::HandlePrivateChat(InputStream& i_in)
{
    quint32 id = 0;
    quint32 time = 0;
    std::string user;
    std::string text;
    quint8 spontaneous = 0;
    i_in.ReadUInt32(id);
    i_in.ReadUInt32(time);
    i_in.ReadString(user);
    i_in.ReadString(text);
    i_in.ReadByte(spontaneous);
    if (i_in.Failed())
        return;
    if (!IsIgnored(user))
        emit PrivateChat(user, text, time_t(time), spontaneous != 0);
    // Acknowledged in any case, or the server would hold the message for ever.
    MemStream m = NewMessage(SM_PRIVATE_CHAT_ACK);
    m.WriteUInt32(id);
    Send(m);
}

void Server::HandleSearchCorrelations(InputStream& i_in)
{
    std::string text;
    quint32 count = 0;
    i_in.ReadString(text);
    i_in.ReadCount(count, MAX_CORRELATIONS, 8);
    std::vector<std::pair<std::string, quint32>> related;
    related.reserve(count);
    for (quint32 k = 0; k < count && i_in.Ok(); ++k)
    {
        std::string relatedText;
        quint32 rank = 0;
        i_in.ReadString(relatedText);
        i_in.ReadUInt32(rank);
        related.emplace_back(std::move(relatedText), rank);
    }
    if (i_in.Failed())
        return;

    ItemPtr query = T("search_request_text")->GetItem(text);
    query.GetItems("search_correlation").Remove();
    Type* correlationText = T("correlation_text");
    Type* correlationRank = T("correlation_rank");
    for (const auto& entry : related)
    {
        ItemPtr correlation = query.NewItem("search_correlation");
        correlation += correlationText->GetItem(entry.first);
        correlation += correlationRank->GetItem(Value(entry.second));
    }
    emit SearchCorrelations(text);
}

void Server::HandleWishListInterval(InputStream& i_in)
{
    quint32 seconds = 0;
    i_in.ReadUInt32(seconds);
    if (i_in.Failed())
        return;
    emit WishListIntervalChanged(seconds);
}

void Server::HandlePeerAddress(InputStream& i_in)
{
    std::string user;
    quint32 ip = 0;
    quint32 port = 0;
    quint32 scrambledPort = 0;
    i_in.ReadString(user);
    i_in.ReadUInt32(ip);
    i_in.ReadUInt32(port);
    i_in.ReadUInt32(scrambledPort);
    if (i_in.Failed())
        return;
    // A port that cannot be one means the address is unknown.
    if (port > 65535 || scrambledPort > 65535)
    {
        LogLine(2, QStringLiteral("Address of %1 with an invalid port; taken as unknown").arg(FromName(user)));
        if (port > 65535)
            port = 0;
        if (scrambledPort > 65535)
            scrambledPort = 0;
    }
    m_pendingAddresses.erase(user);
    emit PeerAddressReceived(user, ip, port, scrambledPort);
}

void Server::HandleConnectToPeer(InputStream& i_in)
{
    std::string user;
    std::string type;
    quint32 ip = 0;
    quint32 port = 0;
    quint32 token = 0;
    i_in.ReadString(user);
    i_in.ReadString(type);
    i_in.ReadUInt32(ip);
    i_in.ReadUInt32(port);
    i_in.ReadUInt32(token);
    if (i_in.Ok() && port > 65535)
        i_in.Fail();
    if (i_in.Failed())
        return;
    emit PeerConnectionRequested(user, type, ip, port, token);
}

void Server::HandleCannotConnect(InputStream& i_in)
{
    quint32 token = 0;
    std::string user;
    i_in.ReadUInt32(token);
    i_in.ReadString(user);
    if (i_in.Failed())
        return;
    emit PeerConnectionImpossible(token, user);
}

void Server::HandlePossibleParents(InputStream& i_in)
{
    quint32 count = 0;
    i_in.ReadCount(count, MAX_POSSIBLE_PARENTS, 12);
    std::vector<PossibleParent> parents;
    parents.reserve(count);
    for (quint32 k = 0; k < count && i_in.Ok(); ++k)
    {
        PossibleParent parent;
        i_in.ReadString(parent.user);
        i_in.ReadUInt32(parent.ip);
        i_in.ReadUInt32(parent.port);
        if (i_in.Ok() && parent.port > 65535)
            i_in.Fail();
        parents.push_back(std::move(parent));
    }
    if (i_in.Failed())
        return;
    emit PossibleParentsReceived(parents);
}

void Server::HandleDistributedSearch(InputStream& i_in)
{
    std::string user;
    quint32 token = 0;
    std::string text;
    i_in.ReadString(user);
    i_in.ReadUInt32(token);
    i_in.ReadString(text);
    if (i_in.Failed())
        return;
    emit DistributedSearchReceived(user, token, text);
}

// ---------------------------------------------------------------- requests

void Server::GetOwnPrivilegesStatus()
{
    Send(NewMessage(SM_GET_OWN_PRIVILEGES));
}

void Server::GetRoomList()
{
    Send(NewMessage(SM_ROOM_LIST));
}

void Server::EnterRoom(std::string i_room)
{
    MemStream m = NewMessage(SM_ENTER_ROOM);
    m.WriteString(i_room);
    Send(m);
}

void Server::LeaveRoom(std::string i_room)
{
    Item* room = T("room")->HasItem(i_room);
    if (!room || !room->IsConnected("in_room"))
        return;
    MemStream m = NewMessage(SM_LEAVE_ROOM);
    m.WriteString(i_room);
    Send(m);
}

void Server::SendRoomChat(std::string i_room, std::string i_text)
{
    MemStream m = NewMessage(SM_ROOM_CHAT);
    m.WriteString(i_room);
    m.WriteString(i_text);
    Send(m);
}

void Server::SendPrivateChat(std::string i_user, std::string i_text)
{
    MemStream m = NewMessage(SM_PRIVATE_CHAT);
    m.WriteString(i_user);
    m.WriteString(i_text);
    Send(m);
}

void Server::AddUser(std::string i_user)
{
    MemStream m = NewMessage(SM_ADD_USER);
    m.WriteString(i_user);
    Send(m);
}

void Server::TrackUser(std::string i_user)
{
    ItemPtr user = UserItem(i_user);
    if (user.IsConnected("is_tracked"))
        return;
    user.NewItem("is_tracked");
    AddUser(i_user);
}

void Server::UntrackUser(std::string i_user)
{
    Item* user = T("user")->HasItem(i_user);
    if (!user || !user->IsConnected("is_tracked"))
        return;
    user->Disconnect("is_tracked");
    MemStream m = NewMessage(SM_UNTRACK_USER);
    m.WriteString(i_user);
    Send(m);
}

unsigned int Server::FileSearch(std::string i_text, bool i_wishList)
{
    const unsigned int number = ++m_searchCounter;
    MemStream m = NewMessage(i_wishList ? SM_WISH_LIST_SEARCH : SM_FILE_SEARCH);
    m.WriteUInt32(number);
    m.WriteString(i_text);
    Send(m);

    ItemPtr request = T("search_request")->NewItem(Value(number));
    request += T("search_request_text")->GetItem(i_text);
    if (i_wishList)
        request += FlagItem("wishlist_search");
    emit SearchRequested(number, i_text, i_wishList);
    return number;
}

void Server::GetSearchCorrelations(std::string i_text)
{
    MemStream m = NewMessage(SM_SEARCH_CORRELATIONS);
    m.WriteString(i_text);
    Send(m);
}

void Server::SendFilesFolders(int i_folders, int i_files)
{
    MemStream m = NewMessage(SM_SHARED_FOLDERS_FILES);
    m.WriteInt32(i_folders);
    m.WriteInt32(i_files);
    Send(m);
}

void Server::GetUserStats(std::string i_user)
{
    MemStream m = NewMessage(SM_GET_USER_STATS);
    m.WriteString(i_user);
    Send(m);
}

void Server::SendUploadSpeed(int i_speed)
{
    MemStream m = NewMessage(SM_SEND_UPLOAD_SPEED);
    m.WriteInt32(i_speed);
    Send(m);
}

void Server::SetListenPorts(quint32 i_plainPort, quint32 i_scrambledPort)
{
    m_listenPort = i_plainPort;
    m_scrambledListenPort = i_scrambledPort;
    MemStream m = NewMessage(SM_SET_LISTEN_PORTS);
    m.WriteUInt32(i_plainPort);
    m.WriteUInt32(i_scrambledPort);
    Send(m);
}

void Server::GetPeerAddress(std::string i_user)
{
    // Remembered even while offline: the next login asks again.
    if (m_pendingAddresses.size() < MAX_PENDING_ADDRESSES)
        m_pendingAddresses.insert(i_user);
    MemStream m = NewMessage(SM_GET_PEER_ADDRESS);
    m.WriteString(i_user);
    Send(m);
}

void Server::ConnectToPeer(quint32 i_token, std::string i_user, std::string i_type)
{
    if (m_state == State::LoggedIn)
        LogLine(1, QStringLiteral("Asking the server for an indirect connection to %1 (type %2)")
                       .arg(FromName(i_user), FromLatin1(i_type)));
    MemStream m = NewMessage(SM_CONNECT_TO_PEER);
    m.WriteUInt32(i_token);
    m.WriteString(i_user);
    m.WriteString(i_type);
    Send(m);
}

void Server::SendCannotConnect(quint32 i_token, std::string i_requester)
{
    MemStream m = NewMessage(SM_CANNOT_CONNECT);
    m.WriteUInt32(i_token);
    m.WriteString(i_requester);
    Send(m);
}

void Server::SendHaveNoParent(bool i_noParent)
{
    MemStream m = NewMessage(SM_HAVE_NO_PARENT);
    m.WriteByte(i_noParent ? 1 : 0);
    Send(m);
}

void Server::SendBranchLevel(quint32 i_level)
{
    MemStream m = NewMessage(SM_BRANCH_LEVEL);
    m.WriteUInt32(i_level);
    Send(m);
}

void Server::SendBranchRoot(std::string i_root)
{
    MemStream m = NewMessage(SM_BRANCH_ROOT);
    m.WriteString(i_root);
    Send(m);
}
