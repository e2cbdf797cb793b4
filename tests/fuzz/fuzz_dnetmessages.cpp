// Drives this client's place in the distributed network with arbitrary
// events and messages: possible parents from the server, connections that
// open and close, the bytes of distributed messages from candidates,
// parent and children, and searches from the server. The peer network is
// real but opens no socket: parents come without an address and nothing
// listens. Checked after every event: no crash or sanitizer report; at most
// ten child users, two connections of any one, and five candidates, none
// once a parent is taken; the parent is never this client, its level below
// the bound of a real tree; a search reaches the shares once per user and
// number, never this client's own.
//
// The input is a list of events: a byte picks the event, the bytes after it
// its user, connection and fields.

#include "FuzzSupport.h"

#include "common/TestEnvironment.h"
#include "peers/DNetProbe.h"
#include "Log.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "server.h"

#include <QByteArray>
#include <QObject>

#include <deque>
#include <initializer_list>
#include <map>
#include <set>

namespace
{
const char* const g_users[] = {"me", "p1", "p2", "p3", "p4", "p5", "p6", "c1", "c2", "c3", "c4", "c5"};
constexpr size_t USER_COUNT = sizeof g_users / sizeof g_users[0];

std::string User(fuzz::Bytes& io_in)
{
    return g_users[io_in.Byte() % USER_COUNT];
}

// A message of a known code with fields from the input, or raw bytes.
QByteArray Message(fuzz::Bytes& io_in)
{
    const uint8_t shape = io_in.Byte();
    MemStream m;
    switch (shape % 5)
    {
    case 0:
    {
        // A small level, or one at the edges: the bound of a real tree and the largest.
        const quint32 edges[] = {999, 1000, 0xfffffffeu, 0xffffffffu};
        m.WriteUInt32(DM_BRANCH_LEVEL);
        m.WriteUInt32(shape & 0x80 ? edges[(shape >> 5) & 3] : io_in.Byte());
        break;
    }
    case 1:
        m.WriteUInt32(DM_BRANCH_ROOT);
        m.WriteString(shape & 0x80 ? User(io_in) : io_in.Text(16));
        break;
    case 2:
        m.WriteUInt32(DM_SEARCH_REQUEST);
        m.WriteString(User(io_in));
        m.WriteUInt32(io_in.Byte());
        m.WriteString(io_in.Text(32));
        break;
    default:
    {
        const std::string raw = io_in.Text();
        return QByteArray(raw.data(), qsizetype(raw.size()));
    }
    }
    return QByteArray(m.Data(), qsizetype(m.Size()));
}

void CheckTree(const DNetManager& i_node, const DNetProbe& i_probe, const std::string& i_own)
{
    using fuzz::Check;
    Check(i_node.GetChildCount() <= DNetManager::MAX_CHILDREN, "more than ten child users");
    Check(i_probe.MostConnectionsOfOneChild() <= DNetManager::MAX_CONNECTIONS_PER_CHILD,
          "more than two connections of one child");
    Check(i_probe.CandidateCount() <= DNetManager::MAX_PARENT_ATTEMPTS, "more than five candidates");
    if (i_node.HasParent())
    {
        Check(i_probe.CandidateCount() == 0 && i_probe.WaitingCount() == 0, "candidates beside a parent");
        Check(i_node.GetParent() != i_own, "this client is its own parent");
        Check(i_probe.ParentLevel() < DNetManager::MAX_PARENT_LEVEL, "a parent beyond any real tree's depth");
    }
}
}

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv)
{
    using fuzz::U32;
    fuzz::StartApplication(ip_argc, ip_argv);
    ResetTestEnvironment();
    new Server;
    gp_server->CreateData();
    SetSetting("username", "me");
    // Nothing listens: the listeners open only once the state is loaded.
    // The same input takes the same paths: the clock stands still and the
    // tokens of requests follow one another, whatever the time and run.
    auto* messenger = new PeerMessenger;
    messenger->SetClock([] { return qint64(1000000); });
    messenger->SetTokenSource([next = quint32(0)]() mutable { return ++next; });
    SetLogSink([](const QString&, int, const QString&, ItemPtr) {});

    // Parents p1 and p2; p1 connects, tells level 3 and root p6 and becomes
    // the parent; c1 joins as a child; p1 sends a search twice and goes.
    const auto bytes = [](std::initializer_list<int> i_bytes) {
        std::string out;
        for (int b : i_bytes)
            out += char(b);
        return out;
    };
    const std::string search = bytes({2, 1, 1, 2, 5, 42, 4}) + "rock";
    const std::string adopt = bytes({0, 2, 1, 2}) + bytes({1, 1, 1, 1}) + bytes({2, 1, 1, 0, 3}) +
                              bytes({2, 1, 1, 0x83, 6}) + bytes({1, 2, 7, 0}) + search + search + bytes({3, 1, 1});
    // A search from the server, a failed "P" connection, a level too large.
    const std::string other = bytes({4, 3, 42, 4}) + "jazz" + bytes({5, 1, 2}) + bytes({2, 7, 2, 0xff});
    fuzz::Seed(*ip_argc, *ip_argv, {adopt, other});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    using fuzz::Check;
    const std::string own = "me";
    DNetManager node;
    DNetProbe probe(node);
    std::set<std::pair<std::string, unsigned int>> searches;
    bool repeated = false;
    QObject::connect(&node, &DNetManager::DNetSearchRequest, [&](std::string i_user, unsigned int i_req, std::string) {
        Check(i_user != own, "our own search reached the shares");
        repeated = repeated || !searches.insert({i_user, i_req}).second;
    });

    fuzz::Bytes in(ip_data, i_size);
    while (!in.Empty())
    {
        switch (in.Byte() % 7)
        {
        case 0:
        {
            std::vector<PossibleParent> parents(in.Byte() % 8);
            for (PossibleParent& parent : parents)
                parent.user = User(in);
            probe.PossibleParents(parents);
            break;
        }
        case 1:
        {
            const quint64 connection = in.Byte() % 16 + 1;
            const std::string user = User(in);
            probe.ConnectionOpened(connection, user, in.Byte() & 1);
            break;
        }
        case 2:
        {
            const quint64 connection = in.Byte() % 16 + 1;
            const std::string user = User(in);
            probe.Message(connection, user, Message(in));
            break;
        }
        case 3:
        {
            const quint64 connection = in.Byte() % 16 + 1;
            probe.ConnectionClosed(connection, User(in));
            break;
        }
        case 4:
        {
            const std::string user = User(in);
            const quint32 token = in.Byte();
            probe.DistributedSearch(user, token, in.Text(32));
            break;
        }
        case 5:
        {
            const std::string user = User(in);
            probe.ConnectionFailed(user, in.Byte() & 1 ? "D" : "P");
            break;
        }
        default:
            if (in.Byte() & 1)
                probe.ServerConnected();
            else
                probe.ServerDisconnected();
            break;
        }
        CheckTree(node, probe, own);
        // Searches are told apart by the last ones seen only.
        Check(!repeated || searches.size() >= DNetManager::SEARCH_RING_SIZE, "a search reached the shares twice");
    }
    return 0;
}
