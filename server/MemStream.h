#pragma once
// The growable byte stream of every wire message: writes append raw
// little-endian bytes, reads start at the beginning and see everything
// written so far. The buffer starts at 256 bytes and doubles as needed.

#include "Stream.h"

#include <memory>

class MemStream final : public InputStream, public OutputStream
{
public:
    MemStream() = default;
    // A copy of the given bytes, ready to be read (and appended to).
    MemStream(const void* ip_data, size_t i_size);

    MemStream(const MemStream& i_other);
    MemStream(MemStream&& i_other) noexcept;
    MemStream& operator=(const MemStream& i_other);
    MemStream& operator=(MemStream&& i_other) noexcept;

    bool WriteBytes(const void* ip_data, size_t i_size) override;
    using OutputStream::WriteBytes;

    const char* Data() const { return mp_base; }
    size_t Size() const { return m_end; }

    // Empties the stream, restarts reading and clears the failed flag.
    void Clear();

private:
    void Grow(size_t i_needed);

    std::unique_ptr<char[]> mp_buffer;
    size_t m_capacity = 0;
};

// A message that starts with its code, ready for its fields.
MemStream NewMessage(quint32 i_code);
