#pragma once
// Framing of every message connection: uint32 L, then L bytes (the uint32
// code and the fields). On a scrambled connection every frame is preceded
// by a 4-byte key and XORed with a keystream derived from it.

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <string>
#include <vector>

class MemStream;
class QIODevice;

namespace FrameCodec
{
// The plain frame of a message body (code + fields).
QByteArray Encode(const char* ip_body, size_t i_size);
QByteArray Encode(const MemStream& i_body);

// The scrambled frame of a message body with a fresh random key.
QByteArray EncodeScrambled(const MemStream& i_body);
QByteArray EncodeScrambled(const char* ip_body, size_t i_size, quint32 i_key);

// A plain frame (L and its bytes) as it goes on a scrambled connection:
// the key as 4 little-endian bytes, then the frame XORed with the keystream.
QByteArray Scramble(const char* ip_frame, size_t i_size, quint32 i_key);

// XORs i_size bytes in place with the keystream of i_key, starting at
// keystream word i_word (the frame's byte 4 * i_word).
void ApplyKeystream(char* ip_data, size_t i_size, quint32 i_key, quint32 i_word = 0);

// The keystream of one frame applied piece by piece: each Apply goes on
// where the last one ended, so a long frame is scrambled as it is sent.
class Keystream
{
public:
    // Positioned at keystream word i_word of the key.
    explicit Keystream(quint32 i_key = 0, quint32 i_word = 0);
    void Apply(char* ip_data, size_t i_size);

private:
    quint32 m_word;
    unsigned m_byte = 0;   // bytes of m_word already used
};

quint32 NewKey();
}

// A decoded frame: its L bytes (code + fields), inside the decoder's
// buffer and valid until the next Feed, ReadFrom or TakeBuffered.
struct FrameView
{
    const char* mp_data = nullptr;
    quint32 m_size = 0;
};

// Splits a byte stream into frames. Fed with whatever arrives; Next yields
// each complete frame once. A length below 4 or over the connection's limit
// puts it in a lasting error state, after which the caller closes the
// connection.
class FrameDecoder
{
public:
    enum Status
    {
        NeedMore,   // no complete frame buffered yet
        Ready,      // i_frame holds the next frame
        Error       // bad length; see ErrorText
    };

    explicit FrameDecoder(quint32 i_limit, bool i_scrambled = false);

    // A tighter limit by message code: once a frame's length and code are
    // in, a length over CodeLimit(code) is an error, before any more of the
    // frame is read.
    using CodeLimit = std::function<quint32(quint32 i_code)>;
    void SetCodeLimit(CodeLimit i_limit) { m_codeLimit = std::move(i_limit); }

    void Feed(const char* ip_data, size_t i_size);
    void Feed(const QByteArray& i_data) { Feed(i_data.constData(), size_t(i_data.size())); }

    // Reads what the device has. With i_oneFrame it reads no byte beyond
    // the end of the frame being received (nothing once a whole frame is
    // buffered), so that raw data following a first frame stays unread.
    // Bytes left in a socket raise no further readyRead: a caller that goes
    // on reading after the first frame calls this again at once.
    // Returns the bytes read, or -1 on a read error.
    qint64 ReadFrom(QIODevice& i_device, bool i_oneFrame = false);

    Status Next(FrameView& i_frame);
    // The frame Next would yield, left in place: the next Peek or Next
    // yields it again.
    Status Peek(FrameView& i_frame);

    bool HasError() const { return m_error; }
    // "frame length N below the minimum of 4" / "frame length N over the
    // limit of M" / "frame length N over the limit of M for code C".
    std::string ErrorText() const;

    // Bytes buffered and not yet handed out as frames.
    size_t Buffered() const { return m_buffer.size() - m_start; }
    // Bytes received and held. The buffer grows no further than the end of
    // the frame being received, and what it has not been given stays
    // untouched memory.
    size_t Held() const { return m_buffer.size(); }
    // The code of the frame at the front once it is in (and checked against
    // the code limit, when there is one); 0 before.
    quint32 FrontCode() const { return m_frontCode; }
    // Hands over the buffered bytes that follow the frames taken so far.
    QByteArray TakeBuffered();

private:
    // Bytes still missing for the frame at the front; 0 when it is complete.
    size_t Missing();
    void Compact();
    // Makes room for i_size bytes in the buffer.
    void Grow(size_t i_size);

    std::vector<char> m_buffer;
    size_t m_start = 0;
    quint32 m_limit;
    bool m_scrambled;
    bool m_error = false;
    quint32 m_badLength = 0;
    CodeLimit m_codeLimit;
    // The frame at the front passed its code's limit.
    bool m_codeChecked = false;
    // The frame at the front was unscrambled in place by Peek.
    bool m_frontDecoded = false;
    quint32 m_frontCode = 0;
    quint32 m_badCode = 0;
    quint32 m_badLimit = 0;
};
