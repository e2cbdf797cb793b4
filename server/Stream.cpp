#include "Stream.h"

bool InputStream::ReadString(std::string& i_value, size_t i_maxLength)
{
    quint32 length;
    if (!ReadUInt32(length) || length > i_maxLength || length > Remaining())
    {
        m_failed = true;
        i_value.clear();
        return false;
    }
    i_value.assign(mp_base + m_pos, length);
    m_pos += length;
    return true;
}

bool InputStream::ReadBytes(void* ip_buffer, size_t i_count)
{
    if (m_failed || i_count > Remaining())
    {
        m_failed = true;
        return false;
    }
    if (i_count > 0)
        std::memcpy(ip_buffer, mp_base + m_pos, i_count);
    m_pos += i_count;
    return true;
}

bool InputStream::ReadCount(quint32& i_count, quint32 i_max, size_t i_minBytesEach)
{
    if (!ReadUInt32(i_count))
        return false;
    if (i_count > i_max || (i_minBytesEach > 0 && i_count > Remaining() / i_minBytesEach))
    {
        m_failed = true;
        i_count = 0;
        return false;
    }
    return true;
}

bool InputStream::Skip(size_t i_count)
{
    if (m_failed || i_count > Remaining())
    {
        m_failed = true;
        return false;
    }
    m_pos += i_count;
    return true;
}

bool OutputStream::WriteString(const std::string& i_value)
{
    if (i_value.size() > std::numeric_limits<quint32>::max())
        return false;
    return WriteUInt32(static_cast<quint32>(i_value.size())) &&
           WriteBytes(i_value.data(), i_value.size());
}
