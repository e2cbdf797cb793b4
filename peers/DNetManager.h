#pragma once
// This client's place in the distributed search tree: one parent (or
// none), up to ten children, the level and branch root that go with the
// parent, the reports of both to the server, and the searches that travel
// down the tree. Connections of type "D" are made and carried by
// peerMessenger; this class decides which to keep. Main thread only;
// global `dnetManager`.

#include "server.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class QTimer;

class DNetManager : public QObject
{
    Q_OBJECT

public:
    // Child users; each may hold two connections at once (its direct and its
    // relayed one arrive together and it keeps one), the second taking no
    // place of its own.
    static constexpr size_t MAX_CHILDREN = 10;
    static constexpr size_t MAX_CONNECTIONS_PER_CHILD = 2;
    // Candidate parents tried at the same time.
    static constexpr size_t MAX_PARENT_ATTEMPTS = 5;
    // Searches remembered to drop the copies that arrive again.
    static constexpr size_t SEARCH_RING_SIZE = 1024;
    // A candidate that has not sent both its level and its root this long
    // after connecting is given up, so silent ones cannot hold the places.
    static constexpr int CANDIDATE_LIMIT_MS = 30000;
    // No real tree is this deep: a parent at this level or above sits in a
    // loop below ourselves (each level we pass down comes back raised), and
    // our own level stays far from the largest.
    static constexpr quint32 MAX_PARENT_LEVEL = 1000;
    // Reports to the server are coalesced to one set per interval.
    static constexpr int REPORT_INTERVAL_MS = 1000;

    // Sets dnetManager; follows gp_server and peerMessenger, which must exist.
    DNetManager();
    ~DNetManager() override;

    // The tree as this client sees it.
    bool HasParent() const { return m_parentConnection != 0; }
    std::string GetParent() const { return m_parentUser; }
    quint32 GetBranchLevel() const;
    std::string GetBranchRoot() const;
    // Distinct child users, not their connections.
    size_t GetChildCount() const;

signals:
    // A search that reached this client from its parent or the server, once
    // per (user, request number); never for our own searches.
    void DNetSearchRequest(std::string i_user, unsigned int i_req, std::string i_searchText);

private slots:
    void OnServerConnected();
    void OnServerDisconnected();
    void OnPossibleParents(std::vector<PossibleParent> i_parents);
    void OnDistributedSearch(std::string i_user, quint32 i_token, std::string i_text);
    void OnConnectionOpened(quint64 i_connection, std::string i_user, bool i_outgoing);
    void OnMessage(quint64 i_connection, std::string i_user, QByteArray i_message);
    void OnConnectionClosed(quint64 i_connection, std::string i_user);
    void OnConnectionFailed(std::string i_user, std::string i_type);

private:
    // Tests and fuzz targets read the inner state through it.
    friend class DNetProbe;

    // A would-be parent: being connected to (connection 0) or connected and
    // waiting for its level and root.
    struct Candidate
    {
        quint64 connection = 0;
        qint64 connectedMs = 0;
        bool hasLevel = false;
        bool hasRoot = false;
        quint32 level = 0;
        std::string root;
    };

    // One decoded distributed message.
    struct Message
    {
        quint32 code = 0;
        quint32 level = 0;
        std::string root;
        std::string user;
        quint32 token = 0;
        std::string text;
    };

    std::string OwnName() const;
    bool IsChild(const std::string& i_user) const { return ConnectionsOf(i_user) != 0; }
    size_t ConnectionsOf(const std::string& i_user) const;
    // False for a malformed message of a known code.
    bool Decode(const QByteArray& i_bytes, Message& o_message) const;

    void StartAttempts();
    void DropCandidate(const std::string& i_user, bool i_close);
    void ConsiderCandidate(const std::string& i_user);
    void Adopt(const std::string& i_user);
    // Gives up the candidates that stayed silent too long; arms the timer
    // for the next one due.
    void ExpireCandidates();
    void LoseParent(const QString& i_why, bool i_close);

    void HandleParentMessage(const Message& i_message);
    void HandleSearch(const std::string& i_user, quint32 i_token, const std::string& i_text,
                      const QString& i_from);
    // Tells the children of a changed level or root and reports to the
    // server while logged in; i_forceReport reports even without a change.
    void Announce(bool i_forceReport);
    // i_now: at once (a login); otherwise at most one set per interval,
    // with the values of the moment it goes out.
    void Report(bool i_now);
    void SendLevelAndRoot(quint64 i_connection);

    QElapsedTimer m_clock;
    QTimer* mp_candidateTimer;
    int m_candidateLimitMs = CANDIDATE_LIMIT_MS;
    QTimer* mp_reportTimer;
    bool m_reported = false;
    qint64 m_reportedMs = 0;

    // Parent.
    quint64 m_parentConnection = 0;
    std::string m_parentUser;
    quint32 m_parentLevel = 0;
    std::string m_parentRoot;

    // Children by connection.
    std::map<quint64, std::string> m_children;

    // Candidates by user; those still waiting for a free attempt in order.
    std::map<std::string, Candidate> m_candidates;
    std::deque<PossibleParent> m_waiting;

    // What the children were last told.
    bool m_announced = false;
    quint32 m_toldLevel = 0;
    std::string m_toldRoot;
    bool m_toldParent = false;

    // The last searches seen, oldest first, and the same as a set.
    std::deque<std::pair<std::string, quint32>> m_ring;
    std::set<std::pair<std::string, quint32>> m_seen;
};

extern DNetManager* dnetManager;
