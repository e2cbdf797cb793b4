#include "Compression.h"

#include "MemStream.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace Compression
{
namespace
{
// Deflates the bytes in one go, with a window no larger than they need: a
// zlib stream, or raw deflate data when i_raw.
bool Deflate(const char* ip_data, size_t i_size, std::string& o_deflated, int i_level, bool i_raw)
{
    o_deflated.clear();
    if (i_size > std::numeric_limits<uInt>::max() / 2 - 12)
        return false;
    // A window no larger than the input finds every match the full one
    // would, and setting up zlib's full window and tables costs more than
    // packing a typical search reply: small bodies get small ones.
    int windowBits = 9;
    while (windowBits < 15 && (size_t(1) << windowBits) < i_size)
        ++windowBits;
    const int memLevel = std::clamp(windowBits - 7, 1, 8);
    z_stream stream{};
    if (deflateInit2(&stream, i_level, Z_DEFLATED, i_raw ? -windowBits : windowBits, memLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    // Twice the input plus 12 covers zlib's worst case; its own bound is
    // taken should that ever be short (it is for an empty input).
    const size_t capacity = std::max<size_t>(i_size * 2 + 12, deflateBound(&stream, uLong(i_size)));
    o_deflated.resize(capacity);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ip_data));
    stream.avail_in = uInt(i_size);
    stream.next_out = reinterpret_cast<Bytef*>(&o_deflated[0]);
    stream.avail_out = uInt(std::min<size_t>(capacity, std::numeric_limits<uInt>::max()));
    const int result = deflate(&stream, Z_FINISH);
    const size_t used = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
    {
        o_deflated.clear();
        return false;
    }
    o_deflated.resize(used);
    return true;
}

// Raw deflate data of the bytes that ends on a byte boundary without a
// final block, so that more deflate data can follow it.
bool DeflateHead(const char* ip_data, size_t i_size, std::string& o_deflated, int i_level)
{
    o_deflated.clear();
    if (i_size > std::numeric_limits<uInt>::max() / 2 - 12)
        return false;
    z_stream stream{};
    if (deflateInit2(&stream, i_level, Z_DEFLATED, -9, 1, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    // The empty stored block of the flush comes on top of zlib's bound.
    const size_t capacity = std::max<size_t>(i_size * 2 + 12, deflateBound(&stream, uLong(i_size)) + 16);
    o_deflated.resize(capacity);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ip_data));
    stream.avail_in = uInt(i_size);
    stream.next_out = reinterpret_cast<Bytef*>(&o_deflated[0]);
    stream.avail_out = uInt(capacity);
    const int result = deflate(&stream, Z_SYNC_FLUSH);
    const bool done = result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0;
    const size_t used = stream.total_out;
    deflateEnd(&stream);
    o_deflated.resize(done ? used : 0);
    return done;
}

// The FLEVEL bits zlib writes into its header for a level.
unsigned HeaderLevel(int i_level)
{
    if (i_level >= 0 && i_level < 2)
        return 0;
    if (i_level >= 2 && i_level < 6)
        return 1;
    return i_level == 6 || i_level == Z_DEFAULT_COMPRESSION ? 2 : 3;
}
} // namespace

bool Compress(const char* ip_data, size_t i_size, std::string& i_compressed, int i_level)
{
    return Deflate(ip_data, i_size, i_compressed, i_level, false);
}

bool DeflateTail(const char* ip_data, size_t i_size, DeflatedTail& o_tail, int i_level)
{
    o_tail.size = i_size;
    o_tail.adler = adler32(1, nullptr, 0);
    // zlib counts in uInt: the checksum is taken in pieces that fit.
    for (size_t done = 0; done < i_size;)
    {
        const uInt piece = uInt(std::min<size_t>(i_size - done, std::numeric_limits<uInt>::max()));
        o_tail.adler = adler32(o_tail.adler, reinterpret_cast<const Bytef*>(ip_data + done), piece);
        done += piece;
    }
    return Deflate(ip_data, i_size, o_tail.deflated, i_level, true);
}

MemStream CompressMessage(quint32 i_code, const MemStream& i_head, const DeflatedTail& i_tail, int i_level)
{
    MemStream message;
    std::string head;
    if (i_head.Size() > 0 && !DeflateHead(i_head.Data(), i_head.Size(), head, i_level))
        return message;
    // The zlib header names the largest window, which covers the tail's;
    // the check bits make the two bytes a multiple of 31.
    unsigned header = (0x78u << 8) | (HeaderLevel(i_level) << 6);
    header += 31 - header % 31;
    const uLong headAdler = adler32(adler32(1, nullptr, 0), reinterpret_cast<const Bytef*>(i_head.Data()),
                                    uInt(i_head.Size()));
    const uLong adler = adler32_combine(headAdler, i_tail.adler, z_off_t(i_tail.size));
    const unsigned char start[2] = {static_cast<unsigned char>(header >> 8), static_cast<unsigned char>(header)};
    // The trailer: the checksum of the whole body, most significant byte first.
    unsigned char end[4];
    for (int k = 0; k < 4; ++k)
        end[k] = static_cast<unsigned char>(adler >> (24 - 8 * k));
    message.WriteUInt32(i_code);
    message.WriteBytes(start, sizeof(start));
    message.WriteBytes(head.data(), head.size());
    message.WriteBytes(i_tail.deflated.data(), i_tail.deflated.size());
    message.WriteBytes(end, sizeof(end));
    return message;
}

MemStream CompressMessage(quint32 i_code, const MemStream& i_body, int i_level)
{
    std::string compressed;
    MemStream message;
    if (!Compress(i_body.Data(), i_body.Size(), compressed, i_level))
        return message;
    message.WriteUInt32(i_code);
    message.WriteBytes(compressed.data(), compressed.size());
    return message;
}

bool Inflate(const char* ip_data, size_t i_size, std::string& i_inflated, size_t i_cap)
{
    i_inflated.clear();
    // One byte beyond the cap tells "exactly the cap" from "over it".
    const size_t bound = i_cap < std::numeric_limits<size_t>::max() ? i_cap + 1 : i_cap;
    Inflater inflater(ip_data, i_size);
    if (inflater.InflateTo(i_inflated, bound) != Inflater::End || i_inflated.size() > i_cap)
    {
        i_inflated.clear();
        return false;
    }
    return true;
}

Inflater::Inflater(const char* ip_data, size_t i_size)
    : mp_stream(std::make_unique<z_stream_s>()),
      mp_input(ip_data),
      m_inputLeft(i_size),
      m_inputSize(i_size)
{
    if (inflateInit(mp_stream.get()) != Z_OK)
    {
        mp_stream.reset();
        m_status = Error;
    }
}

Inflater::~Inflater()
{
    if (mp_stream)
        inflateEnd(mp_stream.get());
}

Inflater::Status Inflater::InflateTo(std::string& i_inflated, size_t i_upTo)
{
    if (m_status != More)
        return m_status;
    size_t produced = i_inflated.size();
    size_t capacity = produced;
    z_stream& stream = *mp_stream;
    while (produced < i_upTo)
    {
        if (produced == capacity)
        {
            // Grows by doubling from a guess of the body's size, never
            // beyond what was asked for.
            capacity = std::min(i_upTo, std::max({capacity * 2, m_inputSize * 4, size_t(64 * 1024)}));
            i_inflated.resize(capacity);
        }
        // zlib counts in uInt; feed and drain in pieces that fit.
        const uInt inChunk = uInt(std::min<size_t>(m_inputLeft, std::numeric_limits<uInt>::max()));
        const uInt outChunk =
            uInt(std::min<size_t>(capacity - produced, std::numeric_limits<uInt>::max()));
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(mp_input));
        stream.avail_in = inChunk;
        stream.next_out = reinterpret_cast<Bytef*>(&i_inflated[produced]);
        stream.avail_out = outChunk;
        const int result = inflate(&stream, Z_NO_FLUSH);
        mp_input += inChunk - stream.avail_in;
        m_inputLeft -= inChunk - stream.avail_in;
        produced += outChunk - stream.avail_out;
        if (result == Z_STREAM_END)
        {
            m_status = End;
            break;
        }
        // Room left and still no progress: the input ended before the stream.
        if ((result == Z_BUF_ERROR && stream.avail_out > 0) ||
            (result != Z_OK && result != Z_BUF_ERROR))
        {
            m_status = Error;
            break;
        }
    }
    i_inflated.resize(produced);
    return m_status;
}
}
