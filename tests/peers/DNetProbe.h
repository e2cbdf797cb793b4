#pragma once
// The distributed-network node seen from inside, for tests and fuzz
// targets: its slots called as the server and the peer network call them,
// without sockets in between, and the state a check needs. The node
// befriends this class.

#include "DNetManager.h"

#include <algorithm>
#include <map>

class DNetProbe
{
public:
    explicit DNetProbe(DNetManager& io_node) : m_node(io_node) {}

    void ServerConnected() { m_node.OnServerConnected(); }
    void ServerDisconnected() { m_node.OnServerDisconnected(); }
    void PossibleParents(std::vector<PossibleParent> i_parents) { m_node.OnPossibleParents(std::move(i_parents)); }
    void DistributedSearch(std::string i_user, quint32 i_token, std::string i_text)
    {
        m_node.OnDistributedSearch(std::move(i_user), i_token, std::move(i_text));
    }
    void ConnectionOpened(quint64 i_connection, std::string i_user, bool i_outgoing)
    {
        m_node.OnConnectionOpened(i_connection, std::move(i_user), i_outgoing);
    }
    void Message(quint64 i_connection, std::string i_user, QByteArray i_message)
    {
        m_node.OnMessage(i_connection, std::move(i_user), std::move(i_message));
    }
    void ConnectionClosed(quint64 i_connection, std::string i_user)
    {
        m_node.OnConnectionClosed(i_connection, std::move(i_user));
    }
    void ConnectionFailed(std::string i_user, std::string i_type)
    {
        m_node.OnConnectionFailed(std::move(i_user), std::move(i_type));
    }

    // A shorter limit for silent candidates than the real 30 s.
    void SetCandidateLimitMs(int i_ms) { m_node.m_candidateLimitMs = i_ms; }

    size_t CandidateCount() const { return m_node.m_candidates.size(); }
    size_t WaitingCount() const { return m_node.m_waiting.size(); }
    quint32 ParentLevel() const { return m_node.m_parentLevel; }
    // The most connections one child user holds.
    size_t MostConnectionsOfOneChild() const
    {
        std::map<std::string, size_t> perUser;
        size_t most = 0;
        for (const auto& child : m_node.m_children)
            most = std::max(most, ++perUser[child.second]);
        return most;
    }

private:
    DNetManager& m_node;
};
