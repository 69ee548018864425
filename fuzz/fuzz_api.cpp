// Fuzz target of the library's C interface itself. The input is a script of calls in any order:
// open with any sampling rate, channel count and bit rate, the options with any int as id and
// value, encode with any sample count and buffer size, flush, close, calls after the end of the
// input and after close, null pointers, and the getters. Besides the sanitizers it checks what
// the header promises:
//
//   - a call is refused exactly when one of the header's reasons applies (null pointer, closed
//     encoder, unknown option or value, sample count, buffer size, ended input), with one of
//     those reasons' codes, and otherwise succeeds;
//   - a refused call changes nothing: a second encoder that is given only the accepted calls
//     returns the same access units, byte for byte;
//   - the getters tell what was opened (the bit rate lowered to 6 bit/s per Hz and channel),
//     the options as they were switched, and a configuration of 2 bytes (5 at 24000 Hz and
//     below) that names AAC LC, the sampling rate and the channel count;
//   - every accepted frame gives one access unit that fits the decoder's input buffer, and the
//     flush gives two after any input, then nothing.
//
// Every buffer handed over holds exactly the size the call is told (up to a few access units),
// so that the address sanitizer sees any access past it.
//
// The script (a byte past the end of the input reads as 0):
//   open    rate byte: below 0xF0 one of the twelve rates, else the next 4 bytes as an int;
//           channel byte: below 0xF0 1 + (byte & 1), else byte - 0xF2 (-2 .. 13);
//           4 bytes of bit rate: with the top bit clear 1 + value % 672000, else the value as
//           an int (negative); a flag byte: bit 0 set, no pointer for the error code
//   then one byte per call (mod kCallCount, see Call) and the bytes of its arguments.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "fuzz/fuzz_input_file.h"
#include "varnel/aac_encoder.h"

namespace {

using varnel::fuzz::fail;

constexpr int32_t kSampleRates[12] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
constexpr int kBytesPerChannel = 768;  // 6144 bits, the decoder's input buffer
constexpr int kFlushFrames = 2;
constexpr int kOptionCount = 5;  // ids 1 .. 5
// Limits per input, so that one run stays short: calls, and frames through the encoder.
constexpr int kMaxCalls = 64;
constexpr int kMaxFrames = 8;

enum class Call : uint8_t {
    SetOption,    // option id, value
    GetOption,    // option id
    GetConfig,    // room byte: below 0xF8 (byte & 7) - 1 bytes of room, else a null pointer
    Getters,      // delay, frame length, bit rate, sampling rate, channels
    EncodeInt16,  // frame size, output size, pointer flags, signal
    EncodeFloat,  // the same, with float samples
    Flush,        // output size, pointer flags
    Close,
    Reopen,       // destroys the encoder and opens another from an open section of the script
    NullEncoder,  // every call on a null encoder, and the destroy that ignores it
    Strerror,     // any int as result code
    Count
};
constexpr int kCallCount = static_cast<int>(Call::Count);

class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
        return v;
    }
    int32_t anyInt() { return static_cast<int32_t>(word()); }

    // Below 0xF0 an option id from -1 to 6, the five known ones among them; else any int.
    int optionId() {
        const uint8_t b = byte();
        return b < 0xF0 ? b % 8 - 1 : anyInt();
    }
    // Below 0xE0 0 or 1; up to 0xEF -2 .. 13; else any int.
    int optionValue() {
        const uint8_t b = byte();
        return b < 0xE0 ? b & 1 : b < 0xF0 ? b - 0xE2 : anyInt();
    }
    // Below 0xC0 a whole frame; up to 0xEF a short one (1 .. 1023); else any int.
    int frameSize() {
        const uint8_t b = byte();
        if (b < 0xC0) return VARNEL_AAC_FRAME_LENGTH;
        if (b < 0xF0) return 1 + static_cast<int>((uint32_t{byte()} | uint32_t{byte()} << 8) % 1023);
        return anyInt();
    }
    // Below 0x70 exactly the room the interface asks for, up to 0xDF the largest access unit's,
    // up to 0xEF 1 .. 16 bytes short of the room asked for; else any int.
    int outputSize(int channels) {
        const uint8_t b = byte();
        if (b < 0x70) return kBytesPerChannel * channels;
        if (b < 0xE0) return VARNEL_AAC_MAX_ACCESS_UNIT_BYTES;
        if (b < 0xF0) return kBytesPerChannel * channels - 1 - (b & 15);
        return anyInt();
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The codes of the refusals that apply to one call.
class Refusals {
public:
    void add(bool applies, int code) {
        if (applies) codes_.push_back(code);
    }
    bool any() const { return !codes_.empty(); }
    bool allow(int code) const { return std::find(codes_.begin(), codes_.end(), code) != codes_.end(); }

private:
    std::vector<int> codes_;
};

// A call's result against its refusals: one of their codes when any applies, else no error.
// Returns whether the call was accepted.
bool accepted(int result, const Refusals& refusals, const char* call) {
    if (refusals.any()) {
        if (refusals.allow(result)) return false;
        std::fprintf(stderr, "%s returned %d (%s)\n", call, result, varnel_aac_strerror(result));
        fail("a call was not refused for the reason that applies");
    }
    if (result < 0) {
        std::fprintf(stderr, "%s: %s\n", call, varnel_aac_strerror(result));
        fail("a valid call was refused");
    }
    return true;
}

// A buffer of exactly `size` bytes (none for a size below 1), or no buffer at all. A size past
// kMaxBufferBytes gets that many: more than any call may write.
constexpr int kMaxBufferBytes = 4 * VARNEL_AAC_MAX_ACCESS_UNIT_BYTES;

class Buffer {
public:
    Buffer(int size, bool null)
        : bytes_(null ? nullptr
                      : std::make_unique<unsigned char[]>(static_cast<size_t>(std::clamp(size, 0, kMaxBufferBytes)))) {}
    unsigned char* data() const { return bytes_.get(); }

private:
    std::unique_ptr<unsigned char[]> bytes_;
};

struct OpenArguments {
    int32_t rate = 0;
    int channels = 0;
    int32_t bitRate = 0;
    bool errorPointer = true;
};

OpenArguments readOpen(Script& script) {
    OpenArguments a;
    const uint8_t rate = script.byte();
    a.rate = rate < 0xF0 ? kSampleRates[rate % 12] : script.anyInt();
    const uint8_t channels = script.byte();
    a.channels = channels < 0xF0 ? 1 + (channels & 1) : channels - 0xF2;
    const uint32_t bitRate = script.word();
    a.bitRate = bitRate >> 31 == 0 ? static_cast<int32_t>(1 + bitRate % 672000) : static_cast<int32_t>(bitRate);
    a.errorPointer = (script.byte() & 1) == 0;
    return a;
}

int rateIndex(int32_t rate) {
    const auto* it = std::find(std::begin(kSampleRates), std::end(kSampleRates), rate);
    return it == std::end(kSampleRates) ? -1 : static_cast<int>(it - std::begin(kSampleRates));
}

// One frame of samples, interleaved: silence, noise, a square wave or full scale alternating,
// at an amplitude from the signal byte; float samples may go past full scale and carry NaN and
// infinities.
template <typename Sample>
std::vector<Sample> signal(uint8_t kind, int count, uint32_t* seed) {
    std::vector<Sample> pcm(static_cast<size_t>(count));
    const double amplitude = ((kind >> 2) & 15) / 8.0;  // 0 .. 1.875 of full scale
    for (int i = 0; i < count; ++i) {
        *seed = *seed * 1664525u + 1013904223u;
        double v = 0;
        switch (kind & 3) {
        case 0: break;
        case 1: v = static_cast<double>(static_cast<int32_t>(*seed)) / 2147483648.0; break;
        case 2: v = (i / 37) % 2 ? 1.0 : -1.0; break;
        case 3: v = i % 2 ? 1.0 : -1.0; break;
        }
        v *= amplitude;
        if constexpr (std::is_same_v<Sample, float>) {
            if ((kind & 0x40) && i % 97 == 0)
                pcm[static_cast<size_t>(i)] = (i / 97) % 3 == 0   ? std::numeric_limits<float>::quiet_NaN()
                                              : (i / 97) % 3 == 1 ? std::numeric_limits<float>::infinity()
                                                                  : -std::numeric_limits<float>::infinity();
            else
                pcm[static_cast<size_t>(i)] = static_cast<float>(v);
        } else {
            pcm[static_cast<size_t>(i)] = static_cast<int16_t>(std::clamp(v * 32767.0, -32768.0, 32767.0));
        }
    }
    return pcm;
}

// The encoder under test, what it should be in, and its twin, which is given only the calls
// the first one accepted.
class Session {
public:
    ~Session() { release(); }

    void open(const OpenArguments& a) {
        release();
        args_ = a;
        int error = 12345;
        enc_ = varnel_aac_encoder_open(a.rate, a.channels, a.bitRate, a.errorPointer ? &error : nullptr);
        Refusals refusals;
        refusals.add(rateIndex(a.rate) < 0, VARNEL_AAC_ERR_SAMPLE_RATE);
        refusals.add(a.channels < 1 || a.channels > 2, VARNEL_AAC_ERR_CHANNELS);
        refusals.add(a.bitRate <= 0, VARNEL_AAC_ERR_BIT_RATE);
        if ((enc_ == nullptr) != refusals.any()) fail("open succeeded or failed against its arguments");
        if (a.errorPointer) accepted(error, refusals, "open");
        if (!enc_) return;
        twin_ = varnel_aac_encoder_open(a.rate, a.channels, a.bitRate, nullptr);
        if (!twin_) fail("the same arguments opened one encoder and not another");
        closed_ = inputSeen_ = ended_ = false;
        flushFramesLeft_ = kFlushFrames;
        options_[VARNEL_AAC_OPTION_TNS] = 1;
        options_[VARNEL_AAC_OPTION_NOISE_SUBSTITUTION] = 0;
        options_[VARNEL_AAC_OPTION_MID_SIDE] = 1;
        options_[VARNEL_AAC_OPTION_PERCEPTUAL] = 0;
        options_[VARNEL_AAC_OPTION_VBR] = 0;
    }

    void run(Call call, Script& script) {
        switch (call) {
        case Call::SetOption: {
            const int id = script.optionId();
            setOption(id, script.optionValue());
            break;
        }
        case Call::GetOption: getOption(script.optionId()); break;
        case Call::GetConfig: getConfig(script.byte()); break;
        case Call::Getters: getters(); break;
        case Call::EncodeInt16: encode<int16_t>(script); break;
        case Call::EncodeFloat: encode<float>(script); break;
        case Call::Flush: flush(script); break;
        case Call::Close: close(); break;
        case Call::Reopen: open(readOpen(script)); break;
        case Call::NullEncoder: nullEncoder(); break;
        case Call::Strerror: {
            const char* text = varnel_aac_strerror(script.anyInt());
            const char* version = varnel_aac_version();
            if (!text || !*text || !version || !*version) fail("an empty description or version");
            break;
        }
        case Call::Count: break;
        }
    }

private:
    // The refusals every call on the encoder starts with.
    Refusals refusals() const {
        Refusals r;
        r.add(enc_ == nullptr, VARNEL_AAC_ERR_NULL);
        r.add(enc_ != nullptr && closed_, VARNEL_AAC_ERR_CLOSED);
        return r;
    }
    // Arguments past the encoder only count when there is an open encoder to refuse them.
    bool live() const { return enc_ != nullptr && !closed_; }
    int channels() const { return enc_ ? args_.channels : 1; }
    static bool isOptionId(int id) { return id >= 1 && id <= kOptionCount; }
    // The VBR level takes 0 .. 5, the switches 0 and 1.
    static int largestValue(int id) { return id == VARNEL_AAC_OPTION_VBR ? 5 : 1; }

    void setOption(int id, int value) {
        Refusals r = refusals();
        r.add(live() && (!isOptionId(id) || value < 0 || value > largestValue(id)), VARNEL_AAC_ERR_OPTION);
        if (!accepted(varnel_aac_encoder_set_option(enc_, id, value), r, "set_option")) return;
        if (varnel_aac_encoder_set_option(twin_, id, value) != VARNEL_AAC_OK) fail("the twin refused an option");
        options_[id] = value;
        // A VBR level switches the perceptual mode on.
        if (id == VARNEL_AAC_OPTION_VBR && value > 0) options_[VARNEL_AAC_OPTION_PERCEPTUAL] = 1;
    }

    void getOption(int id) {
        Refusals r = refusals();
        r.add(live() && !isOptionId(id), VARNEL_AAC_ERR_OPTION);
        const int result = varnel_aac_encoder_get_option(enc_, id);
        if (accepted(result, r, "get_option") && result != options_[id]) fail("an option reads other than it was set");
    }

    void getConfig(uint8_t room) {
        const bool null = room >= 0xF8;
        const int size = (room & 7) - 1;
        const int expected = args_.rate <= 24000 ? 5 : 2;
        Buffer config(size, null);
        Refusals r = refusals();
        r.add(live() && null, VARNEL_AAC_ERR_NULL);
        r.add(live() && size < expected, VARNEL_AAC_ERR_BUFFER_TOO_SMALL);
        const int result = varnel_aac_encoder_get_config(enc_, config.data(), size);
        if (!accepted(result, r, "get_config")) return;
        if (result != expected) fail("a configuration of the wrong length");
        const unsigned char* c = config.data();
        // audioObjectType (5 bits, 2: AAC LC), samplingFrequencyIndex (4), channelConfiguration (4).
        if (c[0] >> 3 != 2 || ((c[0] & 7) << 1 | c[1] >> 7) != rateIndex(args_.rate) ||
            ((c[1] >> 3) & 15) != args_.channels)
            fail("the configuration names another object type, rate or channel count");
        unsigned char twin[VARNEL_AAC_MAX_CONFIG_BYTES];
        if (varnel_aac_encoder_get_config(twin_, twin, sizeof twin) != result || std::memcmp(twin, c, result) != 0)
            fail("two encoders opened alike give different configurations");
    }

    void getters() {
        const int32_t rateInUse = static_cast<int32_t>(
            std::min<int64_t>(args_.bitRate, int64_t{6} * args_.rate * args_.channels));
        const struct {
            int32_t result;
            int32_t expected;
            const char* name;
        } values[] = {{varnel_aac_encoder_get_delay(enc_), VARNEL_AAC_DELAY, "get_delay"},
                      {varnel_aac_encoder_get_frame_length(enc_), VARNEL_AAC_FRAME_LENGTH, "get_frame_length"},
                      {varnel_aac_encoder_get_bit_rate(enc_), rateInUse, "get_bit_rate"},
                      {varnel_aac_encoder_get_sample_rate(enc_), args_.rate, "get_sample_rate"},
                      {varnel_aac_encoder_get_channels(enc_), args_.channels, "get_channels"}};
        for (const auto& v : values)
            if (accepted(v.result, refusals(), v.name) && v.result != v.expected) {
                std::fprintf(stderr, "%s: %d, not %d\n", v.name, v.result, v.expected);
                fail("a getter tells other than was opened");
            }
    }

    // An accepted access unit, and the twin's for the same call, must be the same and fit.
    void checkUnit(int result, const unsigned char* out, int twinResult, const unsigned char* twinOut) const {
        if (result > kBytesPerChannel * args_.channels) fail("an access unit is larger than the decoder's input buffer");
        if (twinResult != result || std::memcmp(out, twinOut, static_cast<size_t>(result)) != 0)
            fail("a refused call changed what the encoder writes");
    }

    template <typename Sample>
    void encode(Script& script) {
        const int frameSize = script.frameSize();
        const int outSize = script.outputSize(channels());
        const uint8_t pointers = script.byte();
        const bool pcmNull = (pointers & 0x0F) == 0x0F;
        const bool outNull = (pointers & 0xF0) == 0xF0;
        const uint8_t kind = script.byte();
        if (frames_ >= kMaxFrames) return;
        // The samples of the frame size asked for, or of a whole frame when that size is refused.
        const int samples = (frameSize >= 1 && frameSize <= VARNEL_AAC_FRAME_LENGTH ? frameSize : VARNEL_AAC_FRAME_LENGTH) *
                            channels();
        const std::vector<Sample> pcm = signal<Sample>(kind, samples, &seed_);
        Buffer out(outSize, outNull);
        Refusals r = refusals();
        r.add(live() && pcmNull, VARNEL_AAC_ERR_NULL);
        r.add(live() && outNull, VARNEL_AAC_ERR_NULL);
        r.add(live() && outSize < kBytesPerChannel * channels(), VARNEL_AAC_ERR_BUFFER_TOO_SMALL);
        r.add(live() && ended_, VARNEL_AAC_ERR_ENDED);
        r.add(live() && (frameSize < 1 || frameSize > VARNEL_AAC_FRAME_LENGTH), VARNEL_AAC_ERR_FRAME_SIZE);
        const Sample* in = pcmNull ? nullptr : pcm.data();
        auto call = [&](VarnelAacEncoder* e, const Sample* p, unsigned char* o, int size) {
            if constexpr (std::is_same_v<Sample, float>)
                return varnel_aac_encode_float(e, p, frameSize, o, size);
            else
                return varnel_aac_encode_int16(e, p, frameSize, o, size);
        };
        const int result = call(enc_, in, out.data(), outSize);
        if (!accepted(result, r, "encode")) return;
        ++frames_;
        if (result == 0) fail("a frame gave no access unit");
        unsigned char twinOut[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
        checkUnit(result, out.data(), call(twin_, pcm.data(), twinOut, sizeof twinOut), twinOut);
        inputSeen_ = true;
        if (frameSize < VARNEL_AAC_FRAME_LENGTH) ended_ = true;
    }

    void flush(Script& script) {
        const int outSize = script.outputSize(channels());
        const bool outNull = script.byte() >= 0xF0;
        Buffer out(outSize, outNull);
        Refusals r = refusals();
        r.add(live() && outNull, VARNEL_AAC_ERR_NULL);
        r.add(live() && outSize < kBytesPerChannel * channels(), VARNEL_AAC_ERR_BUFFER_TOO_SMALL);
        const int result = varnel_aac_encoder_flush(enc_, out.data(), outSize);
        if (!accepted(result, r, "flush")) return;
        ended_ = true;
        const bool unitDue = inputSeen_ && flushFramesLeft_ > 0;
        if ((result > 0) != unitDue) fail("flush gave other than two access units after input, then none");
        unsigned char twinOut[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
        checkUnit(result, out.data(), varnel_aac_encoder_flush(twin_, twinOut, sizeof twinOut), twinOut);
        if (unitDue) --flushFramesLeft_;
    }

    void close() {
        if (!accepted(varnel_aac_encoder_close(enc_), refusals(), "close")) return;
        if (varnel_aac_encoder_close(twin_) != VARNEL_AAC_OK) fail("the twin refused close");
        closed_ = true;
    }

    static void nullEncoder() {
        unsigned char out[VARNEL_AAC_MAX_ACCESS_UNIT_BYTES];
        const int16_t pcm16[2 * VARNEL_AAC_FRAME_LENGTH] = {};
        const float pcmFloat[2 * VARNEL_AAC_FRAME_LENGTH] = {};
        const int results[] = {varnel_aac_encoder_set_option(nullptr, VARNEL_AAC_OPTION_TNS, 1),
                               varnel_aac_encoder_get_option(nullptr, VARNEL_AAC_OPTION_TNS),
                               varnel_aac_encoder_get_config(nullptr, out, sizeof out),
                               varnel_aac_encoder_get_delay(nullptr),
                               varnel_aac_encoder_get_frame_length(nullptr),
                               static_cast<int>(varnel_aac_encoder_get_bit_rate(nullptr)),
                               static_cast<int>(varnel_aac_encoder_get_sample_rate(nullptr)),
                               varnel_aac_encoder_get_channels(nullptr),
                               varnel_aac_encode_int16(nullptr, pcm16, VARNEL_AAC_FRAME_LENGTH, out, sizeof out),
                               varnel_aac_encode_float(nullptr, pcmFloat, VARNEL_AAC_FRAME_LENGTH, out, sizeof out),
                               varnel_aac_encoder_flush(nullptr, out, sizeof out),
                               varnel_aac_encoder_close(nullptr)};
        for (const int result : results)
            if (result != VARNEL_AAC_ERR_NULL) fail("a call on a null encoder was not refused as such");
        varnel_aac_encoder_destroy(nullptr);
    }

    void release() {
        varnel_aac_encoder_destroy(enc_);
        varnel_aac_encoder_destroy(twin_);
        enc_ = twin_ = nullptr;
    }

    VarnelAacEncoder* enc_ = nullptr;
    VarnelAacEncoder* twin_ = nullptr;
    OpenArguments args_;
    bool closed_ = false;
    bool inputSeen_ = false;
    bool ended_ = false;
    int flushFramesLeft_ = kFlushFrames;
    int options_[kOptionCount + 1] = {};  // by id
    int frames_ = 0;                      // encode calls accepted in this run
    uint32_t seed_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script(data, size);
    Session session;
    session.open(readOpen(script));
    for (int calls = 0; calls < kMaxCalls && !script.done(); ++calls)
        session.run(static_cast<Call>(script.byte() % kCallCount), script);
    return 0;
}
