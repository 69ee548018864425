#include "encoder/channel_layout.h"

namespace varnel {
namespace {

using K = ElementKind;

// Configurations 3 to 7: the centre in a single channel element, then the pairs from the front
// to the back, then the low-frequency element. Configuration 4 has one back centre channel;
// configuration 7 the front pair, the side pair and the back pair as decoders place them.
constexpr ChannelLayout kLayouts[] = {
    {1, 1, "mono", "C", 1, {{K::Single, {0, 0}}}},
    {2, 2, "stereo", "L R", 1, {{K::Pair, {0, 1}}}},
    {3, 3, "3.0", "L R C", 2, {{K::Single, {2, 0}}, {K::Pair, {0, 1}}}},
    {4, 4, "4.0", "L R C Cs", 3, {{K::Single, {2, 0}}, {K::Pair, {0, 1}}, {K::Single, {3, 0}}}},
    {5, 5, "5.0", "L R C Ls Rs", 3, {{K::Single, {2, 0}}, {K::Pair, {0, 1}}, {K::Pair, {3, 4}}}},
    {6, 6, "5.1", "L R C LFE Ls Rs", 4,
     {{K::Single, {2, 0}}, {K::Pair, {0, 1}}, {K::Pair, {4, 5}}, {K::LowFrequency, {3, 0}}}},
    {8, 7, "7.1", "L R C LFE Lb Rb Ls Rs", 5,
     {{K::Single, {2, 0}}, {K::Pair, {0, 1}}, {K::Pair, {6, 7}}, {K::Pair, {4, 5}}, {K::LowFrequency, {3, 0}}}},
};

}  // namespace

const ChannelLayout* channelLayoutFor(int channels) {
    for (const ChannelLayout& layout : kLayouts)
        if (layout.channels == channels) return &layout;
    return nullptr;
}

}  // namespace varnel
