#include "MP3Scanner.h"

#include "MP3FrameVote.h"
#include "RegularFile.h"
#include "TextConversion.h"

#include <QFile>
#include <QMutexLocker>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace
{

void PutLength(std::string& io_bytes, size_t i_length)
{
    for (; i_length >= 0x80; i_length >>= 7)
        io_bytes += char(0x80 | (i_length & 0x7F));
    io_bytes += char(i_length);
}

size_t TakeLength(const std::string& i_bytes, size_t& io_at)
{
    size_t length = 0;
    for (int shift = 0;; shift += 7)
    {
        const unsigned char byte = static_cast<unsigned char>(i_bytes[io_at++]);
        length |= size_t(byte & 0x7F) << shift;
        if (byte < 0x80)
            return length;
    }
}

// How many UTF-16 units two paths share at their start; compared four at
// a time, as paths share most of their length.
qsizetype SharedLength(const QChar* ip_a, const QChar* ip_b, qsizetype i_limit)
{
    qsizetype k = 0;
    for (uint64_t a, b; k + 4 <= i_limit; k += 4)
    {
        std::memcpy(&a, ip_a + k, sizeof(a));
        std::memcpy(&b, ip_b + k, sizeof(b));
        if (a != b)
            break;
    }
    while (k < i_limit && ip_a[k] == ip_b[k])
        ++k;
    return k;
}

} // namespace

MP3Scanner::MP3Scanner() = default;

MP3Scanner::~MP3Scanner() = default;

void MP3Scanner::Quit()
{
    QMutexLocker<QMutex> lock(&m_mutex);
    m_quit = true;
    std::string().swap(m_queue);
    m_queueTaken = 0;
}

void MP3Scanner::QueueScan(const QString& i_file)
{
    QMutexLocker<QMutex> lock(&m_mutex);
    if (m_quit)
        return;
    // Files of one folder follow each other, so mostly only the name
    // differs: only the rest after the shared part, never parting a
    // surrogate pair, is written out.
    const qsizetype limit = std::min(i_file.size(), m_lastQueued.size());
    const QChar* path = i_file.constData();
    qsizetype shared = SharedLength(path, m_lastQueued.constData(), limit);
    if (shared > 0 && shared < i_file.size() && path[shared].isLowSurrogate())
        --shared;
    const QByteArray rest = QStringView(i_file).mid(shared).toUtf8();
    PutLength(m_queue, size_t(shared));
    PutLength(m_queue, size_t(rest.size()));
    m_queue.append(rest.constData(), size_t(rest.size()));
    m_lastQueued = i_file;
    if (m_running)
        return;
    m_running = true;
    lock.unlock();
    QMetaObject::invokeMethod(this, &MP3Scanner::RunQueuedScans, Qt::QueuedConnection);
}

void MP3Scanner::RunQueuedScans()
{
    for (;;)
    {
        {
            QMutexLocker<QMutex> lock(&m_mutex);
            if (m_quit || m_queueTaken == m_queue.size())
            {
                m_running = false;
                return;
            }
            const size_t shared = TakeLength(m_queue, m_queueTaken);
            const size_t rest = TakeLength(m_queue, m_queueTaken);
            m_lastTaken.truncate(qsizetype(shared));
            m_lastTaken += QString::fromUtf8(m_queue.data() + m_queueTaken, qsizetype(rest));
            m_queueTaken += rest;
            // The memory of taken requests goes back as the scans go on.
            if (m_queueTaken == m_queue.size())
            {
                std::string().swap(m_queue);
                m_queueTaken = 0;
            }
            else if (m_queueTaken > m_queue.size() / 2)
            {
                m_queue = m_queue.substr(m_queueTaken);
                m_queueTaken = 0;
            }
        }
        OnMP3ScanRequired(m_lastTaken);
    }
}

bool MP3Scanner::IsQuitting()
{
    QMutexLocker<QMutex> lock(&m_mutex);
    return m_quit;
}

void MP3Scanner::OnMP3ScanRequired(QString i_file)
{
    int mpegVersion = 0;
    std::string channelMode;
    int frequency = 0;
    bool isVBR = false;
    int bitrate = -1;
    if (ScanMP3(ToUtf8(i_file), mpegVersion, channelMode, frequency, isVBR, bitrate))
        emit MP3Scanned(i_file, mpegVersion, FromLatin1(channelMode), frequency, isVBR, bitrate);
}

bool MP3Scanner::ScanMP3(std::string file, int& mpegVersion, std::string& channelMode, int& frequency, bool& isVBR,
                         int& bitrate)
{
    if (IsQuitting())
        return false;
    bitrate = -1;
    // Only a regular file, opened without waiting: a FIFO swapped in after
    // the walk would hold this thread, and the close that waits for it.
    QFile input;
    int error = 0;
    if (OpenRegularFileForReading(FromUtf8(file), input, QIODevice::ReadOnly | QIODevice::Unbuffered, error) !=
        RegularFileStatus::Opened)
        return false;
    const qint64 size = input.size();
    if (size <= 0)
        return false;

    // Up to the size the file had when opened, in blocks as each read returns
    // them: a file that shrinks meanwhile is judged on what it still holds,
    // one that grows on what it held. The quit flag is read before every
    // block, so quitting never waits for a whole large file.
    MP3FrameVote vote;
    std::vector<unsigned char> buffer(MP3FrameVote::BLOCK_SIZE);
    for (qint64 remaining = size; remaining > 0;)
    {
        if (IsQuitting())
            return false;
        const qint64 wanted = std::min<qint64>(remaining, qint64(buffer.size()));
        const qint64 got = input.read(reinterpret_cast<char*>(buffer.data()), wanted);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        vote.AddBlock(buffer.data(), size_t(got));
        remaining -= got;
    }

    MP3FrameSummary summary;
    if (!vote.GetResult(summary))
        return false;
    mpegVersion = summary.mpegVersion;
    channelMode = MP3FrameVote::ChannelModeText(summary.channelMode);
    frequency = summary.frequency;
    isVBR = summary.isVBR;
    bitrate = summary.bitrate;
    return true;
}
