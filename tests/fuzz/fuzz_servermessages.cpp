// Feeds arbitrary bytes from the server to the server connection: its frame
// reader and the handler of every message, into the store, without a
// socket. Checked for every input: no crash or sanitizer report; the frame
// reader hands out only frames within its limit; a handler that refuses the
// login drops the connection; once the connection ends no user is online
// and the store's sweep leaves nothing it should keep broken.
//
// The first input byte picks the start: odd, logged in; even, waiting for
// the login answer. The second is the size of the pieces the bytes come in
// (0: all at once); the rest is the byte stream.

#include "FuzzSupport.h"

#include "common/TestEnvironment.h"
#include "Data.h"
#include "FrameCodec.h"
#include "Log.h"
#include "MemStream.h"
#include "server.h"
#include "ProtocolCodes.h"
#include "Stream.h"
#include "UserStats.h"

#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <ctime>
#include <set>

// The frames reach the connection's frame handling as the socket's reader
// hands them on; the server befriends this class.
class ServerProbe
{
public:
    explicit ServerProbe(Server& io_server) : m_server(io_server) {}
    void StartLoggedIn(bool i_loggedIn)
    {
        m_server.SetState(i_loggedIn ? Server::State::LoggedIn : Server::State::LoggingIn);
    }
    bool LoggingIn() const { return m_server.m_state == Server::State::LoggingIn; }
    bool LoggedIn() const { return m_server.m_state == Server::State::LoggedIn; }
    bool Offline() const { return m_server.m_state == Server::State::Offline; }
    quint64 SocketGeneration() const { return m_server.m_socketGeneration; }
    FrameDecoder& Decoder() { return m_server.m_decoder; }
    void HandleFrame(quint32 i_code, InputStream& i_in) { m_server.HandleFrame(i_code, i_in); }
    void EndConnection() { m_server.EndConnection(true); }

private:
    Server& m_server;
};

namespace
{
std::string Frame(quint32 i_code, const std::string& i_fields)
{
    const std::string message = fuzz::U32(i_code) + i_fields;
    return fuzz::U32(quint32(message.size())) + message;
}
}

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv)
{
    using namespace fuzz;
    StartApplication(ip_argc, ip_argv);
    SetLogSink([](const QString&, int, const QString&, ItemPtr) {});

    const std::string user = Str("bob") + U32(2) + U32(4000) + U32(12) + U32(300) + U32(40) + Str("DE");
    const std::string messages =
        Frame(SM_ADD_USER, Str("bob") + std::string(1, '\1') + U32(2) + U32(4000) + U32(12) + U32(300) + U32(40) +
                               Str("DE")) +
        Frame(SM_USER_STATUS, Str("bob") + U32(1) + std::string(1, '\1')) +
        Frame(SM_PRIVILEGED_USERS, U32(2) + Str("bob") + Str("eve")) + Frame(SM_GET_OWN_PRIVILEGES, U32(3600)) +
        Frame(SM_GET_USER_STATS, Str("me") + U32(4000) + U32(12) + U32(300) + U32(40)) +
        Frame(SM_ROOM_LIST, U32(2) + Str("lobby") + U32(12) + Str("jazz") + U32(3)) +
        Frame(SM_ENTER_ROOM, Str("lobby") + U32(1) + user) + Frame(SM_USER_JOINED_ROOM, Str("lobby") + user) +
        Frame(SM_ROOM_CHAT, Str("lobby") + Str("bob") + Str("hello")) +
        Frame(SM_USER_LEFT_ROOM, Str("lobby") + Str("bob")) +
        Frame(SM_PRIVATE_CHAT, U32(7) + U32(1700000000) + Str("bob") + Str("hi") + std::string(1, '\1')) +
        Frame(SM_SEARCH_CORRELATIONS, Str("rock") + U32(1) + Str("metal") + U32(5)) +
        Frame(SM_WISH_LIST_INTERVAL, U32(720)) + Frame(SM_GET_PEER_ADDRESS, Str("bob") + U32(0x7f000001) + U32(2234) + U32(2235)) +
        Frame(SM_CONNECT_TO_PEER, Str("bob") + Str("P") + U32(0x7f000001) + U32(2234) + U32(99)) +
        Frame(SM_CANNOT_CONNECT, U32(99) + Str("bob")) +
        Frame(SM_POSSIBLE_PARENTS, U32(1) + Str("carl") + U32(0x7f000001) + U32(2240)) +
        Frame(SM_DISTRIBUTED_SEARCH, Str("bob") + U32(5) + Str("jazz")) + Frame(SM_LEAVE_ROOM, Str("lobby"));
    Seed(*ip_argc, *ip_argv,
         {std::string("\1\0", 2) + messages, std::string("\0\5", 2) + Frame(SM_LOGIN, std::string(1, '\1') + Str("welcome")) + messages,
          std::string("\0\0", 2) + Frame(SM_LOGIN, std::string(1, '\0') + Str("refused"))});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    using fuzz::Check;
    if (i_size < 2)
        return 0;
    ResetSettingsTypes();
    SetSetting("username", "me");
    Server server;
    server.CreateData();
    ServerProbe probe(server);
    probe.StartLoggedIn(ip_data[0] & 1);

    const char* stream = reinterpret_cast<const char*>(ip_data + 2);
    const size_t size = i_size - 2;
    const size_t step = ip_data[1] == 0 ? size : ip_data[1];
    const quint64 generation = probe.SocketGeneration();
    bool open = true;
    for (size_t at = 0; at < size && open; at += step)
    {
        probe.Decoder().Feed(stream + at, std::min(step, size - at));
        FrameView frame;
        for (;;)
        {
            const FrameDecoder::Status status = probe.Decoder().Next(frame);
            if (status != FrameDecoder::Ready)
            {
                open = status == FrameDecoder::NeedMore;
                break;
            }
            Check(frame.m_size >= MIN_FRAME && frame.m_size <= MAX_SERVER_FRAME, "a frame beyond its limits");
            const std::string bytes(frame.mp_data, frame.m_size);
            InputStream in(bytes.data(), bytes.size());
            quint32 code = 0;
            in.ReadUInt32(code);
            const bool loggingIn = probe.LoggingIn();
            probe.HandleFrame(code, in);
            if (loggingIn && code == SM_LOGIN && !probe.LoggedIn())
                Check(probe.Offline() && generation != probe.SocketGeneration(),
                      "a refused login keeps the connection");
            if (generation != probe.SocketGeneration())
            {
                open = false;
                break;
            }
        }
    }

    probe.EndConnection();
    Type* online = T("is_online");
    Check(online->ItemCount() == 0 || online->GetItems().First()->GetItems("user").empty(),
          "a user is online after the connection ended");
    d->RemoveDisconnectedItems();
    return 0;
}
