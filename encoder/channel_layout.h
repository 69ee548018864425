// The channel configurations the encoder writes: by channel count, the interleaved order it
// takes its input in (the usual WAV order for that count) and the elements of the raw data
// block in the order the configuration gives them. A decoder places each element's channels on
// the configuration's speakers by that order alone.
#pragma once

#include <cstdint>

namespace varnel {

enum class ElementKind : uint8_t { Single, Pair, LowFrequency };

// One element and the input channels it codes (the second for a pair only).
struct ElementLayout {
    ElementKind kind;
    int8_t input[2];
};

inline constexpr int kMaxElements = 5;

struct ChannelLayout {
    int channels;
    int configuration;   // channelConfiguration of the AudioSpecificConfig and the ADTS header
    const char* name;    // "5.1"
    const char* order;   // the input's channel order, "L R C LFE Ls Rs"
    int elementCount;
    ElementLayout elements[kMaxElements];
};

// The layout of `channels` input channels; null for a count without one (7, or more than 8).
const ChannelLayout* channelLayoutFor(int channels);

}  // namespace varnel
