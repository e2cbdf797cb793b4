#pragma once
// Reader and writer of the little-endian wire format.
//
// InputStream reads from a window of bytes. Every read checks the bytes
// left; a short read, an over-long string or an over-large count sets the
// failed flag, after which every read fails. A decoder therefore reads all
// its fields and checks Ok() once. Failed reads zero their output.

#include <QtEndian>
#include <QtGlobal>

#include <cstddef>
#include <cstring>
#include <limits>
#include <string>

class InputStream
{
public:
    // Reads the caller's bytes in place; they must outlive the stream.
    InputStream(const void* ip_data, size_t i_size)
        : mp_base(static_cast<const char*>(ip_data)), m_end(i_size)
    {
    }
    virtual ~InputStream() = default;

    bool ReadUInt32(quint32& i_value) { return ReadLE(i_value); }
    bool ReadInt32(qint32& i_value) { return ReadLE(i_value); }
    bool ReadInt64(qint64& i_value) { return ReadLE(i_value); }
    bool ReadByte(quint8& i_value) { return ReadLE(i_value); }

    // A uint32 byte count, then the bytes. Fails when the count is over
    // i_maxLength or over the bytes left; nothing is allocated then.
    bool ReadString(std::string& i_value,
                    size_t i_maxLength = std::numeric_limits<quint32>::max());

    // Exactly i_count raw bytes.
    bool ReadBytes(void* ip_buffer, size_t i_count);

    // A uint32 element count, failing when it is over i_max or when that
    // many elements of at least i_minBytesEach bytes cannot be left.
    bool ReadCount(quint32& i_count, quint32 i_max, size_t i_minBytesEach);

    bool Skip(size_t i_count);

    size_t Remaining() const { return m_end - m_pos; }
    bool Ok() const { return !m_failed; }
    bool Failed() const { return m_failed; }
    // Marks the stream failed, e.g. when a decoder finds a field out of range.
    void Fail() { m_failed = true; }

protected:
    InputStream() = default;
    InputStream(const InputStream&) = default;
    InputStream& operator=(const InputStream&) = default;

    template <typename T>
    bool ReadLE(T& i_value)
    {
        if (Q_UNLIKELY(m_failed || m_end - m_pos < sizeof(T)))
        {
            m_failed = true;
            i_value = 0;
            return false;
        }
        i_value = qFromLittleEndian<T>(mp_base + m_pos);
        m_pos += sizeof(T);
        return true;
    }

    const char* mp_base = nullptr;
    size_t m_pos = 0;
    size_t m_end = 0;
    bool m_failed = false;
};

// Writer interface. The only sink is MemStream; one virtual call per field.
class OutputStream
{
public:
    virtual ~OutputStream() = default;

    virtual bool WriteBytes(const void* ip_data, size_t i_size) = 0;

    bool WriteUInt32(quint32 i_value) { return WriteLE(i_value); }
    bool WriteInt32(qint32 i_value) { return WriteLE(i_value); }
    bool WriteInt64(qint64 i_value) { return WriteLE(i_value); }
    bool WriteByte(quint8 i_value) { return WriteBytes(&i_value, 1); }
    // Fails only for a string whose length does not fit the uint32 count.
    bool WriteString(const std::string& i_value);

protected:
    template <typename T>
    bool WriteLE(T i_value)
    {
        char bytes[sizeof(T)];
        qToLittleEndian<T>(i_value, bytes);
        return WriteBytes(bytes, sizeof(T));
    }
};

class StreamReadable
{
public:
    virtual ~StreamReadable() = default;
    virtual bool Read(InputStream& i_stream) = 0;
};

class StreamWritable
{
public:
    virtual ~StreamWritable() = default;
    virtual bool Write(OutputStream& i_stream) const = 0;
};

// A record that reads itself from and writes itself to the wire.
class Persistent : public StreamReadable, public StreamWritable
{
};
