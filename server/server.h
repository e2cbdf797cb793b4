#pragma once
// The connection to the central server: login, reconnection, every message
// sent to and received from the server, and the user and room part of the
// store. Runs on the main thread; global `gp_server`.

#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "Data.h"
#include "FrameCodec.h"
#include "UserStats.h"

class MemStream;
class InputStream;
class PortForwarder;
class QTimer;

// A candidate parent of the distributed network, as the server names it.
struct PossibleParent {
    std::string user;
    quint32 ip = 0;     // a.b.c.d as (a<<24)|(b<<16)|(c<<8)|d
    quint32 port = 0;
};
Q_DECLARE_METATYPE(PossibleParent)
Q_DECLARE_METATYPE(std::vector<PossibleParent>)

class Server : public QObject, public DataHandler, public DataLoadedEventHandler {
    Q_OBJECT
public:
    // Default address of the central server when the settings hold none.
    static constexpr const char* DEFAULT_HOST = "server.tavrinel.net";
    static constexpr quint16 DEFAULT_PORT = 2242;
    // The network's web site, home of the support page (https).
    static constexpr const char* WEB_HOST = "www.tavrinel.net";

    Server();
    ~Server() override;

    // Creates the user and room types and relations and registers the saved
    // ones; called once, right after construction.
    void CreateData();
    void DataLoaded() override;

    void Connect();
    void Disconnect();
    bool IsConnected() const { return m_loggedIn; }
    bool IsAbruptlyDisconnected() const { return m_abruptlyDisconnected; }

    // Requests; each is dropped while not logged in.
    void GetOwnPrivilegesStatus();
    void GetRoomList();
    void EnterRoom(std::string i_room);
    void LeaveRoom(std::string i_room);
    void SendRoomChat(std::string i_room, std::string i_text);
    void SendPrivateChat(std::string i_user, std::string i_text);
    void AddUser(std::string i_user);
    void TrackUser(std::string i_user);
    void UntrackUser(std::string i_user);
    unsigned int FileSearch(std::string i_text, bool i_wishList);
    void GetSearchCorrelations(std::string i_text);
    void SendFilesFolders(int i_folders, int i_files);
    void GetUserStats(std::string i_user);
    void SendUploadSpeed(int i_speed);

    // What the peer and distributed networks need.
    // The ports the peer network listens on (0: not listening); the port
    // forwarder maps these and no others.
    void SetListenPorts(quint32 i_plainPort, quint32 i_scrambledPort);
    void GetPeerAddress(std::string i_user);
    // The addresses asked for are wanted no more: the next login does not
    // ask for them again.
    void ForgetPendingAddresses() { m_pendingAddresses.clear(); }
    void ConnectToPeer(quint32 i_token, std::string i_user, std::string i_type);
    void SendCannotConnect(quint32 i_token, std::string i_requester);
    void SendHaveNoParent(bool i_noParent);
    void SendBranchLevel(quint32 i_level);
    void SendBranchRoot(std::string i_root);

    // The user name this client logs in with (the setting `username`).
    std::string GetUsername() const;

    // How long a connection attempt (TCP connect and login answer) may take
    // before it counts as failed; tests shorten it.
    void SetConnectTimeout(int i_ms);

public slots:
    void OnConnected();
    // The 30-second tick: reconnects after an abrupt loss. Public so tests
    // can drive it without waiting.
    void OnHalfMinuteTimer();

signals:
    void Connecting();
    void Connected();
    void Disconnected();
    void ConnectionFailed(std::string i_reason);
    void PrivateChat(std::string i_user, std::string i_text, time_t i_time, bool i_spontaneous);
    void RoomChat(std::string i_room, std::string i_user, std::string i_chat);
    void SearchRequested(unsigned int i_req, std::string i_search, bool i_wishListSearch);
    void AddUserResponse(std::string i_user, bool i_added);
    void SearchCorrelations(std::string i_search);
    void ReceivedOwnPrivilegesStatus(int i_seconds);
    void ReceivedUserStats(std::string i_user, UserStats i_stats);
    void WishListIntervalChanged(unsigned int i_seconds);
    // The server's word on a user's status (an answer to adding him, or a
    // report of a change).
    void UserStatusReceived(std::string i_user, bool i_online);

    // Peer network: an address answer (ip 0 or port 0: unknown or offline),
    // a relayed request to connect to a user, and a relayed failure.
    void PeerAddressReceived(std::string i_user, quint32 i_ip, quint32 i_port, quint32 i_scrambledPort);
    void PeerConnectionRequested(std::string i_user, std::string i_type, quint32 i_ip, quint32 i_port, quint32 i_token);
    void PeerConnectionImpossible(quint32 i_token, std::string i_user);

    // Distributed network.
    void PossibleParentsReceived(std::vector<PossibleParent> i_parents);
    void DistributedSearchReceived(std::string i_user, quint32 i_token, std::string i_text);

private slots:
    void OnReadyRead();
    void OnSocketDisconnected();
    void OnSocketError(QAbstractSocket::SocketError i_error);
    void OnConnectTimeout();
    void OnHourTimer();

private:
    // The fuzz target feeds frames to the handlers through it, without a socket.
    friend class ServerProbe;

    // Frames handled before the peer connections and the window get their
    // turn; a burst of relayed searches is otherwise seconds of work.
    static constexpr int FRAMES_PER_TURN = 32;
    // What the socket takes in ahead of the frames being handled.
    static constexpr qint64 READ_BUFFER_BYTES = 1024 * 1024;
    // Handles the buffered frames, a turn of i_turn frames at a time.
    void HandleFrames(int i_turn = FRAMES_PER_TURN);
    // Handles every frame left once the connection has ended; false when a
    // handler ended it meanwhile.
    bool HandledTheRest();

    enum class State { Offline, Connecting, LoggingIn, LoggedIn };
    void SetState(State i_state)
    {
        m_state = i_state;
        m_loggedIn = i_state == State::LoggedIn;
    }

    // Sends a message while logged in; drops it otherwise.
    void Send(const MemStream& i_message);
    void Write(const MemStream& i_message);
    void HandleFrame(quint32 i_code, InputStream& i_in);
    void HandleLogin(InputStream& i_in);
    void AfterLogin(const std::set<std::string>& i_pendingBefore);
    // A failed attempt before the login was accepted.
    void FailAttempt(const std::string& i_reason, const QString& i_logText);
    // The end of a logged-in connection: by the user or lost.
    void EndConnection(bool i_abrupt);
    void DropSocket();
    void MarkAllOffline();
    void StoreUserStats(Item* ip_user, const UserStats& i_stats);
    void StoreRoomMember(Item* ip_room, const UserInRoom& i_member);
    void SetOnline(Item* ip_user, bool i_online);
    bool IsIgnored(const std::string& i_user) const;

    void HandleAddUser(InputStream& i_in);
    void HandleUserStatus(InputStream& i_in);
    void HandlePrivilegedUsers(InputStream& i_in);
    void HandleOwnPrivileges(InputStream& i_in);
    void HandleUserStats(InputStream& i_in);
    void HandleRoomList(InputStream& i_in);
    void HandleEnterRoom(InputStream& i_in);
    void HandleLeaveRoom(InputStream& i_in);
    void HandleUserJoinedRoom(InputStream& i_in);
    void HandleUserLeftRoom(InputStream& i_in);
    void HandleRoomChat(InputStream& i_in);
    void HandlePrivateChat(InputStream& i_in);
    void HandleSearchCorrelations(InputStream& i_in);
    void HandleWishListInterval(InputStream& i_in);
    void HandlePeerAddress(InputStream& i_in);
    void HandleConnectToPeer(InputStream& i_in);
    void HandleCannotConnect(InputStream& i_in);
    void HandlePossibleParents(InputStream& i_in);
    void HandleDistributedSearch(InputStream& i_in);
    // Searches for the gateway when none is known, and maps the listening ports.
    void ForwardListenPorts();

    QPointer<QTcpSocket> mp_socket;
    QTimer* mp_connectTimer = nullptr;
    PortForwarder* mp_portForwarder = nullptr;
    int m_connectTimeoutMs = 20000;
    FrameDecoder m_decoder;
    State m_state = State::Offline;
    bool m_loggedIn = false;
    bool m_abruptlyDisconnected = false;
    bool m_firstLoginDone = false;
    // The listening ports as last reported to the server.
    quint32 m_listenPort = 0;
    quint32 m_scrambledListenPort = 0;
    // True while a refused login is being reported: a receiver may show a
    // modal box whose event loop runs the reconnection tick before the
    // abrupt-loss flag has been lowered.
    bool m_reportingRefusal = false;
    // Changes whenever the socket is replaced or dropped, so a frame loop
    // stops once a handler has ended the connection it was reading.
    quint64 m_socketGeneration = 0;
    bool m_turnPending = false;
    unsigned int m_searchCounter = 0;
    // Users whose address was asked for and not yet answered; asked again
    // at every login.
    std::set<std::string> m_pendingAddresses;
};

extern Server* gp_server;
