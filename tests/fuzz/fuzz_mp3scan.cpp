// Feeds arbitrary bytes to the MP3 frame vote, split into blocks of
// arbitrary sizes (empty ones and ones larger than the file reader's
// included). Checked for every input: no crash or sanitizer report, and a
// result always describes a possible file: MPEG version 1 or 2, sampling-
// rate index 0 to 2, one of the four channel-mode texts, a constant bitrate
// from its version's table, a variable one between that table's least and
// greatest entries.

#include "MP3FrameVote.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Fail(const char* ip_what) {
    std::fprintf(stderr, "fuzz_mp3scan: %s\n", ip_what);
    std::abort();
}

void Check(const MP3FrameSummary& i_summary) {
    if (i_summary.mpegVersion != 1 && i_summary.mpegVersion != 2)
        Fail("version is neither 1 nor 2");
    if (i_summary.frequency < 0 || i_summary.frequency > 2)
        Fail("sampling-rate index out of range");
    const char* mode = MP3FrameVote::ChannelModeText(i_summary.channelMode);
    if (std::strcmp(mode, "stereo") != 0 && std::strcmp(mode, "joint stereo") != 0 &&
        std::strcmp(mode, "dual mono") != 0 && std::strcmp(mode, "mono") != 0)
        Fail("unknown channel mode");
    int least = 0, greatest = 0;
    bool inTable = false;
    for (int index = 1; index <= 14; ++index) {
        const int rate = MP3FrameVote::LayerIIIBitrate(i_summary.mpegVersion, index);
        least = least == 0 || rate < least ? rate : least;
        greatest = rate > greatest ? rate : greatest;
        inTable = inTable || rate == i_summary.bitrate;
    }
    if (!i_summary.isVBR && !inTable)
        Fail("constant bitrate not in its table");
    if (i_summary.isVBR && (i_summary.bitrate < least || i_summary.bitrate > greatest))
        Fail("variable bitrate outside its table's range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size) {
    FuzzedDataProvider input(ip_data, i_size);
    MP3FrameVote vote;
    while (input.remaining_bytes() > 0) {
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, MP3FrameVote::BLOCK_SIZE + 16);
        // A copy of its own, so that reading past the block is caught.
        std::vector<uint8_t> block = input.ConsumeBytes<uint8_t>(length);
        vote.AddBlock(block.empty() ? nullptr : block.data(), block.size());
    }
    MP3FrameSummary summary;
    if (vote.GetResult(summary))
        Check(summary);
    return 0;
}
