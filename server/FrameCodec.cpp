#include "FrameCodec.h"

#include "MemStream.h"
#include "ProtocolCodes.h"

#include <QIODevice>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <limits>

namespace
{
const quint32 KEYSTREAM_MULTIPLIER = 1664525u;
const quint32 KEYSTREAM_INCREMENT = 1013904223u;
// A drained buffer larger than this is released rather than kept per connection.
const size_t KEEP_CAPACITY = 1024 * 1024;

inline quint32 NextWord(quint32 i_word)
{
    return i_word * KEYSTREAM_MULTIPLIER + KEYSTREAM_INCREMENT;
}

QByteArray MakeFrame(const char* ip_body, size_t i_size, size_t i_prefix)
{
    Q_ASSERT(i_size >= MIN_FRAME && i_size <= std::numeric_limits<quint32>::max());
    QByteArray frame(qsizetype(i_prefix + 4 + i_size), Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(i_size), frame.data() + i_prefix);
    if (i_size > 0)
        std::memcpy(frame.data() + i_prefix + 4, ip_body, i_size);
    return frame;
}
}

namespace FrameCodec
{
QByteArray Encode(const char* ip_body, size_t i_size)
{
    return MakeFrame(ip_body, i_size, 0);
}

QByteArray Encode(const MemStream& i_body)
{
    return Encode(i_body.Data(), i_body.Size());
}

QByteArray EncodeScrambled(const MemStream& i_body)
{
    return EncodeScrambled(i_body.Data(), i_body.Size(), NewKey());
}

QByteArray EncodeScrambled(const char* ip_body, size_t i_size, quint32 i_key)
{
    QByteArray wire = MakeFrame(ip_body, i_size, 4);
    qToLittleEndian<quint32>(i_key, wire.data());
    ApplyKeystream(wire.data() + 4, wire.size() - 4, i_key);
    return wire;
}

QByteArray Scramble(const char* ip_frame, size_t i_size, quint32 i_key)
{
    QByteArray wire(qsizetype(4 + i_size), Qt::Uninitialized);
    qToLittleEndian<quint32>(i_key, wire.data());
    if (i_size > 0)
        std::memcpy(wire.data() + 4, ip_frame, i_size);
    ApplyKeystream(wire.data() + 4, i_size, i_key);
    return wire;
}

void ApplyKeystream(char* ip_data, size_t i_size, quint32 i_key, quint32 i_word)
{
    Keystream(i_key, i_word).Apply(ip_data, i_size);
}

Keystream::Keystream(quint32 i_key, quint32 i_word) : m_word(i_key)
{
    for (quint32 i = 0; i < i_word; ++i)
        m_word = NextWord(m_word);
}

void Keystream::Apply(char* ip_data, size_t i_size)
{
    // Byte k of a word is XORed with the word's k-th least significant byte.
    size_t i = 0;
    for (; i < i_size && m_byte != 0; ++i)
    {
        ip_data[i] = char(quint8(ip_data[i]) ^ quint8(m_word >> (8 * m_byte)));
        if (++m_byte == 4)
        {
            m_byte = 0;
            m_word = NextWord(m_word);
        }
    }
    for (; i + 4 <= i_size; i += 4)
    {
        qToLittleEndian<quint32>(qFromLittleEndian<quint32>(ip_data + i) ^ m_word, ip_data + i);
        m_word = NextWord(m_word);
    }
    for (; i < i_size; ++i, ++m_byte)
        ip_data[i] = char(quint8(ip_data[i]) ^ quint8(m_word >> (8 * m_byte)));
}

quint32 NewKey()
{
    return QRandomGenerator::global()->generate();
}
}

FrameDecoder::FrameDecoder(quint32 i_limit, bool i_scrambled)
    : m_limit(i_limit), m_scrambled(i_scrambled)
{
}

void FrameDecoder::Compact()
{
    if (m_start == 0)
        return;
    if (m_start == m_buffer.size())
    {
        if (m_buffer.capacity() > KEEP_CAPACITY)
            std::vector<char>().swap(m_buffer);
        else
            m_buffer.clear();
    }
    else
    {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + m_start);
    }
    m_start = 0;
}

void FrameDecoder::Feed(const char* ip_data, size_t i_size)
{
    if (m_error)
        return;
    Compact();
    m_buffer.insert(m_buffer.end(), ip_data, ip_data + i_size);
}

size_t FrameDecoder::Missing()
{
    const size_t header = m_scrambled ? 8 : 4;
    const size_t available = Buffered();
    if (available < header)
        return header - available;
    const char* p = m_buffer.data() + m_start;
    quint32 length = qFromLittleEndian<quint32>(p + header - 4);
    if (m_scrambled)
        length ^= qFromLittleEndian<quint32>(p);
    if (length < MIN_FRAME || length > m_limit)
    {
        m_error = true;
        m_badLength = length;
        m_badLimit = m_limit;
        return 0;
    }
    if (!m_codeChecked)
    {
        if (available < header + 4)
            return header + 4 - available;
        char code[4];
        std::memcpy(code, p + header, 4);
        if (m_scrambled && !m_frontDecoded)
            FrameCodec::ApplyKeystream(code, 4, qFromLittleEndian<quint32>(p), 1);
        const quint32 value = qFromLittleEndian<quint32>(code);
        const quint32 limit = m_codeLimit ? m_codeLimit(value) : m_limit;
        if (length > limit)
        {
            m_error = true;
            m_badLength = length;
            m_badLimit = limit;
            m_badCode = value;
            return 0;
        }
        m_codeChecked = true;
        m_frontCode = value;
    }
    return available - header < length ? header + length - available : 0;
}

void FrameDecoder::Grow(size_t i_size)
{
    if (i_size <= m_buffer.capacity())
        return;
    // Doubling, but never past the end of the frame at the front once its
    // length is known: a frame costs its own length at most.
    size_t room = std::max(i_size, 2 * m_buffer.capacity());
    const size_t header = m_scrambled ? 8 : 4;
    if (m_codeChecked && Buffered() >= header)
    {
        quint32 length = qFromLittleEndian<quint32>(m_buffer.data() + m_start + header - 4);
        if (m_scrambled)
            length ^= qFromLittleEndian<quint32>(m_buffer.data() + m_start);
        const size_t frameEnd = m_start + header + length;
        if (i_size <= frameEnd)
            room = std::min(room, frameEnd);
    }
    m_buffer.reserve(room);
}

qint64 FrameDecoder::ReadFrom(QIODevice& i_device, bool i_oneFrame)
{
    if (m_error)
        return 0;
    Compact();
    qint64 total = 0;
    for (;;)
    {
        size_t wanted = std::numeric_limits<size_t>::max();
        if (i_oneFrame)
        {
            wanted = Missing();
            if (m_error || wanted == 0)
                break;
        }
        const qint64 available = i_device.bytesAvailable();
        if (available <= 0)
            break;
        wanted = std::min(wanted, size_t(available));
        const size_t old = m_buffer.size();
        Grow(old + wanted);
        m_buffer.resize(old + wanted);
        const qint64 got = i_device.read(m_buffer.data() + old, qint64(wanted));
        m_buffer.resize(old + size_t(std::max<qint64>(got, 0)));
        if (got < 0)
            return -1;
        total += got;
        // Without the one-frame bound everything available was asked for at once.
        if (got == 0 || !i_oneFrame)
            break;
    }
    return total;
}

FrameDecoder::Status FrameDecoder::Peek(FrameView& i_frame)
{
    if (m_error)
        return Error;
    if (Missing() > 0)
        return NeedMore;
    if (m_error)
        return Error;
    const size_t header = m_scrambled ? 8 : 4;
    char* p = m_buffer.data() + m_start;
    quint32 length = qFromLittleEndian<quint32>(p + header - 4);
    if (m_scrambled)
    {
        const quint32 key = qFromLittleEndian<quint32>(p);
        length ^= key;
        // The length took keystream word 0; the body starts at word 1.
        if (!m_frontDecoded)
            FrameCodec::ApplyKeystream(p + header, length, key, 1);
        m_frontDecoded = true;
    }
    i_frame.mp_data = p + header;
    i_frame.m_size = length;
    return Ready;
}

FrameDecoder::Status FrameDecoder::Next(FrameView& i_frame)
{
    const Status status = Peek(i_frame);
    if (status != Ready)
        return status;
    m_start += (m_scrambled ? 8 : 4) + i_frame.m_size;
    m_codeChecked = false;
    m_frontDecoded = false;
    m_frontCode = 0;
    return Ready;
}

std::string FrameDecoder::ErrorText() const
{
    if (!m_error)
        return std::string();
    if (m_badLength < MIN_FRAME)
        return "frame length " + std::to_string(m_badLength) + " below the minimum of " +
               std::to_string(MIN_FRAME);
    std::string text = "frame length " + std::to_string(m_badLength) + " over the limit of " +
                       std::to_string(m_badLimit);
    if (m_badLimit != m_limit)
        text += " for code " + std::to_string(m_badCode);
    return text;
}

QByteArray FrameDecoder::TakeBuffered()
{
    QByteArray rest(m_buffer.data() + m_start, qsizetype(Buffered()));
    m_buffer.clear();
    m_start = 0;
    m_codeChecked = false;
    m_frontDecoded = false;
    m_frontCode = 0;
    return rest;
}
