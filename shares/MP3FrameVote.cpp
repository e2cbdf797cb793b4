#include "MP3FrameVote.h"

#include <cstring>

namespace
{

// Layer III bitrates in kbit/s by bitrate index 1 to 14: MPEG-1, and the
// lower sampling frequencies of MPEG-2.
const int MPEG1_BITRATES[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
const int MPEG2_BITRATES[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

// The index with the most votes; a tie goes to the higher index.
template <size_t N>
int Majority(const uint64_t (&i_votes)[N])
{
    size_t best = 0;
    for (size_t k = 1; k < N; ++k)
        if (i_votes[k] >= i_votes[best])
            best = k;
    return int(best);
}

} // namespace

void MP3FrameVote::Reset()
{
    std::memset(m_versionVotes, 0, sizeof(m_versionVotes));
    std::memset(m_protectionVotes, 0, sizeof(m_protectionVotes));
    std::memset(m_rateVotes, 0, sizeof(m_rateVotes));
    std::memset(m_modeVotes, 0, sizeof(m_modeVotes));
    std::memset(m_frames, 0, sizeof(m_frames));
}

void MP3FrameVote::AddBlock(const unsigned char* ip_data, size_t i_length)
{
    if (!ip_data || i_length < 5)
        return;
    // Offsets 0 to length - 5; memchr finds the sync bytes far faster than a
    // byte loop, and real audio data holds few of them.
    const unsigned char* p = ip_data;
    const unsigned char* const end = ip_data + i_length - 4;
    while (p < end)
    {
        p = static_cast<const unsigned char*>(std::memchr(p, 0xFF, size_t(end - p)));
        if (!p)
            break;
        if ((p[1] & 0xE0) == 0xE0)
            AddCandidate(p[1], p[2], p[3]);
        ++p;
    }
}

void MP3FrameVote::AddCandidate(unsigned i_b1, unsigned i_b2, unsigned i_b3)
{
    const unsigned versionBits = (i_b1 >> 3) & 3;
    if (versionBits == 1)
        return;
    const unsigned version = versionBits == 3 ? 0 : versionBits == 2 ? 1 : 2;
    ++m_versionVotes[version];

    if (((i_b1 >> 1) & 3) != 1)
        return;

    const unsigned protection = i_b1 & 1;
    ++m_protectionVotes[protection];

    const unsigned rate = (i_b2 >> 2) & 3;
    if (rate == 3)
        return;
    ++m_rateVotes[rate];

    const unsigned mode = i_b3 >> 6;
    ++m_modeVotes[mode];

    const unsigned bitrateIndex = i_b2 >> 4;
    if (bitrateIndex == 0 || bitrateIndex == 15)
        return;
    ++m_frames[version][protection][rate][mode][bitrateIndex];
}

bool MP3FrameVote::GetResult(MP3FrameSummary& o_summary) const
{
    const uint64_t mpeg1 = m_versionVotes[0];
    const uint64_t mpeg2 = m_versionVotes[1];
    const uint64_t mpeg25 = m_versionVotes[2];
    int version;
    if (mpeg2 >= mpeg1)
    {
        if (mpeg25 >= mpeg2)
            return false;
        version = 2;
    }
    else
    {
        if (mpeg25 >= mpeg1)
            return false;
        version = 1;
    }
    const int protection = m_protectionVotes[1] > m_protectionVotes[0] ? 1 : 0;
    const int rate = Majority(m_rateVotes);
    const int mode = Majority(m_modeVotes);

    // The frames that agree with all four decisions. Bitrates rise with
    // their index, so the indexes are the histogram in increasing order.
    const uint64_t(&frames)[16] = m_frames[version - 1][protection][rate][mode];
    uint64_t count = 0;
    uint64_t sum = 0;
    for (int index = 1; index <= 14; ++index)
    {
        count += frames[index];
        sum += frames[index] * uint64_t(LayerIIIBitrate(version, index));
    }
    if (count == 0)
        return false;

    o_summary.mpegVersion = version;
    o_summary.channelMode = mode;
    o_summary.frequency = rate;
    o_summary.bitrate = int(sum / count);
    o_summary.isVBR = true;
    // Constant when one bitrate holds at least 99 whole percent of the frames.
    for (int index = 1; index <= 14; ++index)
    {
        if (frames[index] * 100 / count > 98)
        {
            o_summary.isVBR = false;
            o_summary.bitrate = LayerIIIBitrate(version, index);
        }
    }
    return true;
}

int MP3FrameVote::LayerIIIBitrate(int i_mpegVersion, int i_index)
{
    if (i_index < 1 || i_index > 14)
        return 0;
    if (i_mpegVersion == 1)
        return MPEG1_BITRATES[i_index];
    if (i_mpegVersion == 2)
        return MPEG2_BITRATES[i_index];
    return 0;
}

const char* MP3FrameVote::ChannelModeText(int i_mode)
{
    switch (i_mode)
    {
    case 0:
        return "stereo";
    case 1:
        return "joint stereo";
    case 2:
        return "dual mono";
    case 3:
        return "mono";
    default:
        return "";
    }
}
