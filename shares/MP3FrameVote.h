#pragma once
// The statistical judgement of an MP3 file: every byte position that looks
// like an MPEG audio Layer III frame header votes for a version, protection
// bit, sampling-rate index and channel mode; the majority decides those four,
// and the frames that agree with all of them give the bitrate and whether it
// is constant. The file's chain of frames is not followed, so junk between
// frames, tags and damaged stretches cost nothing but a few stray votes.
//
// Plain C++ without Qt or the store: fed block by block, then asked for the
// result. A header is only tested where one more byte follows it inside its
// block, so the last four offsets of every block are never tested.
//
// Memory is fixed whatever the input: candidates are counted in a table
// rather than recorded, with 64-bit counters, so a crafted file of nothing
// but headers neither grows memory nor overflows a count.

#include <cstddef>
#include <cstdint>

struct MP3FrameSummary
{
    int mpegVersion = 0;   // 1 or 2
    int channelMode = 0;   // 0 stereo, 1 joint stereo, 2 dual mono, 3 mono
    int frequency = 0;     // the sampling-rate index of the header, 0 to 2
    bool isVBR = false;
    int bitrate = -1;      // kbit/s: exact when constant, the truncated mean otherwise
};

class MP3FrameVote
{
public:
    // The size of the blocks the file is read in.
    static constexpr size_t BLOCK_SIZE = 65536;

    MP3FrameVote() { Reset(); }

    void Reset();
    // Tests every offset of the block that has four more bytes behind it.
    void AddBlock(const unsigned char* ip_data, size_t i_length);
    // False when no version wins a valid majority (MPEG-2.5 wins or ties, or
    // nothing was found) or no frame agrees with every decision.
    bool GetResult(MP3FrameSummary& o_summary) const;

    // The Layer III bitrate in kbit/s of a bitrate index (1 to 14) for
    // MPEG-1 or MPEG-2; 0 for anything else.
    static int LayerIIIBitrate(int i_mpegVersion, int i_index);
    // "stereo", "joint stereo", "dual mono" or "mono"; empty for anything else.
    static const char* ChannelModeText(int i_mode);

private:
    void AddCandidate(unsigned i_b1, unsigned i_b2, unsigned i_b3);

    // Votes, also of candidates that a later test of theirs rejected.
    uint64_t m_versionVotes[3];     // MPEG-1, MPEG-2, MPEG-2.5
    uint64_t m_protectionVotes[2];  // bit clear, bit set
    uint64_t m_rateVotes[3];
    uint64_t m_modeVotes[4];
    // Candidates that passed every test, by version, protection bit,
    // sampling-rate index, channel mode and bitrate index.
    uint64_t m_frames[3][2][3][4][16];
};
