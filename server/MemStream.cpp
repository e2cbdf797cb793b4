#include "MemStream.h"

#include <new>
#include <utility>

namespace
{
const size_t INITIAL_CAPACITY = 256;
}

MemStream::MemStream(const void* ip_data, size_t i_size)
{
    WriteBytes(ip_data, i_size);
}

MemStream::MemStream(const MemStream& i_other)
    : InputStream(), OutputStream()
{
    *this = i_other;
}

MemStream::MemStream(MemStream&& i_other) noexcept
{
    *this = std::move(i_other);
}

MemStream& MemStream::operator=(const MemStream& i_other)
{
    if (this == &i_other)
        return *this;
    Clear();
    WriteBytes(i_other.mp_base, i_other.m_end);
    m_pos = i_other.m_pos;
    m_failed = i_other.m_failed;
    return *this;
}

MemStream& MemStream::operator=(MemStream&& i_other) noexcept
{
    if (this == &i_other)
        return *this;
    mp_buffer = std::move(i_other.mp_buffer);
    m_capacity = i_other.m_capacity;
    mp_base = mp_buffer.get();
    m_pos = i_other.m_pos;
    m_end = i_other.m_end;
    m_failed = i_other.m_failed;
    i_other.m_capacity = 0;
    i_other.mp_base = nullptr;
    i_other.m_pos = i_other.m_end = 0;
    i_other.m_failed = false;
    return *this;
}

bool MemStream::WriteBytes(const void* ip_data, size_t i_size)
{
    if (i_size == 0)
        return true;
    if (i_size > m_capacity - m_end)
        Grow(i_size);
    std::memcpy(mp_buffer.get() + m_end, ip_data, i_size);
    m_end += i_size;
    return true;
}

void MemStream::Clear()
{
    m_pos = m_end = 0;
    m_failed = false;
}

void MemStream::Grow(size_t i_needed)
{
    if (i_needed > std::numeric_limits<size_t>::max() / 2 - m_end)
        throw std::bad_alloc();
    const size_t required = m_end + i_needed;
    size_t capacity = m_capacity ? m_capacity : INITIAL_CAPACITY;
    while (capacity < required)
        capacity *= 2;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    if (m_end > 0)
        std::memcpy(buffer.get(), mp_buffer.get(), m_end);
    mp_buffer = std::move(buffer);
    m_capacity = capacity;
    mp_base = mp_buffer.get();
}

MemStream NewMessage(quint32 i_code)
{
    MemStream message;
    message.WriteUInt32(i_code);
    return message;
}
