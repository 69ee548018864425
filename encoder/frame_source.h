// Where the encoder's frames come from: the operation slots of an input stream. The encoder
// reads one frame of interleaved samples per encodeFrame call and releases it once the block
// is written; the stream's properties give its format. The WAV reader of the front end
// implements it; so can any other source of PCM.
#pragma once

#include <cstdint>

#include "records/aac_syntax.h"

namespace varnel {

// What readFrame hands out: the sample buffer and the stream's properties.
struct FrameView {
    const double* samples;  // channels * frameLength values, interleaved, 16-bit scale
    int32_t sampleRate;
    int32_t valuesRead;
    int32_t channels;
};

enum class ReadStatus {
    Frame,      // a frame was read (possibly zero-padded or silent flush)
    EndOfData,  // nothing is left
    ReadError,  // the source could not be read
    FrameHeld,  // the previous frame was not released yet
};

class FrameSource {
public:
    virtual ~FrameSource() = default;

    virtual ReadStatus readFrame(FrameView* view) = 0;
    virtual int releaseFrame() = 0;
    virtual int closeStream() = 0;
    // Property ids are the kProperty* values of records/aac_syntax.h; 0 on success.
    virtual int setProperty(int id, int32_t value) = 0;
    virtual int getProperty(int id, int32_t* value) const = 0;
};

}  // namespace varnel
