// Decoding speed of server messages through the frame decoder and
// InputStream, fed in socket-sized chunks.

#include "FrameCodec.h"
#include "MemStream.h"
#include "ProtocolCodes.h"
#include "UserStats.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

namespace
{
const int ROOM_USERS = 100000;
const int STATUS_MESSAGES = 10000;
const size_t CHUNK = 64 * 1024;

UserInRoom MakeMember(int i_n)
{
    UserInRoom member;
    member.m_user = "user_" + std::to_string(i_n);
    member.m_status = UserInRoom::Online;
    member.m_stats = UserStats(i_n * 10, i_n, i_n % 5000, i_n % 300);
    member.m_country = (i_n % 3) ? "DE" : "";
    return member;
}

// SM_USER_JOINED_ROOM frames: string room, UserInRoom.
const QByteArray& JoinedFrames()
{
    static const QByteArray wire = [] {
        QByteArray all;
        for (int n = 0; n < ROOM_USERS; ++n)
        {
            MemStream body;
            body.WriteUInt32(SM_USER_JOINED_ROOM);
            body.WriteString("lobby");
            MakeMember(n).Write(body);
            all += FrameCodec::Encode(body);
        }
        return all;
    }();
    return wire;
}

// One SM_ENTER_ROOM frame listing every member.
const QByteArray& EnterRoomFrame()
{
    static const QByteArray wire = [] {
        MemStream body;
        body.WriteUInt32(SM_ENTER_ROOM);
        body.WriteString("lobby");
        body.WriteUInt32(ROOM_USERS);
        for (int n = 0; n < ROOM_USERS; ++n)
            MakeMember(n).Write(body);
        return FrameCodec::Encode(body);
    }();
    return wire;
}

// SM_USER_STATUS frames: string user, uint32 status, byte privileged.
const QByteArray& StatusFrames()
{
    static const QByteArray wire = [] {
        QByteArray all;
        for (int n = 0; n < STATUS_MESSAGES; ++n)
        {
            MemStream body;
            body.WriteUInt32(SM_USER_STATUS);
            body.WriteString("user_" + std::to_string(n));
            body.WriteUInt32(n % 3);
            body.WriteByte(n % 2);
            all += FrameCodec::Encode(body);
        }
        return all;
    }();
    return wire;
}

// Feeds the wire in chunks and hands every frame's reader to i_decode.
template <typename Decode>
void RunFrames(const QByteArray& i_wire, Decode i_decode)
{
    FrameDecoder decoder(MAX_SERVER_FRAME);
    FrameView frame;
    for (qsizetype offset = 0; offset < i_wire.size(); offset += CHUNK)
    {
        decoder.Feed(i_wire.constData() + offset, std::min<size_t>(CHUNK, size_t(i_wire.size() - offset)));
        while (decoder.Next(frame) == FrameDecoder::Ready)
        {
            InputStream in(frame.mp_data, frame.m_size);
            quint32 code = 0;
            in.ReadUInt32(code);
            i_decode(code, in);
        }
    }
}

void BM_UserJoinedFrames(benchmark::State& state)
{
    const QByteArray& wire = JoinedFrames();
    std::string room;
    UserInRoom member;
    for (auto _ : state)
    {
        int decoded = 0;
        RunFrames(wire, [&](quint32 i_code, InputStream& i_in) {
            i_in.ReadString(room);
            member.Read(i_in);
            decoded += i_in.Ok() && i_code == SM_USER_JOINED_ROOM;
        });
        if (decoded != ROOM_USERS)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(member);
    }
    state.SetItemsProcessed(state.iterations() * ROOM_USERS);
    state.SetBytesProcessed(state.iterations() * wire.size());
}
BENCHMARK(BM_UserJoinedFrames)->Unit(benchmark::kMillisecond);

void BM_EnterRoomRecords(benchmark::State& state)
{
    const QByteArray& wire = EnterRoomFrame();
    for (auto _ : state)
    {
        std::vector<UserInRoom> members;
        RunFrames(wire, [&](quint32, InputStream& i_in) {
            std::string room;
            quint32 count = 0;
            i_in.ReadString(room);
            if (!i_in.ReadCount(count, std::numeric_limits<quint32>::max(), USER_IN_ROOM_MIN_BYTES))
                return;
            members.resize(count);
            for (UserInRoom& member : members)
                member.Read(i_in);
        });
        if (members.size() != size_t(ROOM_USERS))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(members.data());
    }
    state.SetItemsProcessed(state.iterations() * ROOM_USERS);
    state.SetBytesProcessed(state.iterations() * wire.size());
}
BENCHMARK(BM_EnterRoomRecords)->Unit(benchmark::kMillisecond);

void BM_UserStatusFrames(benchmark::State& state)
{
    const QByteArray& wire = StatusFrames();
    std::string user;
    for (auto _ : state)
    {
        int decoded = 0;
        RunFrames(wire, [&](quint32, InputStream& i_in) {
            quint32 status = 0;
            quint8 privileged = 0;
            i_in.ReadString(user);
            i_in.ReadUInt32(status);
            i_in.ReadByte(privileged);
            decoded += i_in.Ok();
        });
        if (decoded != STATUS_MESSAGES)
            state.SkipWithError("decode failed");
    }
    state.SetItemsProcessed(state.iterations() * STATUS_MESSAGES);
    state.SetBytesProcessed(state.iterations() * wire.size());
}
BENCHMARK(BM_UserStatusFrames)->Unit(benchmark::kMicrosecond);

// The same status messages arriving scrambled, as on a peer connection.
void BM_ScrambledStatusFrames(benchmark::State& state)
{
    const QByteArray& plain = StatusFrames();
    QByteArray wire;
    {
        FrameDecoder split(MAX_SERVER_FRAME);
        split.Feed(plain);
        FrameView frame;
        while (split.Next(frame) == FrameDecoder::Ready)
            wire += FrameCodec::EncodeScrambled(frame.mp_data, frame.m_size, FrameCodec::NewKey());
    }
    std::string user;
    for (auto _ : state)
    {
        FrameDecoder decoder(MAX_PEER_FRAME, true);
        FrameView frame;
        int decoded = 0;
        for (qsizetype offset = 0; offset < wire.size(); offset += CHUNK)
        {
            decoder.Feed(wire.constData() + offset, std::min<size_t>(CHUNK, size_t(wire.size() - offset)));
            while (decoder.Next(frame) == FrameDecoder::Ready)
            {
                InputStream in(frame.mp_data, frame.m_size);
                quint32 code = 0, status = 0;
                quint8 privileged = 0;
                in.ReadUInt32(code);
                in.ReadString(user);
                in.ReadUInt32(status);
                in.ReadByte(privileged);
                decoded += in.Ok();
            }
        }
        if (decoded != STATUS_MESSAGES)
            state.SkipWithError("decode failed");
    }
    state.SetItemsProcessed(state.iterations() * STATUS_MESSAGES);
    state.SetBytesProcessed(state.iterations() * wire.size());
}
BENCHMARK(BM_ScrambledStatusFrames)->Unit(benchmark::kMicrosecond);
}

BENCHMARK_MAIN();
