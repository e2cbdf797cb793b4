#pragma once
// zlib bodies of the compressed peer messages (share list, search result,
// folder contents): the uint32 code, then one zlib stream of the body.

#include "ProtocolCodes.h"

#include <memory>
#include <string>

class MemStream;
struct z_stream_s;

namespace Compression
{
// zlib's strongest level, which the receiver cannot tell from any other.
constexpr int BEST_LEVEL = 9;

// One zlib stream of the bytes, its window no larger than they need.
// False only when zlib fails (an invalid level included).
bool Compress(const char* ip_data, size_t i_size, std::string& i_compressed,
              int i_level = BEST_LEVEL);

// The message: uint32 i_code followed by the compressed i_body. Empty when
// the compression fails, so that no message with a missing body goes out.
MemStream CompressMessage(quint32 i_code, const MemStream& i_body, int i_level = BEST_LEVEL);

// A body compressed in two parts: a short head made for each message and a
// long tail kept between messages. The tail is deflated on its own, so it
// refers to none of the head's bytes and one tail serves any head.
struct DeflatedTail
{
    std::string deflated;      // raw deflate data, ending in the final block
    unsigned long adler = 1;   // Adler-32 of the tail's plain bytes
    size_t size = 0;           // the tail's plain length
};

// False only when zlib fails.
bool DeflateTail(const char* ip_data, size_t i_size, DeflatedTail& o_tail, int i_level = BEST_LEVEL);

// The message: uint32 i_code followed by one zlib stream of i_head and
// then the tail's bytes. Empty when the compression fails.
MemStream CompressMessage(quint32 i_code, const MemStream& i_head, const DeflatedTail& i_tail,
                          int i_level = BEST_LEVEL);

// Inflates one zlib stream. False when the stream is invalid, truncated or
// would inflate to more than i_cap bytes; i_inflated is then empty. Bytes
// after the end of the stream are ignored.
bool Inflate(const char* ip_data, size_t i_size, std::string& i_inflated,
             size_t i_cap = MAX_INFLATED_BODY);

// One zlib stream inflated a piece at a time, so that a body can be judged
// by its first bytes before the rest of it costs anything.
class Inflater
{
public:
    enum Status
    {
        More,   // what was asked for is there; the stream may go on
        End,    // the stream is complete
        Error   // invalid, or the input ended before the stream did
    };

    // The input must outlive the inflater.
    Inflater(const char* ip_data, size_t i_size);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Appends to i_inflated until it holds i_upTo bytes or the stream ends.
    Status InflateTo(std::string& i_inflated, size_t i_upTo);

private:
    std::unique_ptr<z_stream_s> mp_stream;
    const char* mp_input;
    size_t m_inputLeft;
    size_t m_inputSize;
    Status m_status = More;
};
}
