#include "Compression.h"

#include "MemStream.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace Compression
{
bool Compress(const char* ip_data, size_t i_size, std::string& i_compressed, int i_level)
{
    if (i_size > std::numeric_limits<uLong>::max() / 2 - 12)
        return false;
    // Twice the input plus 12 covers zlib's worst case; compressBound is the
    // fallback should that ever be short (it is for an empty input).
    uLongf capacity = uLongf(i_size * 2 + 12);
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        i_compressed.resize(capacity);
        uLongf used = capacity;
        const int result = compress2(reinterpret_cast<Bytef*>(&i_compressed[0]), &used,
                                     reinterpret_cast<const Bytef*>(ip_data), uLong(i_size), i_level);
        if (result == Z_OK)
        {
            i_compressed.resize(used);
            return true;
        }
        if (result != Z_BUF_ERROR)
            break;
        capacity = std::max<uLongf>(capacity * 2, compressBound(uLong(i_size)));
    }
    i_compressed.clear();
    return false;
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
