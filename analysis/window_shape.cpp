#include "analysis/window_shape.h"

#include <algorithm>
#include <cassert>

#include "analysis/band_energy.h"
#include "analysis/filterbank.h"

namespace varnel {
namespace {

// The cheaper of the two shapes for a frame of long blocks: transforms with the sine shape and
// with KBD, and keeps the spectra of the one with less entropy (a tie keeps sine).
void chooseLongBlockShape(std::span<ChannelBuffer> buffers, std::span<IcsInfo> ics,
                          std::span<const MaskingResult> masking) {
    double sineSpectra[kMaxChannels][kFrameLength];
    double sineEntropy = 0.0, kbdEntropy = 0.0;
    for (size_t c = 0; c < ics.size(); ++c) {
        ChannelBuffer& buffer = buffers[c];
        ics[c].windowShape = WindowShape::Sine;
        analysisFilterbank(buffer, ics[c]);
        std::copy(buffer.spectrum, buffer.spectrum + kFrameLength, sineSpectra[c]);
        sineEntropy += spectrumEntropy(buffer.spectrum, ics[c], masking[c], kWindowChoiceThresholdShare);
        ics[c].windowShape = WindowShape::Kbd;
        analysisFilterbank(buffer, ics[c]);
        kbdEntropy += spectrumEntropy(buffer.spectrum, ics[c], masking[c], kWindowChoiceThresholdShare);
    }
    if (kbdEntropy < sineEntropy) return;
    for (size_t c = 0; c < ics.size(); ++c) {
        std::copy(sineSpectra[c], sineSpectra[c] + kFrameLength, buffers[c].spectrum);
        ics[c].windowShape = WindowShape::Sine;
    }
}

}  // namespace

void shapeAndTransformBlocks(std::span<ChannelBuffer> buffers, std::span<IcsInfo> ics,
                             std::span<const MaskingResult> masking) {
    assert(masking.empty() || masking.size() == ics.size());
    for (IcsInfo& i : ics) i.previousWindowShape = i.windowShape;
    const bool anyShort = std::any_of(ics.begin(), ics.end(),
                                      [](const IcsInfo& i) { return i.windowSequence != ONLY_LONG_SEQUENCE; });
    if (!masking.empty() && !anyShort) {
        chooseLongBlockShape(buffers, ics, masking);
        return;
    }
    const WindowShape shape = !masking.empty() ? WindowShape::Kbd : WindowShape::Sine;
    for (size_t c = 0; c < ics.size(); ++c) {
        ics[c].windowShape = shape;
        analysisFilterbank(buffers[c], ics[c]);
    }
}

}  // namespace varnel
