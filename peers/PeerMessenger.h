#pragma once
// Connections to other clients: the plain and the scrambled listener,
// connections made directly and through the server at once, the first
// message and the connection types "P" (peer messages), "F" (one file
// transfer) and "D" (distributed network), and every peer message.
// Runs on the main thread; global `peerMessenger`.

#include "Data.h"
#include "FileInfo.h"
#include "MemStream.h"
#include "PeerAttempts.h"
#include "PeerBounds.h"
#include "PeerClaims.h"
#include "PeerOutput.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class PeerConnection;
class QTcpServer;
class QTcpSocket;

class PeerMessenger : public QObject, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    static constexpr quint16 DEFAULT_LISTENING_PORT = 2235;
    static constexpr quint16 DEFAULT_OBFUSCATED_LISTENING_PORT = 8973;
    // Frames of one connection handled before the others get their turn.
    static constexpr int FRAMES_PER_TURN = 32;
    // A listener whose accept failed tries again after this long.
    static constexpr int ACCEPT_RETRY_MS = 1000;

    // Sets peerMessenger; creates the peer types; registers DataLoaded()
    // with dataSaver; follows gp_server and the 30-second timer.
    PeerMessenger();
    ~PeerMessenger() override;

    // Moves a pending new_listening_port into listening_port and opens the
    // two listeners.
    void DataLoaded() override;

    // Sends a complete message (uint32 code first) over the user's most
    // recent "P" connection; without one keeps it and connects first.
    void SendMessage(std::string i_user, const MemStream& i_message);
    // The same for an answer to a user's search, which waits for a
    // connection only within the byte bounds of the kept messages. A search
    // of the user's is a sign that he is online.
    void SendAnswer(std::string i_user, const MemStream& i_message);
    void GetUserSharedFiles(std::string i_user);
    // The user no longer waits for a list asked for (its browse closed).
    void CancelShareListRequest(std::string i_user);
    void QueueDownload(std::string i_user, std::string i_file);
    // Takes the next number of the setting transfer_req_counter, sends the
    // transfer request (direction 1) and returns the number.
    unsigned int RequestUpload(std::string i_user, std::string i_file, long long i_size);
    void AcceptTransferRequest(std::string i_user, unsigned int i_req, bool i_withSize,
                               long long i_size);
    void DenyTransferRequest(std::string i_user, unsigned int i_req, std::string i_reason);
    void DenyUpload(std::string i_user, std::string i_file, std::string i_reason);
    // Opens an "F" connection, directly and through the server; its socket
    // arrives as FileConnectionAccepted, a failure as ConnectionToUserFailed.
    void RequestFileConnectionToUser(std::string i_user);

    // Distributed network. Opens a "D" connection to the user, directly to
    // the given address (a.b.c.d as (a<<24)|...|d, plain port) and through
    // the server at once. Success: DistributedConnectionOpened(.., true);
    // failure: ConnectionToUserFailed(user, "D"). A second request for a
    // user whose "D" attempt is still under way is ignored.
    void RequestDistributedConnection(std::string i_user, quint32 i_ip, quint32 i_port);
    // Sends a complete message (uint32 code first) on an open "D"
    // connection; false when there is no such connection.
    bool SendDistributedMessage(quint64 i_connection, const MemStream& i_message);
    // Closes a "D" connection; DistributedConnectionClosed is not emitted.
    void CloseDistributedConnection(quint64 i_connection);

    // Ports the listeners hold (0 when not listening).
    quint16 ListeningPort() const;
    quint16 ObfuscatedListeningPort() const;

    // For tests: the clock of the time-outs (milliseconds, monotonic) and
    // the cap on inflated bodies.
    void SetClock(std::function<qint64()> i_now);
    void SetInflateCap(size_t i_cap);
    // For fuzzing: where the tokens of our requests come from, so that the
    // same inputs take the same paths (unforeseeable ones otherwise).
    void SetTokenSource(std::function<quint32()> i_next);

public slots:
    // The 30-second housekeeping: time limits of first messages, attempts
    // and idle "P" connections.
    void OnHalfMinuteTimer();

signals:
    void UserShare(std::string i_user, FileInfoMap& i_share, AttributeTranslationTable& i_table);
    void SharedFilesInFolderRequested(std::string i_user, unsigned int i_req, std::string i_folder);
    // i_reached: the connection reaches the user; otherwise it only claims
    // the name, and the user's lists and groups do not count.
    void QueueUploadRequested(std::string i_user, std::string i_file, bool i_reached);
    void FileTransferRequested(std::string i_user, int i_direction, unsigned int i_req,
                               std::string i_file, qint64 i_size);
    void FileTransferResponse(std::string i_user, unsigned int i_req, bool i_accepted,
                              bool i_receivedFileSize, qint64 i_fileSize, std::string i_reason);
    // The socket is the receiver's from here on.
    void FileConnectionAccepted(std::string i_user, QTcpSocket* ip_socket);
    void FileConnectionRequested(std::string i_user, QTcpSocket* ip_socket, unsigned int i_req);
    void UploadDenied(std::string i_user, std::string i_file, std::string i_reason);
    void UploadFailed(std::string i_user, std::string i_file);
    void DownloadPlaceInLine(std::string i_user, std::string i_file, int i_place);
    void SearchResults(ItemPtr i_searchResults);
    void ConnectionToUserFailed(std::string i_user, std::string i_type);

    // A "D" connection is up. i_outgoing: we asked for it (we are the
    // child); otherwise the other side asked (it wants us as its parent).
    void DistributedConnectionOpened(quint64 i_connection, std::string i_user, bool i_outgoing);
    // One frame of a "D" connection: uint32 code, then the fields.
    void DistributedMessage(quint64 i_connection, std::string i_user, QByteArray i_message);
    // The connection ended without CloseDistributedConnection (closed by
    // the other side, lost, or closed for a malformed frame).
    void DistributedConnectionClosed(quint64 i_connection, std::string i_user);

private slots:
    void OnServerConnected();
    void OnServerDisconnected();
    void OnPeerAddressReceived(std::string i_user, quint32 i_ip, quint32 i_port,
                               quint32 i_scrambledPort);
    void OnPeerConnectionRequested(std::string i_user, std::string i_type, quint32 i_ip,
                                   quint32 i_port, quint32 i_token);
    void OnPeerConnectionImpossible(quint32 i_token, std::string i_user);
    void OnUserStatusReceived(std::string i_user, bool i_online);

private:
    using Attempt = PeerAttempts::Attempt;

    qint64 Now() const;
    std::string OwnName() const;
    void CreateTypes();
    bool OpenListener(QTcpServer* ip_listener, quint16 i_port, const char* ip_what);
    void SendListenPorts();

    // Connections.
    PeerConnection* NewConnection(QTcpSocket* ip_socket, bool i_scrambled);
    PeerConnection* Find(quint64 i_id) const;
    void OnNewIncoming(QTcpServer* ip_listener, bool i_scrambled);
    void OnAcceptError(QTcpServer* ip_listener, const char* ip_what);
    void OnSocketConnected(quint64 i_id);
    void OnSocketReadyRead(quint64 i_id);
    void OnSocketWritten(quint64 i_id);
    void OnSocketLost(quint64 i_id);
    void OnConnectFailed(PeerConnection* ip_conn, const QString& i_why);
    void ConnectOut(PeerConnection* ip_conn, quint32 i_ip, quint32 i_port);
    bool MayConnect(bool i_relayed) const;
    void BeginConnect(PeerConnection* ip_conn, quint32 i_ip, quint32 i_port, bool i_relayed);
    // Whether the connection was one of the connects under way.
    bool EndConnect(quint64 i_id);
    void StartWaitingConnects();
    // Closes incoming connections until one more from the address fits.
    void MakeRoomForIncoming(quint32 i_address);
    void ProcessIncoming(PeerConnection* ip_conn);
    // Another turn of reading for a connection, from the event loop.
    void ScheduleTurn(PeerConnection* ip_conn);
    void TakeTurn(quint64 i_id);
    void HandleFirstFrame(PeerConnection* ip_conn, const char* ip_frame, quint32 i_size);
    void BecomeEstablished(PeerConnection* ip_conn);
    void ReadRequestNumber(PeerConnection* ip_conn);
    void HandOverFileConnection(PeerConnection* ip_conn);
    void CloseConnection(PeerConnection* ip_conn, const QString& i_why, int i_level = 2);
    // Drops a closed or handed-over connection from the books.
    void Forget(PeerConnection* ip_conn);
    void Malformed(PeerConnection* ip_conn, quint32 i_code);
    // The newest open "P" connection of the user; by default only one that
    // reaches the user and has been heard from lately, not one that merely
    // claims the name or has long been silent.
    PeerConnection* LatestMessagingConnection(const std::string& i_user, bool i_reaching = true) const;
    // Whether what we send the user on our own, and what the user's files
    // are, may go on the connection (PeerClaims decides).
    bool ReachesUser(const PeerConnection* ip_conn) const { return m_claims.Reaches(ip_conn); }
    // Whether the server connection is down but will be made again, or has
    // not been made yet.
    bool ServerComingBack() const;
    bool ServerUp() const;
    // The connection's claim of its user waits for a proof; false when it
    // is refused, with the reason logged. o_tell: the claimant is to be told
    // (the budget had no room for it).
    bool Claim(PeerConnection* ip_conn, bool i_expected, const QString& i_what, bool* o_tell = nullptr);
    // Whether a request whose answer depends on who asks waits, unread, for
    // the proof of the connection's claim: only one from a connection that
    // does not reach the user it names, who is shown more than a stranger.
    // It is answered after the proof, as the user's or as a stranger's.
    bool AwaitsAsker(PeerConnection* ip_conn, quint32 i_code);
    // Whether a notice that ends or changes a transfer with the connection's
    // user (a response to an offer, a denial, a failure) is taken: only from
    // a connection that reaches him, so a claimant cannot end his download.
    // Logs what it ignores.
    bool TakesNotice(PeerConnection* ip_conn, bool i_reached, quint32 i_code);
    // The user's proof is over, or has shown what it could: what waited on
    // it goes on, or goes.
    void SettleProof(const std::string& i_user, bool i_over, quint32 i_answeredFrom = 0);
    // Claims whose turn has come are proved; those that waited too long go.
    void ServeClaims();
    // Asks the server where the user is, unless asked already.
    void AskAddress(const std::string& i_user);
    // A newcomer at a full address waited for the server's answer about
    // its user: it stays, pushing out another, or goes.
    void EndAdmissionWaits(const std::string& i_user);
    void HandFileOnward(PeerConnection* ip_conn);
    // Messages kept for users get another attempt after a login: the users
    // are lined up, and taken a batch a turn.
    void RetryKept();
    void RetryNextBatch();
    void Deliver(const std::string& i_user, const MemStream& i_message, bool i_answer);
    // An answer of ours to the user while a request from a connection that
    // does not reach him is handled: it goes on that connection or nowhere,
    // never kept for him. False when it is not such an answer.
    bool AnswerToClaimant(const std::string& i_user, const MemStream& i_message);
    // Keeps a message until a "P" connection to the user is up; false when
    // nothing is kept for him.
    bool Keep(const std::string& i_user, const MemStream& i_message, bool i_answer);
    // Discards what is kept for the user; how many messages went.
    size_t DiscardKept(const std::string& i_user);
    // A reply to a request read from the connection goes on it or nowhere.
    // A shared one is sent from the bytes given, not copied.
    void Reply(PeerConnection* ip_conn, const MemStream& i_message);
    void ReplyShared(PeerConnection* ip_conn, const QByteArray& i_message);
    bool MayReply(PeerConnection* ip_conn, size_t i_size);
    // Messages of ours and answers to searches; replies go through Reply.
    enum class Output { Ours, Answer };
    void Write(PeerConnection* ip_conn, const char* ip_message, size_t i_size, Output i_kind = Output::Ours);
    // The size of the answer to the request in the frame, where it can be
    // known before the request is read.
    qint64 AnswerSize(PeerConnection* ip_conn, const char* ip_frame, quint32 i_size) const;
    // Closes a connection whose other side does not read what we send.
    void CloseStuck(PeerConnection* ip_conn, const QString& i_why);
    void FlushUnsent(const std::string& i_user, PeerConnection* ip_conn);
    // Counts what the connection's frame buffer holds; past the total the
    // connection holding the most is closed.
    void CountHeld(PeerConnection* ip_conn);
    // How large a frame with this code a "P" connection may bring.
    quint32 PeerFrameLimit(quint64 i_id, quint32 i_code) const;
    // The connections bringing in share lists we asked for, still moving.
    std::set<quint64> AskedListsMoving() const;
    // Our requests for share lists that the messages no longer carry.
    void ForgetListRequests(const std::string& i_user, const std::deque<QByteArray>& i_messages);
    // Takes one request for the user's list off the books, the oldest or
    // the newest; false when none was out.
    bool TakeListRequest(const std::string& i_user, bool i_newest);
    // Requests whose list has not begun to come within its time.
    void ExpireListRequests();

    // Attempts.
    void StartAttempt(const std::string& i_user, const std::string& i_type, quint32 i_ip = 0,
                      quint32 i_port = 0);
    Attempt* FindAttempt(quint64 i_id);
    Attempt* PendingAttempt(const std::string& i_user, const std::string& i_type);
    quint32 NewToken();
    void DirectLegFailed(quint64 i_attempt);
    void ScheduleCheck(quint64 i_attempt);
    // Ends the attempt when both legs have failed; i_quiet: the caller logs
    // one line for many. True when it ended.
    bool CheckAttempt(quint64 i_attempt, bool i_quiet = false);
    void FinishAttempt(quint64 i_attempt, quint64 i_winner);

    // Messages of "P" connections.
    void HandleMessage(PeerConnection* ip_conn, const char* ip_frame, quint32 i_size);
    // Compressed bodies: the bytes after the code. False: malformed.
    bool InflateBody(const std::string& i_user, quint32 i_code, const char* ip_data, size_t i_size,
                     std::string& o_body);
    void InflateFailed(const std::string& i_user, quint32 i_code, size_t i_cap);
    bool HandleSharedFileList(PeerConnection* ip_conn, const char* ip_data, size_t i_size);
    bool HandleSearchResult(PeerConnection* ip_conn, const char* ip_data, size_t i_size);
    bool HandleFolderContents(const std::string& i_user, const char* ip_data, size_t i_size);
    // How many more results of the user the search may take; logs once per
    // user and search when that is fewer than i_wanted.
    size_t ResultRoom(quint32 i_req, Item* ip_request, const std::string& i_user, size_t i_wanted = 0);
    void StoreSearchResult(const std::string& i_user, const std::string& i_replier,
                           quint32 i_req, const std::vector<FileInfo>& i_files, bool i_freeSlot,
                           quint32 i_speed, quint32 i_queued);

    QTcpServer* mp_listener;
    QTcpServer* mp_obfuscatedListener;
    std::map<quint64, PeerConnection*> m_connections;
    // Open "P" connections per user, oldest first.
    std::map<std::string, std::vector<quint64>> m_messaging;
    PeerBounds m_bounds;
    PeerOutput m_output;
    // Results stored per search of ours, counted against its bounds; the
    // request item's serial tells a search from a later one of that number.
    struct SearchTally
    {
        uint64_t serial = 0;
        size_t total = 0;
        std::map<std::string, size_t> perUser;
        std::set<std::string> dropLogged;
    };
    std::map<quint32, SearchTally> m_searchTallies;
    // Our attempts and the messages kept for users.
    PeerAttempts m_attempts;
    bool m_retryPosted = false;
    // Attempts begun from what is sent, in the turn begun at m_attemptTurnMs.
    qint64 m_attemptTurnMs = 0;
    size_t m_attemptsThisTurn = 0;
    // The connection whose request is being handled, and the user it names.
    struct Answering
    {
        quint64 id = 0;
        std::string user;
    };
    Answering m_answering;
    // Outgoing connects under way, and those waiting for a place.
    struct WaitingConnect
    {
        quint64 connection = 0;
        quint32 ip = 0;
        quint32 port = 0;
        bool relayed = false;
    };
    std::set<quint64> m_connecting;
    std::set<quint64> m_relayedConnecting;
    std::deque<WaitingConnect> m_waitingConnects;
    bool m_waitingStartPosted = false;
    bool m_connectLimitLogged = false;
    // Whether a listener's failing accept has been logged since its last
    // success, and whether it has accepted since its last error.
    struct ListenerState
    {
        bool failing = false;
        bool accepted = false;
    };
    std::map<QTcpServer*, ListenerState> m_listenerStates;
    // Our requests for share lists not answered yet, per user, when each
    // went out: only an answer is inflated and stored.
    std::map<std::string, std::deque<qint64>> m_shareListsAsked;
    // Who connections belong to, and the users whose address we asked for
    // (when) to know whether a connection claiming the name is theirs.
    PeerClaims m_claims;
    std::map<std::string, qint64> m_addressAsked;
    QTimer* mp_claimTimer = nullptr;
    bool m_loggedInOnce = false;
    quint64 m_nextId = 1;
    quint32 m_nextToken;
    std::function<qint64()> m_clock;
    std::function<quint32()> m_tokenSource;
    size_t m_inflateCap;
};

extern PeerMessenger* peerMessenger;
