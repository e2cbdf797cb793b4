// Feeds arbitrary bytes to what reads a peer's bytes: the frame reader,
// plain and scrambled, and the decoder of every peer message. Checked for
// every input: no crash or sanitizer report; the frame reader yields exactly
// the frames, and the error, that a plain re-reading of the layout finds,
// however the bytes arrive; reading a first frame never takes a byte beyond
// it; a decoded share list or search reply, written out again, decodes to
// the same; a search reply reserves no room for more records than its body
// can hold.
//
// The first input byte picks the shape:
//   mode 0/1 (low two bits): a byte stream, plain/scrambled. The next byte
//     picks the frame limit, and whether the stream comes through Feed in
//     pieces or through ReadFrom on a device; the one after it is the piece
//     size. Each frame goes on to the messages: the first to the first-
//     message decoders, the rest by code, compressed bodies inflated.
//   mode 2/3: one message; the next byte picks the code, the rest is its
//     body. Mode 2 gives compressed messages their inflated body as is,
//     mode 3 inflates it first.

#include "FuzzSupport.h"

#include "Compression.h"
#include "FileInfo.h"
#include "FrameCodec.h"
#include "MemStream.h"
#include "PeerMessageDecoders.h"
#include "ProtocolCodes.h"

#include <QBuffer>
#include <QByteArray>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
// Small enough that a zlib bomb in a fuzz input stays cheap, large enough
// for every body a short input can mean.
constexpr size_t FUZZ_INFLATE_CAP = 16u * 1024 * 1024;
constexpr quint32 FIRST_FRAME_LIMIT = 64 * 1024;

const quint32 g_codes[] = {PM_GET_SHARED_FILE_LIST,
                           PM_SHARED_FILE_LIST,
                           PM_FILE_SEARCH_RESULT,
                           PM_GET_SHARED_FILES_IN_FOLDER,
                           PM_SHARED_FILES_IN_FOLDER,
                           PM_TRANSFER_REQUEST,
                           PM_TRANSFER_RESPONSE,
                           PM_QUEUE_UPLOAD,
                           PM_UPLOAD_FAILED,
                           PM_UPLOAD_DENIED,
                           PM_UPLOAD_PLACE_IN_LINE_REQUEST,
                           PM_PEER_INIT,
                           PM_PIERCE_FIREWALL,
                           PM_UPLOAD_PLACE_IN_LINE};
constexpr size_t CODE_COUNT = sizeof g_codes / sizeof g_codes[0];

using fuzz::Check;

bool IsCompressed(quint32 i_code)
{
    return i_code == PM_SHARED_FILE_LIST || i_code == PM_FILE_SEARCH_RESULT ||
           i_code == PM_SHARED_FILES_IN_FOLDER;
}

// ---------------------------------------------------------------- round trips

void WriteTable(MemStream& io_out, const AttributeTranslationTable& i_table)
{
    io_out.WriteUInt32(quint32(i_table.size()));
    for (const auto& entry : i_table)
    {
        io_out.WriteInt32(entry.first);
        io_out.WriteString(entry.second);
    }
}

bool SameFile(const FileInfo& i_a, const FileInfo& i_b)
{
    return i_a.m_name == i_b.m_name && i_a.m_size == i_b.m_size && i_a.m_attributes == i_b.m_attributes;
}

void RoundTrip(const PeerDecoders::SearchResult& i_reply)
{
    MemStream out;
    out.WriteString(i_reply.m_user);
    out.WriteUInt32(i_reply.m_req);
    out.WriteUInt32(quint32(i_reply.m_files.size()));
    for (const FileInfo& file : i_reply.m_files)
        Check(file.Write(out), "a decoded file record does not write");
    out.WriteByte(i_reply.m_freeSlot ? 1 : 0);
    out.WriteUInt32(i_reply.m_speed);
    out.WriteUInt32(i_reply.m_queued);
    WriteTable(out, i_reply.m_table);

    PeerDecoders::SearchResult again;
    Check(PeerDecoders::DecodeSearchResult(out.Data(), out.Size(), again),
          "a search reply written from a decoded one does not decode");
    bool same = again.m_user == i_reply.m_user && again.m_req == i_reply.m_req &&
                again.m_freeSlot == i_reply.m_freeSlot && again.m_speed == i_reply.m_speed &&
                again.m_queued == i_reply.m_queued && again.m_table == i_reply.m_table &&
                again.m_files.size() == i_reply.m_files.size();
    for (size_t k = 0; same && k < again.m_files.size(); ++k)
        same = SameFile(again.m_files[k], i_reply.m_files[k]);
    Check(same, "a search reply does not decode to what was written");
}

void RoundTrip(const PeerDecoders::SharedFileList& i_list)
{
    MemStream out;
    out.WriteUInt32(quint32(i_list.m_share.size()));
    for (const auto& folder : i_list.m_share)
    {
        // A folder listed twice gathers both lists and may then exceed
        // what one record may hold.
        if (folder.second.size() > MAX_FOLDER_RECORDS)
            return;
        out.WriteString(folder.first);
        out.WriteUInt32(quint32(folder.second.size()));
        for (const FileInfo& file : folder.second)
            Check(file.Write(out), "a decoded file record does not write");
    }
    WriteTable(out, i_list.m_table);

    PeerDecoders::SharedFileList again;
    Check(PeerDecoders::DecodeSharedFileList(out.Data(), out.Size(), again),
          "a share list written from a decoded one does not decode");
    bool same = again.m_table == i_list.m_table && again.m_share.size() == i_list.m_share.size();
    for (auto a = again.m_share.cbegin(), b = i_list.m_share.cbegin(); same && a != again.m_share.cend(); ++a, ++b)
    {
        same = a->first == b->first && a->second.size() == b->second.size();
        for (auto x = a->second.cbegin(), y = b->second.cbegin(); same && x != a->second.cend(); ++x, ++y)
            same = SameFile(*x, *y);
    }
    Check(same, "a share list does not decode to what was written");
}

// ---------------------------------------------------------------- messages

// The fields after the code; compressed ones inflated first when asked.
void DecodeMessage(quint32 i_code, const char* ip_body, size_t i_size, bool i_inflate)
{
    std::string inflated;
    if (i_inflate && IsCompressed(i_code))
    {
        if (!Compression::Inflate(ip_body, i_size, inflated, FUZZ_INFLATE_CAP))
            return;
        ip_body = inflated.data();
        i_size = inflated.size();
    }
    switch (i_code)
    {
    case PM_SHARED_FILE_LIST:
    {
        PeerDecoders::SharedFileList m;
        if (PeerDecoders::DecodeSharedFileList(ip_body, i_size, m))
            RoundTrip(m);
        break;
    }
    case PM_FILE_SEARCH_RESULT:
    {
        PeerDecoders::SearchResult m;
        const bool decoded = PeerDecoders::DecodeSearchResult(ip_body, i_size, m);
        // A present record takes 21 bytes at least: room for more was promised by a count alone.
        Check(m.m_files.capacity() * 21 <= i_size, "room reserved for more records than the body holds");
        if (decoded)
            RoundTrip(m);
        break;
    }
    case PM_GET_SHARED_FILES_IN_FOLDER:
    {
        PeerDecoders::GetSharedFilesInFolder m;
        if (PeerDecoders::DecodeGetSharedFilesInFolder(ip_body, i_size, m))
            Check(m.m_folder.size() + 8 <= i_size, "a folder name longer than its message");
        break;
    }
    case PM_SHARED_FILES_IN_FOLDER:
    {
        PeerDecoders::SharedFilesInFolder m;
        if (PeerDecoders::DecodeSharedFilesInFolder(ip_body, i_size, m))
            Check(m.m_fileCount * 21 <= i_size, "more folder records than the body can hold");
        break;
    }
    case PM_TRANSFER_REQUEST:
    {
        PeerDecoders::TransferRequest m;
        if (PeerDecoders::DecodeTransferRequest(ip_body, i_size, m))
            Check(m.m_size >= 0, "a transfer request with a negative size");
        break;
    }
    case PM_TRANSFER_RESPONSE:
    {
        PeerDecoders::TransferResponse m;
        if (PeerDecoders::DecodeTransferResponse(ip_body, i_size, m))
            Check(m.m_size >= 0 && (m.m_allowed || !m.m_withSize), "an inconsistent transfer response");
        break;
    }
    case PM_QUEUE_UPLOAD:
    case PM_UPLOAD_FAILED:
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
    {
        std::string file;
        PeerDecoders::DecodeFileName(ip_body, i_size, file);
        break;
    }
    case PM_UPLOAD_DENIED:
    {
        PeerDecoders::UploadDenied m;
        PeerDecoders::DecodeUploadDenied(ip_body, i_size, m);
        break;
    }
    case PM_UPLOAD_PLACE_IN_LINE:
    {
        PeerDecoders::PlaceInLine m;
        if (PeerDecoders::DecodePlaceInLine(ip_body, i_size, m))
            Check(m.m_place >= 0, "a negative place in line");
        break;
    }
    case PM_PEER_INIT:
    {
        PeerDecoders::PeerInit m;
        if (PeerDecoders::DecodePeerInit(ip_body, i_size, m))
            Check(!m.m_user.empty() && PeerDecoders::IsConnectionType(m.m_type), "a bad first message accepted");
        break;
    }
    case PM_PIERCE_FIREWALL:
    {
        quint32 token = 0;
        PeerDecoders::DecodePierceFirewall(ip_body, i_size, token);
        break;
    }
    default:
        // PM_GET_SHARED_FILE_LIST and unknown codes carry nothing to decode.
        break;
    }
}

// ---------------------------------------------------------------- frames

struct Split
{
    std::vector<std::string> m_frames;   // code + fields, descrambled
    bool m_error = false;
};

// The frames of a byte stream, read straight from the layout: [key] L, L bytes.
Split ReferenceSplit(const char* ip_data, size_t i_size, quint32 i_limit, bool i_scrambled)
{
    Split out;
    const size_t header = i_scrambled ? 8 : 4;
    size_t at = 0;
    while (i_size - at >= header)
    {
        std::string frame(ip_data + at + header - 4, 4);
        quint32 key = 0;
        if (i_scrambled)
        {
            key = qFromLittleEndian<quint32>(ip_data + at);
            quint32 word = key;
            for (size_t k = 0; k < 4; ++k)
                frame[k] = char(quint8(frame[k]) ^ quint8(word >> (8 * k)));
        }
        const quint32 length = qFromLittleEndian<quint32>(frame.data());
        if (length < MIN_FRAME || length > i_limit)
        {
            out.m_error = true;
            return out;
        }
        if (i_size - at - header < length)
            break;
        std::string body(ip_data + at + header, length);
        if (i_scrambled)
        {
            quint32 word = key;
            for (size_t k = 0; k < length; ++k)
            {
                // Byte k of the body is byte k + 4 of the frame.
                if ((k + 4) % 4 == 0)
                    word = word * 1664525u + 1013904223u;
                body[k] = char(quint8(body[k]) ^ quint8(word >> (8 * ((k + 4) % 4))));
            }
        }
        out.m_frames.push_back(std::move(body));
        at += header + length;
    }
    return out;
}

// Takes every ready frame; false once the decoder is in error.
bool Drain(FrameDecoder& io_decoder, std::vector<std::string>& io_frames)
{
    for (;;)
    {
        FrameView frame;
        const FrameDecoder::Status status = io_decoder.Next(frame);
        if (status == FrameDecoder::NeedMore)
            return true;
        if (status == FrameDecoder::Error)
        {
            Check(io_decoder.HasError() && !io_decoder.ErrorText().empty(), "an error without its text");
            return false;
        }
        Check(frame.m_size >= MIN_FRAME, "a frame below the minimum");
        io_frames.emplace_back(frame.mp_data, frame.m_size);
    }
}

void FuzzStream(const uint8_t* ip_data, size_t i_size, bool i_scrambled)
{
    if (i_size < 2)
        return;
    const quint8 config = ip_data[0];
    const size_t piece = ip_data[1];
    const char* stream = reinterpret_cast<const char*>(ip_data + 2);
    const size_t streamSize = i_size - 2;
    const quint32 limits[] = {FIRST_FRAME_LIMIT, MAX_PEER_FRAME, MAX_DISTRIBUTED_FRAME, 64};
    const quint32 limit = limits[config & 3];
    const bool throughDevice = (config & 4) != 0;

    const Split expected = ReferenceSplit(stream, streamSize, limit, i_scrambled);
    FrameDecoder decoder(limit, i_scrambled);
    std::vector<std::string> frames;
    bool ok = true;

    if (!throughDevice)
    {
        // Fed as the socket would hand it over: in pieces of one size, or all at once.
        const size_t step = piece == 0 ? streamSize : piece;
        for (size_t at = 0; at < streamSize && ok; at += step)
        {
            decoder.Feed(stream + at, std::min(step, streamSize - at));
            ok = Drain(decoder, frames);
        }
        if (ok && streamSize == 0)
            ok = Drain(decoder, frames);
    }
    else
    {
        // As a connection reads: one frame at most until the first is in,
        // then whatever is there.
        QByteArray bytes(stream, qsizetype(streamSize));
        QBuffer device(&bytes);
        device.open(QIODevice::ReadOnly);
        FrameView first;
        FrameDecoder::Status status = FrameDecoder::NeedMore;
        while (status == FrameDecoder::NeedMore)
        {
            const qint64 got = decoder.ReadFrom(device, true);
            status = decoder.Next(first);
            if (got <= 0 && status == FrameDecoder::NeedMore)
                break;
        }
        if (status == FrameDecoder::Ready)
        {
            const size_t header = i_scrambled ? 8 : 4;
            Check(size_t(device.pos()) == header + first.m_size, "reading a first frame took bytes beyond it");
            Check(decoder.Buffered() == 0, "bytes buffered beyond a first frame");
            frames.emplace_back(first.mp_data, first.m_size);
            while (ok && decoder.ReadFrom(device) > 0)
                ok = Drain(decoder, frames);
            if (ok)
                ok = Drain(decoder, frames);
        }
        else
        {
            ok = status != FrameDecoder::Error;
        }
    }

    Check(frames == expected.m_frames, "the frame reader and the layout disagree on the frames");
    Check(!ok == expected.m_error, "the frame reader and the layout disagree on an error");

    // What the messenger makes of them.
    for (size_t k = 0; k < frames.size(); ++k)
    {
        const std::string& frame = frames[k];
        const quint32 code = qFromLittleEndian<quint32>(frame.data());
        if (k == 0 && code != PM_PEER_INIT && code != PM_PIERCE_FIREWALL)
            break;
        DecodeMessage(code, frame.data() + 4, frame.size() - 4, true);
    }
}

// ---------------------------------------------------------------- seeds

using fuzz::I64;
using fuzz::Str;
using fuzz::U32;
std::string Record(const std::string& i_name, qint64 i_size)
{
    return fuzz::Record(i_name, i_size, {{0, 192}, {1, 245}});
}
std::string Zlib(const std::string& i_body)
{
    std::string out;
    Compression::Compress(i_body.data(), i_body.size(), out);
    return out;
}

void WriteSeed(const std::string& i_path, const std::string& i_bytes)
{
    FILE* f = std::fopen(i_path.c_str(), "wb");
    Check(f != nullptr, "cannot write a seed");
    Check(std::fwrite(i_bytes.data(), 1, i_bytes.size(), f) == i_bytes.size(), "cannot write a seed");
    std::fclose(f);
}

// One well-formed body per message, as single messages (inflated and
// compressed) and as a plain and a scrambled stream of frames, so that
// short runs from an empty corpus start inside the decoders.
void Seed(const std::string& i_corpus)
{
    const std::string table = U32(1) + U32(0) + Str("bitrate");
    const std::vector<std::pair<quint32, std::string>> bodies = {
        {PM_SHARED_FILE_LIST, U32(2) + Str("Music\\A") + U32(2) + Record("a.mp3", 100) + Record("b.mp3", 5) +
                                  Str("Music\\B") + U32(1) + std::string(1, '\0') + table},
        {PM_FILE_SEARCH_RESULT, Str("bob") + U32(7) + U32(2) + Record("Music\\A\\a.mp3", 100) +
                                    Record("top.txt", 3) + std::string(1, '\1') + U32(2048) + U32(3) + table},
        {PM_GET_SHARED_FILES_IN_FOLDER, U32(12) + Str("Music\\A")},
        {PM_SHARED_FILES_IN_FOLDER,
         U32(3) + Str("Music\\A") + U32(1) + Str("Music\\A") + U32(1) + Record("a.mp3", 1) + U32(0)},
        {PM_TRANSFER_REQUEST, U32(1) + U32(5) + Str("Music\\A\\a.mp3") + I64(5000000000LL)},
        {PM_TRANSFER_RESPONSE, U32(5) + std::string(1, '\1') + I64(77)},
        {PM_QUEUE_UPLOAD, Str("Music\\A\\a.mp3")},
        {PM_UPLOAD_FAILED, Str("Music\\A\\a.mp3")},
        {PM_UPLOAD_DENIED, Str("Music\\A\\a.mp3") + Str("File not shared.")},
        {PM_UPLOAD_PLACE_IN_LINE_REQUEST, Str("Music\\A\\a.mp3")},
        {PM_UPLOAD_PLACE_IN_LINE, Str("Music\\A\\a.mp3") + U32(4)},
        {PM_PEER_INIT, Str("bob") + Str("P") + U32(0)},
        {PM_PIERCE_FIREWALL, U32(99)},
    };
    std::string plain;
    std::string scrambled;
    quint32 key = 0x01020304;
    const auto frameOf = [](quint32 i_code, const std::string& i_fields) {
        const std::string message = U32(i_code) + i_fields;
        return U32(quint32(message.size())) + message;
    };
    // A stream starts with its first message.
    const std::string init = frameOf(PM_PEER_INIT, Str("bob") + Str("P") + U32(0));
    plain += init;
    scrambled += FrameCodec::Scramble(init.data(), init.size(), key++).toStdString();
    for (const auto& [code, body] : bodies)
    {
        size_t index = 0;
        while (g_codes[index] != code)
            ++index;
        const std::string name = i_corpus + "/seed-" + std::to_string(code);
        WriteSeed(name + "-body", std::string(1, '\2') + char(index) + body);
        if (IsCompressed(code))
            WriteSeed(name + "-zlib", std::string(1, '\3') + char(index) + Zlib(body));
        const std::string frame = frameOf(code, IsCompressed(code) ? Zlib(body) : body);
        if (code != PM_PEER_INIT && code != PM_PIERCE_FIREWALL)
        {
            plain += frame;
            scrambled += FrameCodec::Scramble(frame.data(), frame.size(), key++).toStdString();
        }
    }
    // Limit of a first frame, pieces of 7 bytes; through the device.
    WriteSeed(i_corpus + "/seed-stream-plain", std::string("\0\0\7", 3) + plain);
    WriteSeed(i_corpus + "/seed-stream-scrambled", std::string("\1\1\0", 3) + scrambled);
    WriteSeed(i_corpus + "/seed-stream-device", std::string("\1\5\0", 3) + scrambled);
}
}

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv)
{
    for (int k = 1; k < *ip_argc && !fuzz::InputsListed(*ip_argc, *ip_argv); ++k)
        if (fuzz::IsEmptyFolder((*ip_argv)[k]))
            Seed((*ip_argv)[k]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    const int mode = ip_data[0] & 3;
    if (mode < 2)
    {
        FuzzStream(ip_data + 1, i_size - 1, mode == 1);
        return 0;
    }
    if (i_size < 2)
        return 0;
    const quint32 code = g_codes[ip_data[1] % CODE_COUNT];
    DecodeMessage(code, reinterpret_cast<const char*>(ip_data + 2), i_size - 2, mode == 3);
    return 0;
}
