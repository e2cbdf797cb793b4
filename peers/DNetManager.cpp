#include "DNetManager.h"

#include "Log.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "TextConversion.h"

#include <QTimer>

#include <algorithm>

DNetManager* dnetManager = nullptr;

namespace
{
const QString LOG_CATEGORY = QStringLiteral("Distributed Network");
// Longest user name accepted in a distributed message.
constexpr size_t MAX_USER_NAME = 1024;
// The most of a search's text its log line shows: a text may be near a
// megabyte, and the line is built whether anyone keeps it or not.
constexpr size_t MAX_LOGGED_TEXT = 256;

void DLog(int i_level, const QString& i_text)
{
    Log(LOG_CATEGORY, i_level, i_text);
}

QString LoggedText(const std::string& i_text)
{
    if (i_text.size() <= MAX_LOGGED_TEXT)
        return FromUtf8(i_text);
    // Cut before a character, not within one.
    size_t end = MAX_LOGGED_TEXT;
    while (end > 0 && (quint8(i_text[end]) & 0xC0) == 0x80)
        --end;
    return FromUtf8(i_text.substr(0, end)) + QString("%1 (%2 bytes)").arg(QChar(0x2026)).arg(i_text.size());
}

}

DNetManager::DNetManager() : mp_candidateTimer(new QTimer(this)), mp_reportTimer(new QTimer(this))
{
    dnetManager = this;
    m_clock.start();
    mp_candidateTimer->setSingleShot(true);
    connect(mp_candidateTimer, &QTimer::timeout, this, [this] { ExpireCandidates(); });
    // Precise: a coarse timer may fire early and let two reports through
    // within one interval.
    mp_reportTimer->setSingleShot(true);
    mp_reportTimer->setTimerType(Qt::PreciseTimer);
    connect(mp_reportTimer, &QTimer::timeout, this, [this] { Report(true); });
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &DNetManager::OnServerConnected);
        connect(gp_server, &Server::Disconnected, this, &DNetManager::OnServerDisconnected);
        connect(gp_server, &Server::PossibleParentsReceived, this, &DNetManager::OnPossibleParents);
        connect(gp_server, &Server::DistributedSearchReceived, this, &DNetManager::OnDistributedSearch);
    }
    if (peerMessenger)
    {
        connect(peerMessenger, &PeerMessenger::DistributedConnectionOpened, this,
                &DNetManager::OnConnectionOpened);
        connect(peerMessenger, &PeerMessenger::DistributedMessage, this, &DNetManager::OnMessage);
        connect(peerMessenger, &PeerMessenger::DistributedConnectionClosed, this,
                &DNetManager::OnConnectionClosed);
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this,
                &DNetManager::OnConnectionFailed);
    }
}

DNetManager::~DNetManager()
{
    // The other ends learn at once that this node is gone.
    if (peerMessenger)
    {
        disconnect(peerMessenger, nullptr, this, nullptr);
        if (m_parentConnection)
            peerMessenger->CloseDistributedConnection(m_parentConnection);
        for (const auto& child : m_children)
            peerMessenger->CloseDistributedConnection(child.first);
        for (const auto& candidate : m_candidates)
            if (candidate.second.connection)
                peerMessenger->CloseDistributedConnection(candidate.second.connection);
    }
    if (dnetManager == this)
        dnetManager = nullptr;
}

quint32 DNetManager::GetBranchLevel() const
{
    return HasParent() ? m_parentLevel + 1 : 0;
}

std::string DNetManager::GetBranchRoot() const
{
    return HasParent() ? m_parentRoot : OwnName();
}

std::string DNetManager::OwnName() const
{
    return gp_server ? gp_server->GetUsername() : std::string();
}

size_t DNetManager::ConnectionsOf(const std::string& i_user) const
{
    size_t count = 0;
    for (const auto& child : m_children)
        count += child.second == i_user;
    return count;
}

size_t DNetManager::GetChildCount() const
{
    std::set<std::string> users;
    for (const auto& child : m_children)
        users.insert(child.second);
    return users.size();
}

// ---------------------------------------------------------------- server

void DNetManager::OnServerConnected()
{
    Announce(true);
}

void DNetManager::OnServerDisconnected()
{
    // The tree lives on peer connections and goes on without the server:
    // parent, children and searches from the parent stay. Reports stop
    // (the server drops them while offline) and are made afresh at login.
    DLog(2, QStringLiteral("Logged out: keeping the tree, reporting again at the next login"));
}

void DNetManager::Report(bool i_now)
{
    if (!gp_server || !gp_server->IsConnected())
        return;
    const qint64 now = m_clock.elapsed();
    if (!i_now && m_reported && now - m_reportedMs < REPORT_INTERVAL_MS)
    {
        if (!mp_reportTimer->isActive())
            mp_reportTimer->start(int(REPORT_INTERVAL_MS - (now - m_reportedMs)));
        return;
    }
    mp_reportTimer->stop();
    m_reported = true;
    m_reportedMs = now;
    const quint32 level = GetBranchLevel();
    const std::string root = GetBranchRoot();
    gp_server->SendHaveNoParent(!HasParent());
    gp_server->SendBranchLevel(level);
    gp_server->SendBranchRoot(root);
    DLog(2, QString("Told the server: %1, level %2, branch root %3")
                .arg(HasParent() ? QStringLiteral("parent ") + FromName(m_parentUser)
                                 : QStringLiteral("no parent"))
                .arg(level)
                .arg(FromName(root)));
}

void DNetManager::Announce(bool i_forceReport)
{
    const quint32 level = GetBranchLevel();
    const std::string root = GetBranchRoot();
    const bool changed = !m_announced || level != m_toldLevel || root != m_toldRoot ||
                         HasParent() != m_toldParent;
    m_announced = true;
    m_toldLevel = level;
    m_toldRoot = root;
    m_toldParent = HasParent();
    if (changed && !m_children.empty())
    {
        DLog(2, QString("Telling %1 child(ren): level %2, branch root %3")
                    .arg(GetChildCount())
                    .arg(level)
                    .arg(FromName(root)));
        std::vector<quint64> ids;
        for (const auto& child : m_children)
            ids.push_back(child.first);
        for (quint64 id : ids)
            SendLevelAndRoot(id);
    }
    if (changed || i_forceReport)
        Report(i_forceReport);
}

void DNetManager::SendLevelAndRoot(quint64 i_connection)
{
    if (!peerMessenger)
        return;
    MemStream level = NewMessage(DM_BRANCH_LEVEL);
    level.WriteUInt32(GetBranchLevel());
    MemStream root = NewMessage(DM_BRANCH_ROOT);
    root.WriteString(GetBranchRoot());
    peerMessenger->SendDistributedMessage(i_connection, level);
    peerMessenger->SendDistributedMessage(i_connection, root);
}

// ---------------------------------------------------------------- finding a parent

void DNetManager::OnPossibleParents(std::vector<PossibleParent> i_parents)
{
    if (HasParent())
    {
        DLog(2, QString("The server named %1 possible parent(s); we have a parent already")
                    .arg(i_parents.size()));
        return;
    }
    DLog(1, QString("The server named %1 possible parent(s)").arg(i_parents.size()));
    // A fresh list replaces the candidates not yet tried.
    m_waiting.clear();
    const std::string own = OwnName();
    std::set<std::string> listed;
    for (const PossibleParent& parent : i_parents)
    {
        if (parent.user.empty() || parent.user == own || IsChild(parent.user) ||
            m_candidates.count(parent.user) || !listed.insert(parent.user).second)
        {
            DLog(2, QString("Not trying user \"%1\" as parent").arg(FromName(parent.user)));
            continue;
        }
        m_waiting.push_back(parent);
    }
    StartAttempts();
}

void DNetManager::StartAttempts()
{
    while (!HasParent() && m_candidates.size() < MAX_PARENT_ATTEMPTS && !m_waiting.empty())
    {
        const PossibleParent parent = m_waiting.front();
        m_waiting.pop_front();
        // Children may have come since the list arrived.
        if (IsChild(parent.user) || m_candidates.count(parent.user) || parent.user == OwnName())
            continue;
        m_candidates[parent.user] = Candidate();
        DLog(2, QString("Trying user %1 as parent").arg(FromName(parent.user)));
        if (peerMessenger)
            peerMessenger->RequestDistributedConnection(parent.user, parent.ip, parent.port);
    }
}

void DNetManager::DropCandidate(const std::string& i_user, bool i_close)
{
    auto it = m_candidates.find(i_user);
    if (it == m_candidates.end())
        return;
    const quint64 connection = it->second.connection;
    m_candidates.erase(it);
    if (i_close && connection && peerMessenger)
        peerMessenger->CloseDistributedConnection(connection);
    StartAttempts();
}

void DNetManager::OnConnectionFailed(std::string i_user, std::string i_type)
{
    if (i_type != "D")
        return;
    auto it = m_candidates.find(i_user);
    if (it == m_candidates.end() || it->second.connection != 0)
        return;
    DLog(2, QString("Cannot connect to possible parent %1").arg(FromName(i_user)));
    DropCandidate(i_user, false);
}

void DNetManager::ExpireCandidates()
{
    const qint64 now = m_clock.elapsed();
    std::vector<std::string> silent;
    qint64 nextDueMs = -1;
    for (const auto& candidate : m_candidates)
    {
        if (!candidate.second.connection)
            continue;
        const qint64 dueMs = candidate.second.connectedMs + m_candidateLimitMs;
        if (dueMs <= now)
            silent.push_back(candidate.first);
        else if (nextDueMs < 0 || dueMs < nextDueMs)
            nextDueMs = dueMs;
    }
    for (const std::string& user : silent)
    {
        DLog(1, QString("Giving up possible parent %1: no level and root within %2 s of connecting")
                    .arg(FromName(user))
                    .arg(m_candidateLimitMs / 1000.0));
        DropCandidate(user, true);
    }
    // Dropping started new attempts; those connect later and arm the timer
    // themselves when it is idle.
    if (nextDueMs >= 0 && !mp_candidateTimer->isActive())
        mp_candidateTimer->start(int(std::max<qint64>(nextDueMs - now, 1)));
}

void DNetManager::ConsiderCandidate(const std::string& i_user)
{
    auto it = m_candidates.find(i_user);
    if (it == m_candidates.end() || !it->second.hasLevel || !it->second.hasRoot || HasParent())
        return;
    if (it->second.root == OwnName())
    {
        DLog(1, QString("Refusing user %1 as parent: its branch root is us").arg(FromName(i_user)));
        DropCandidate(i_user, true);
        return;
    }
    if (IsChild(i_user))
    {
        DLog(1, QString("Refusing user %1 as parent: it is our child").arg(FromName(i_user)));
        DropCandidate(i_user, true);
        return;
    }
    if (it->second.level >= MAX_PARENT_LEVEL)
    {
        DLog(1, QString("Refusing user %1 as parent: its level %2 is beyond any real tree")
                    .arg(FromName(i_user))
                    .arg(it->second.level));
        DropCandidate(i_user, true);
        return;
    }
    Adopt(i_user);
}

void DNetManager::Adopt(const std::string& i_user)
{
    const Candidate chosen = m_candidates[i_user];
    m_candidates.erase(i_user);
    m_parentConnection = chosen.connection;
    m_parentUser = i_user;
    m_parentLevel = chosen.level;
    m_parentRoot = chosen.root;

    // The others are no longer wanted; attempts still under way are closed
    // when they come up.
    std::map<std::string, Candidate> others;
    others.swap(m_candidates);
    m_waiting.clear();
    if (peerMessenger)
        for (const auto& other : others)
            if (other.second.connection)
                peerMessenger->CloseDistributedConnection(other.second.connection);

    DLog(1, QString("User %1 is our parent: level %2, branch root %3")
                .arg(FromName(i_user))
                .arg(GetBranchLevel())
                .arg(FromName(m_parentRoot)));
    Announce(false);
}

void DNetManager::LoseParent(const QString& i_why, bool i_close)
{
    if (!HasParent())
        return;
    const quint64 connection = m_parentConnection;
    DLog(1, QString("Parent %1 is gone (%2)").arg(FromName(m_parentUser), i_why));
    m_parentConnection = 0;
    m_parentUser.clear();
    m_parentLevel = 0;
    m_parentRoot.clear();
    if (i_close && peerMessenger)
        peerMessenger->CloseDistributedConnection(connection);
    Announce(false);
}

// ---------------------------------------------------------------- connections

void DNetManager::OnConnectionOpened(quint64 i_connection, std::string i_user, bool i_outgoing)
{
    if (!peerMessenger)
        return;
    if (i_outgoing)
    {
        auto it = m_candidates.find(i_user);
        if (HasParent() || it == m_candidates.end() || it->second.connection != 0)
        {
            DLog(2, QString("Connection to %1 no longer wanted as parent, closing it").arg(FromName(i_user)));
            peerMessenger->CloseDistributedConnection(i_connection);
            return;
        }
        it->second.connection = i_connection;
        it->second.connectedMs = m_clock.elapsed();
        DLog(2, QString("Connected to possible parent %1, waiting for its level and root")
                    .arg(FromName(i_user)));
        if (!mp_candidateTimer->isActive())
            mp_candidateTimer->start(m_candidateLimitMs);
        return;
    }

    // A child's direct and server-relayed connections can both arrive; it keeps
    // one and closes the other, so its second connection takes no place of its
    // own (refusing it could drop the one the child kept). A third is refused.
    const size_t connectionsOfUser = ConnectionsOf(i_user);
    if (connectionsOfUser >= MAX_CONNECTIONS_PER_CHILD)
    {
        DLog(1, QString("Refusing child %1: it is connected twice already").arg(FromName(i_user)));
        peerMessenger->CloseDistributedConnection(i_connection);
        return;
    }
    if (connectionsOfUser == 0 && GetChildCount() >= MAX_CHILDREN)
    {
        DLog(1, QString("Refusing child %1: we have %2 children").arg(FromName(i_user)).arg(MAX_CHILDREN));
        peerMessenger->CloseDistributedConnection(i_connection);
        return;
    }
    if (i_user == OwnName() || (HasParent() && i_user == m_parentUser))
    {
        DLog(1, QString("Refusing child %1: it would close a loop").arg(FromName(i_user)));
        peerMessenger->CloseDistributedConnection(i_connection);
        return;
    }
    m_children[i_connection] = i_user;
    DLog(1, QString("User %1 is our child (%2 of %3)%4")
                .arg(FromName(i_user))
                .arg(GetChildCount())
                .arg(MAX_CHILDREN)
                .arg(connectionsOfUser ? QStringLiteral(", on a second connection") : QString()));
    SendLevelAndRoot(i_connection);
}

void DNetManager::OnConnectionClosed(quint64 i_connection, std::string i_user)
{
    if (i_connection == m_parentConnection && m_parentConnection != 0)
    {
        LoseParent(QStringLiteral("connection closed"), false);
        return;
    }
    auto child = m_children.find(i_connection);
    if (child != m_children.end())
    {
        m_children.erase(child);
        if (IsChild(i_user))
            DLog(2, QString("Child %1 closed one of its two connections").arg(FromName(i_user)));
        else
            DLog(1, QString("Child %1 is gone (%2 left)").arg(FromName(i_user)).arg(GetChildCount()));
        return;
    }
    auto candidate = m_candidates.find(i_user);
    if (candidate != m_candidates.end() && candidate->second.connection == i_connection)
    {
        DLog(2, QString("Possible parent %1 closed the connection").arg(FromName(i_user)));
        DropCandidate(i_user, false);
    }
}

bool DNetManager::Decode(const QByteArray& i_bytes, Message& o_message) const
{
    InputStream in(i_bytes.constData(), size_t(i_bytes.size()));
    in.ReadUInt32(o_message.code);
    switch (o_message.code)
    {
    case DM_BRANCH_LEVEL:
        in.ReadUInt32(o_message.level);
        break;
    case DM_BRANCH_ROOT:
        in.ReadString(o_message.root, MAX_USER_NAME);
        if (in.Ok() && o_message.root.empty())
            in.Fail();
        break;
    case DM_SEARCH_REQUEST:
        in.ReadString(o_message.user, MAX_USER_NAME);
        in.ReadUInt32(o_message.token);
        in.ReadString(o_message.text, MAX_DISTRIBUTED_FRAME);
        if (in.Ok() && o_message.user.empty())
            in.Fail();
        break;
    default:
        break;
    }
    return in.Ok();
}

void DNetManager::OnMessage(quint64 i_connection, std::string i_user, QByteArray i_message)
{
    const bool fromParent = i_connection == m_parentConnection && m_parentConnection != 0;
    const bool fromChild = m_children.count(i_connection) != 0;
    auto candidate = m_candidates.find(i_user);
    const bool fromCandidate =
        candidate != m_candidates.end() && candidate->second.connection == i_connection;
    if (!fromParent && !fromChild && !fromCandidate)
        return;

    Message message;
    if (!Decode(i_message, message))
    {
        DLog(1, QString("Malformed distributed message (code %1) from %2, closing the connection")
                    .arg(message.code)
                    .arg(FromName(i_user)));
        if (peerMessenger)
            peerMessenger->CloseDistributedConnection(i_connection);
        if (fromParent)
            LoseParent(QStringLiteral("malformed message"), false);
        else if (fromChild)
            m_children.erase(i_connection);
        else
            DropCandidate(i_user, false);
        return;
    }
    const bool known = message.code == DM_BRANCH_LEVEL || message.code == DM_BRANCH_ROOT ||
                       message.code == DM_SEARCH_REQUEST;
    if (!known)
    {
        DLog(2, QString("Ignoring distributed message with unknown code %1 from %2")
                    .arg(message.code)
                    .arg(FromName(i_user)));
        return;
    }

    if (fromParent)
    {
        HandleParentMessage(message);
        return;
    }
    if (fromChild)
    {
        DLog(2, QString("Ignoring distributed message (code %1) from child %2")
                    .arg(message.code)
                    .arg(FromName(i_user)));
        return;
    }
    // A candidate: only its level and root count until it is our parent.
    if (message.code == DM_BRANCH_LEVEL)
    {
        candidate->second.level = message.level;
        candidate->second.hasLevel = true;
    }
    else if (message.code == DM_BRANCH_ROOT)
    {
        candidate->second.root = message.root;
        candidate->second.hasRoot = true;
    }
    else
    {
        DLog(2, QString("Ignoring a search from %1, which is not our parent yet").arg(FromName(i_user)));
        return;
    }
    ConsiderCandidate(i_user);
}

void DNetManager::HandleParentMessage(const Message& i_message)
{
    switch (i_message.code)
    {
    case DM_BRANCH_LEVEL:
        if (i_message.level >= MAX_PARENT_LEVEL)
        {
            LoseParent(QString("its level %1 is beyond any real tree: a loop").arg(i_message.level), true);
            return;
        }
        m_parentLevel = i_message.level;
        Announce(false);
        break;
    case DM_BRANCH_ROOT:
        if (i_message.root == OwnName())
        {
            LoseParent(QStringLiteral("its branch root is us"), true);
            return;
        }
        m_parentRoot = i_message.root;
        Announce(false);
        break;
    case DM_SEARCH_REQUEST:
        HandleSearch(i_message.user, i_message.token, i_message.text,
                     QStringLiteral("parent ") + FromName(m_parentUser));
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- searches

void DNetManager::OnDistributedSearch(std::string i_user, quint32 i_token, std::string i_text)
{
    HandleSearch(i_user, i_token, i_text, QStringLiteral("the server"));
}

void DNetManager::HandleSearch(const std::string& i_user, quint32 i_token, const std::string& i_text,
                               const QString& i_from)
{
    const std::pair<std::string, quint32> key(i_user, i_token);
    if (m_seen.count(key))
    {
        DLog(2, QString("Dropping search %1 of %2 from %3: seen already")
                    .arg(i_token)
                    .arg(FromName(i_user), i_from));
        return;
    }
    m_seen.insert(key);
    m_ring.push_back(key);
    if (m_ring.size() > SEARCH_RING_SIZE)
    {
        m_seen.erase(m_ring.front());
        m_ring.pop_front();
    }
    DLog(2, QString("Search %1 of %2 from %3: \"%4\"")
                .arg(i_token)
                .arg(FromName(i_user), i_from, LoggedText(i_text)));

    if (i_user != OwnName())
        emit DNetSearchRequest(i_user, i_token, i_text);

    if (m_children.empty() || !peerMessenger)
        return;
    MemStream forward = NewMessage(DM_SEARCH_REQUEST);
    forward.WriteString(i_user);
    forward.WriteUInt32(i_token);
    forward.WriteString(i_text);
    std::vector<quint64> ids;
    for (const auto& child : m_children)
        ids.push_back(child.first);
    for (quint64 id : ids)
        if (m_children.count(id))
            peerMessenger->SendDistributedMessage(id, forward);
}
