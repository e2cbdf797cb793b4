#pragma once
// zlib bodies of the compressed peer messages (share list, search result,
// folder contents): the uint32 code, then one zlib stream of the body.

#include "ProtocolCodes.h"

#include <string>

class MemStream;

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

// Inflates one zlib stream. False when the stream is invalid, truncated or
// would inflate to more than i_cap bytes; i_inflated is then empty. Bytes
// after the end of the stream are ignored.
bool Inflate(const char* ip_data, size_t i_size, std::string& i_inflated,
             size_t i_cap = MAX_INFLATED_BODY);
}
