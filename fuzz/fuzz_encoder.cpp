// Fuzz target of the encoder core. The input is read as
//
//   byte 0      sampling rate index (mod 12) into sampleRateTable
//   byte 1      channels: 1 + (byte & 1)
//   bytes 2..5  bit rate per channel, little-endian, mapped to 1 .. 6 * rate bit/s
//   byte 6      option bits (mod 4): kOptionTns, kOptionPns; bit 2 set: channel pairs
//               coded left/right only (mid/side off)
//   the rest    16-bit little-endian PCM, interleaved
//
// and encoded as the benchmark does: a 16-bit WAV file through the input stream with two flush
// frames, one encodeFrame per 16384-byte output buffer. Besides the sanitizers it checks what a
// decoder relies on: no block exceeds the decoder's input buffer (6144 bits per channel), no
// block overflows the output buffer, every block ends byte-aligned, and one block is written per
// input frame and flush frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bitstream/bit_writer.h"
#include "encoder/aac_encoder.h"
#include "encoder/band_tables.h"
#include "frontend/wav_input.h"
#include "fuzz/fuzz_input_file.h"

namespace {

constexpr size_t kParameterBytes = 7;
constexpr int kOutputBufferBytes = 16384;
constexpr int32_t kFlushFrames = 2;

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// A canonical 16-bit PCM WAV file: RIFF header, 16-byte "fmt " chunk, "data" chunk.
std::vector<uint8_t> pcmWav(uint32_t rate, uint16_t channels, const uint8_t* pcm, size_t bytes) {
    const uint16_t blockAlign = static_cast<uint16_t>(2 * channels);
    bytes -= bytes % blockAlign;
    std::vector<uint8_t> wav;
    wav.reserve(44 + bytes);
    wav.insert(wav.end(), {'R', 'I', 'F', 'F'});
    put32(wav, static_cast<uint32_t>(36 + bytes));
    wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(wav, 16);
    put16(wav, 1);  // PCM
    put16(wav, channels);
    put32(wav, rate);
    put32(wav, rate * blockAlign);
    put16(wav, blockAlign);
    put16(wav, 16);
    wav.insert(wav.end(), {'d', 'a', 't', 'a'});
    put32(wav, static_cast<uint32_t>(bytes));
    wav.insert(wav.end(), pcm, pcm + bytes);
    return wav;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace varnel;
    if (size < kParameterBytes) return 0;
    const int32_t rate = sampleRateTable[data[0] % sampleRateTable.size()];
    const uint16_t channels = static_cast<uint16_t>(1 + (data[1] & 1));
    const uint32_t rateField = uint32_t{data[2]} | (uint32_t{data[3]} << 8) | (uint32_t{data[4]} << 16) |
                               (uint32_t{data[5]} << 24);
    const int32_t bitRatePerChannel = static_cast<int32_t>(1 + rateField % (6 * static_cast<uint32_t>(rate)));
    const int32_t options = data[6] & (kOptionTns | kOptionPns);
    const bool midSide = (data[6] & 4) == 0;

    const std::vector<uint8_t> wav = pcmWav(static_cast<uint32_t>(rate), channels, data + kParameterBytes,
                                            size - kParameterBytes);
    const uint64_t samplesPerChannel = (size - kParameterBytes) / (2u * channels);
    const fuzz::InputFile file(wav.data(), wav.size());

    InputStreamParams params;
    params.fileName = file.path();
    params.frameLength = kFrameLength;
    params.trailingSilentFrames = kFlushFrames;
    std::unique_ptr<InputStream> stream;
    std::string error;
    if (openInputStream(params, &stream, &error) != kStreamOk) fuzz::fail("a canonical 16-bit WAV was refused");

    std::vector<uint8_t> buffer(kOutputBufferBytes);
    std::unique_ptr<BitWriter> writer = createBitWriter();
    writer->setOutput(buffer.data(), kOutputBufferBytes);
    EncoderConfig config;
    config.bitRatePerChannel = bitRatePerChannel;
    std::unique_ptr<AacEncoder> encoder;
    if (openEncoder(config, std::move(writer), std::move(stream), &encoder) != OpenStatus::Ok)
        fuzz::fail("the encoder refused an AAC sampling rate");
    int bits = 0;
    encoder->bitWriter->takeOutput(&bits);  // the AudioSpecificConfig
    encoder->setOption(kOptionBitsId, options);
    encoder->frame.midSideEnabled = midSide;

    uint64_t blocks = 0;
    while (true) {
        encoder->bitWriter->setOutput(buffer.data(), kOutputBufferBytes);
        const FrameStatus status = encoder->encodeFrame();
        if (status == FrameStatus::EndOfInput) break;
        if (status != FrameStatus::Written) fuzz::fail("a read of an in-memory file failed");
        encoder->bitWriter->takeOutput(&bits);
        if (bits > kMaxBitsPerChannel * channels) {
            std::fprintf(stderr, "block %llu: %d bits; %d Hz, %d channel(s), %d bit/s per channel, options %d%s\n",
                         static_cast<unsigned long long>(blocks), bits, rate, channels, bitRatePerChannel, options,
                         midSide ? "" : ", left/right only");
            fuzz::fail("a block is larger than the decoder's input buffer");
        }
        if (bits % 8 != 0) fuzz::fail("a block does not end byte-aligned");
        if (encoder->bitWriter->overflowed()) fuzz::fail("a block overflowed the output buffer");
        ++blocks;
    }
    const uint64_t inputFrames = (samplesPerChannel + kFrameLength - 1) / kFrameLength;
    if (blocks != (inputFrames > 0 ? inputFrames + kFlushFrames : 0))
        fuzz::fail("not one block per input frame and flush frame");
    encoder->closeEncoder();
    return 0;
}
