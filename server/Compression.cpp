#include "Compression.h"

#include "MemStream.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace Compression
{
bool Compress(const char* ip_data, size_t i_size, std::string& i_compressed, int i_level)
{
    i_compressed.clear();
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
    if (deflateInit2(&stream, i_level, Z_DEFLATED, windowBits, memLevel, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    // Twice the input plus 12 covers zlib's worst case; its own bound is
    // taken should that ever be short (it is for an empty input).
    const size_t capacity = std::max<size_t>(i_size * 2 + 12, deflateBound(&stream, uLong(i_size)));
    i_compressed.resize(capacity);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ip_data));
    stream.avail_in = uInt(i_size);
    stream.next_out = reinterpret_cast<Bytef*>(&i_compressed[0]);
    stream.avail_out = uInt(std::min<size_t>(capacity, std::numeric_limits<uInt>::max()));
    const int result = deflate(&stream, Z_FINISH);
    const size_t used = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
    {
        i_compressed.clear();
        return false;
    }
    i_compressed.resize(used);
    return true;
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
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;

    // One byte beyond the cap tells "exactly the cap" from "over it".
    const size_t bound = i_cap < std::numeric_limits<size_t>::max() ? i_cap + 1 : i_cap;
    size_t capacity = std::min(bound, std::max<size_t>(i_size * 4, 64 * 1024));
    i_inflated.resize(capacity);

    const char* input = ip_data;
    size_t inputLeft = i_size;
    size_t produced = 0;
    int result = Z_OK;
    while (result == Z_OK)
    {
        if (produced == capacity)
        {
            if (capacity == bound)
                break;
            capacity = std::min(bound, capacity * 2);
            i_inflated.resize(capacity);
        }
        // zlib counts in uInt; feed and drain in pieces that fit.
        const uInt inChunk = uInt(std::min<size_t>(inputLeft, std::numeric_limits<uInt>::max()));
        const uInt outChunk =
            uInt(std::min<size_t>(capacity - produced, std::numeric_limits<uInt>::max()));
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input));
        stream.avail_in = inChunk;
        stream.next_out = reinterpret_cast<Bytef*>(&i_inflated[produced]);
        stream.avail_out = outChunk;
        result = inflate(&stream, Z_NO_FLUSH);
        input += inChunk - stream.avail_in;
        inputLeft -= inChunk - stream.avail_in;
        produced += outChunk - stream.avail_out;
        // No progress possible: the input ended before the stream did.
        if (result == Z_BUF_ERROR && stream.avail_out > 0)
            break;
        if (result == Z_BUF_ERROR)
            result = Z_OK;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced > i_cap)
    {
        i_inflated.clear();
        return false;
    }
    i_inflated.resize(produced);
    return true;
}
}
