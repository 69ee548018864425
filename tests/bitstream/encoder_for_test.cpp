// Stand-in for the encoder object's constructor and destructor (defined with the frame
// pipeline in encoder/aac_encoder.cpp), so that the syntax writer and the scalefactor count,
// which take an AacEncoder, can be tested without linking the whole pipeline.
#include "bitstream/bit_writer.h"
#include "encoder/aac_encoder.h"
#include "frontend/wav_input.h"

namespace varnel {
AacEncoder::AacEncoder() = default;
AacEncoder::~AacEncoder() = default;
}  // namespace varnel
