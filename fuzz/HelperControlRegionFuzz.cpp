// A control region as a helper polls it: the input is the region's contents behind a
// reader whose mapping is that image and whose descriptor is a file of the region's size,
// as TidewellControlReaderOpen leaves it. Whatever the region holds, the gains a helper
// applies stay within 0...2.
#include "TidewellStream/TidewellControlReader.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int gDescriptor = -1;
alignas(64) unsigned char gImage[TidewellControlSize];

bool InRange(float g) { return g >= 0.0f && g <= 2.0f; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gDescriptor < 0) {
        gDescriptor = memfd_create("twfuzz-control", MFD_CLOEXEC);
        if (gDescriptor < 0 || ftruncate(gDescriptor, TidewellControlSize) != 0) {
            std::perror("fuzz: cannot make the control region's file");
            std::exit(2);
        }
    }
    if (size > sizeof gImage) size = sizeof gImage;
    std::memset(gImage, 0, sizeof gImage);
    if (size > 0) std::memcpy(gImage, data, size);

    TidewellControlReader reader{gImage, gDescriptor, 0};
    TidewellControlState state{};
    if (TidewellControlReaderPoll(&reader, &state)) {
        float gain = -1.0f;
        float channelGains[TidewellControlMaxChannels + 1];
        for (float& g : channelGains) g = -1.0f;
        TidewellControlApply(&state, &gain, channelGains, TidewellControlMaxChannels + 1);
        bool sane = InRange(gain) && state.channelGainCount <= TidewellControlMaxChannels &&
                    channelGains[TidewellControlMaxChannels] == -1.0f;
        for (uint32_t i = 0; i < TidewellControlMaxChannels; ++i) sane = sane && InRange(channelGains[i]);
        if (!sane) {
            std::fprintf(stderr, "control state out of range: gain %g, %u channel gains\n", gain,
                         state.channelGainCount);
            std::abort();
        }
        // Nothing newer: the same sequence is not taken twice.
        if (TidewellControlReaderPoll(&reader, &state)) std::abort();
    }
    return 0;
}
