#pragma once
// zlib bodies of the compressed peer messages (share list, search result,
// folder contents): the uint32 code, then one zlib stream of the body.

#include "ProtocolCodes.h"

#include <string>

class MemStream;

namespace Compression
{
// One zlib stream of the bytes (compress2, level 9). False only when zlib fails.
bool Compress(const char* ip_data, size_t i_size, std::string& i_compressed);

// The message: uint32 i_code followed by the compressed i_body.
MemStream CompressMessage(quint32 i_code, const MemStream& i_body);

// Inflates one zlib stream. False when the stream is invalid, truncated or
// would inflate to more than i_cap bytes; i_inflated is then empty. Bytes
// after the end of the stream are ignored.
bool Inflate(const char* ip_data, size_t i_size, std::string& i_inflated,
             size_t i_cap = MAX_INFLATED_BODY);
}
