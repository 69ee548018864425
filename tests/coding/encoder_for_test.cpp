// Stand-in for the encoder object's constructor and destructor (defined with the frame
// pipeline in encoder/aac_encoder.cpp), so that rate control, which takes an AacEncoder, can be
// tested without linking the whole pipeline. Needs the WAV input library for the destructor of
// the stream the encoder owns.
#include "bitstream/bit_writer.h"
#include "encoder/aac_encoder.h"
#include "frontend/wav_input.h"

namespace varnel {
AacEncoder::AacEncoder() = default;
AacEncoder::~AacEncoder() = default;
}  // namespace varnel
