#include "frontend/adts_output.h"

#include <cctype>

#include "records/aac_syntax.h"

namespace varnel {
namespace {

constexpr uint32_t kMaxFrameBytes = (1u << kAdtsFrameLengthBits) - 1;
constexpr uint32_t kExplicitFrequencyIndex = 15;
constexpr uint32_t kMaxChannelConfiguration = (1u << kAdtsChannelConfigurationBits) - 1;

// Reads MSB-first fields from a byte span; past its end reads zeros and marks it short.
class FieldReader {
public:
    explicit FieldReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint32_t take(int bits) {
        uint32_t v = 0;
        for (int i = 0; i < bits; ++i, ++pos_) {
            const size_t byte = pos_ / 8;
            if (byte >= bytes_.size()) {
                short_ = true;
                v <<= 1;
                continue;
            }
            v = (v << 1) | ((bytes_[byte] >> (7 - pos_ % 8)) & 1u);
        }
        return v;
    }
    bool isShort() const { return short_; }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    bool short_ = false;
};

// Packs MSB-first fields into the 56 bits of the header.
class HeaderPacker {
public:
    void put(uint32_t value, int bits) { bits_ = (bits_ << bits) | (value & ((uint64_t{1} << bits) - 1)); }
    void store(uint8_t* out) const {
        for (int i = 0; i < kAdtsHeaderBytes; ++i) out[i] = static_cast<uint8_t>(bits_ >> (8 * (kAdtsHeaderBytes - 1 - i)));
    }

private:
    uint64_t bits_ = 0;
};

}  // namespace

bool isAdtsName(const std::string& name) {
    if (name == kStandardOutputName) return true;
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return suffix == ".aac";
}

bool adtsConfigFrom(std::span<const uint8_t> audioSpecificConfig, AdtsConfig* config) {
    FieldReader r(audioSpecificConfig);
    config->audioObjectType = r.take(kAudioObjectTypeBits);
    config->samplingFrequencyIndex = r.take(kSamplingFrequencyIndexBits);
    config->channelConfiguration = r.take(kChannelConfigurationBits);
    return !r.isShort() && config->audioObjectType >= 1 &&
           config->audioObjectType <= (1u << kAdtsProfileBits) &&
           config->samplingFrequencyIndex != kExplicitFrequencyIndex &&
           config->channelConfiguration <= kMaxChannelConfiguration;
}

void adtsHeader(const AdtsConfig& config, uint32_t rawBytes, uint8_t* header) {
    HeaderPacker p;
    // adts_fixed_header
    p.put(kAdtsSyncword, kAdtsSyncwordBits);                          // syncword
    p.put(kAdtsIdMpeg4, kAdtsIdBits);                                 // ID
    p.put(0, kAdtsLayerBits);                                         // layer
    p.put(1, kAdtsProtectionAbsentBits);                              // protection_absent
    p.put(config.audioObjectType - 1, kAdtsProfileBits);              // profile_ObjectType
    p.put(config.samplingFrequencyIndex, kSamplingFrequencyIndexBits); // sampling_frequency_index
    p.put(0, kAdtsPrivateBitBits);                                    // private_bit
    p.put(config.channelConfiguration, kAdtsChannelConfigurationBits); // channel_configuration
    // adts_variable_header
    p.put(0, kAdtsFlagBits);                             // original_copy, home, copyright bits
    p.put(kAdtsHeaderBytes + rawBytes, kAdtsFrameLengthBits);     // frame_length
    p.put(kAdtsBufferFullnessVariable, kAdtsBufferFullnessBits);  // adts_buffer_fullness
    p.put(0, kAdtsRawDataBlocksBits);                             // number_of_raw_data_blocks_in_frame
    p.store(header);
}

std::unique_ptr<AdtsOutput> AdtsOutput::create(const std::string& path) {
    std::unique_ptr<AdtsOutput> out(new AdtsOutput());
    if (path == kStandardOutputName) {
        out->sink_ = stdout;
    } else {
        out->sink_ = std::fopen(path.c_str(), "wb");
        out->ownsSink_ = true;
    }
    if (!out->sink_) return nullptr;
    return out;
}

AdtsOutput::~AdtsOutput() {
    if (ownsSink_ && sink_) std::fclose(sink_);
}

bool AdtsOutput::describeAudio(std::span<const uint8_t> audioSpecificConfig, uint16_t, uint32_t, RateStatement) {
    described_ = adtsConfigFrom(audioSpecificConfig, &config_);
    return described_;
}

bool AdtsOutput::writeFrame(const uint8_t* data, uint32_t size) {
    if (!described_ || size > kMaxFrameBytes - kAdtsHeaderBytes) return false;
    uint8_t header[kAdtsHeaderBytes];
    adtsHeader(config_, size, header);
    if (std::fwrite(header, 1, sizeof header, sink_) != sizeof header) return false;
    if (size > 0 && std::fwrite(data, 1, size, sink_) != size) return false;
    countFrame(size);
    return true;
}

bool AdtsOutput::finish(uint64_t, uint32_t) {
    bool ok = std::fflush(sink_) == 0 && !std::ferror(sink_);
    if (ownsSink_) {
        ok = std::fclose(sink_) == 0 && ok;
        sink_ = nullptr;
    }
    return ok;
}

}  // namespace varnel
