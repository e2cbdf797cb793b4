#include "MP3Scanner.h"

#include "MP3FrameVote.h"
#include "TextConversion.h"

#include <QFile>
#include <QMutexLocker>

#include <algorithm>
#include <vector>

MP3Scanner::MP3Scanner() = default;

MP3Scanner::~MP3Scanner() = default;

void MP3Scanner::Quit()
{
    QMutexLocker<QMutex> lock(&m_mutex);
    m_quit = true;
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
    QFile input(FromUtf8(file));
    if (!input.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
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
