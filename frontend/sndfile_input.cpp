#include "frontend/sndfile_input.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sndfile.h>

#include "encoder/sample_scale.h"
#include "frontend/little_endian.h"
#include "frontend/shared_library.h"

namespace varnel {
namespace {

// The library's functions this reader calls, resolved once.
struct SndfileApi {
    decltype(&sf_open) open = nullptr;
    decltype(&sf_close) close = nullptr;
    decltype(&sf_readf_int) readfInt = nullptr;
    decltype(&sf_readf_double) readfDouble = nullptr;
    decltype(&sf_command) command = nullptr;
    decltype(&sf_get_string) getString = nullptr;
    decltype(&sf_strerror) strerror = nullptr;
    decltype(&sf_error) error = nullptr;
    decltype(&sf_version_string) version = nullptr;
    std::string failure;  // why the library cannot be used; empty when it can
};

const SndfileApi& api() {
    static const SndfileApi loaded = [] {
        SndfileApi a;
        SharedLibrary library(VARNEL_SNDFILE_SONAME);
        library.resolve("sf_open", &a.open);
        library.resolve("sf_close", &a.close);
        library.resolve("sf_readf_int", &a.readfInt);
        library.resolve("sf_readf_double", &a.readfDouble);
        library.resolve("sf_command", &a.command);
        library.resolve("sf_get_string", &a.getString);
        library.resolve("sf_strerror", &a.strerror);
        library.resolve("sf_error", &a.error);
        library.resolve("sf_version_string", &a.version);
        a.failure = library.failure();
        return a;
    }();
    return loaded;
}

SNDFILE* handle(void* file) { return static_cast<SNDFILE*>(file); }

// Sub-formats whose samples are floating point, or decoded to it.
bool isFloatFormat(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III: return true;
    default: return false;
    }
}

// The tags the library exposes, by the WAV INFO ids of the same tags.
constexpr std::pair<int, const char*> kTagIds[] = {
    {SF_STR_TITLE, "INAM"}, {SF_STR_ARTIST, "IART"}, {SF_STR_ALBUM, "IPRD"},      {SF_STR_DATE, "ICRD"},
    {SF_STR_GENRE, "IGNR"}, {SF_STR_COMMENT, "ICMT"}, {SF_STR_TRACKNUMBER, "ITRK"},
};

// A speaker of the library's channel map; false for positions this program does not place
// (ambisonic components, invalid entries).
bool speakerOf(int position, Speaker* speaker) {
    using S = Speaker;
    switch (position) {
    case SF_CHANNEL_MAP_MONO:
    case SF_CHANNEL_MAP_CENTER:
    case SF_CHANNEL_MAP_FRONT_CENTER: *speaker = S::FrontCenter; return true;
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT: *speaker = S::FrontLeft; return true;
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT: *speaker = S::FrontRight; return true;
    case SF_CHANNEL_MAP_REAR_CENTER: *speaker = S::BackCenter; return true;
    case SF_CHANNEL_MAP_REAR_LEFT: *speaker = S::BackLeft; return true;
    case SF_CHANNEL_MAP_REAR_RIGHT: *speaker = S::BackRight; return true;
    case SF_CHANNEL_MAP_LFE: *speaker = S::LowFrequency; return true;
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: *speaker = S::FrontLeftOfCenter; return true;
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: *speaker = S::FrontRightOfCenter; return true;
    case SF_CHANNEL_MAP_SIDE_LEFT: *speaker = S::SideLeft; return true;
    case SF_CHANNEL_MAP_SIDE_RIGHT: *speaker = S::SideRight; return true;
    case SF_CHANNEL_MAP_TOP_CENTER: *speaker = S::TopCenter; return true;
    case SF_CHANNEL_MAP_TOP_FRONT_LEFT: *speaker = S::TopFrontLeft; return true;
    case SF_CHANNEL_MAP_TOP_FRONT_RIGHT: *speaker = S::TopFrontRight; return true;
    case SF_CHANNEL_MAP_TOP_FRONT_CENTER: *speaker = S::TopFrontCenter; return true;
    case SF_CHANNEL_MAP_TOP_REAR_LEFT: *speaker = S::TopBackLeft; return true;
    case SF_CHANNEL_MAP_TOP_REAR_RIGHT: *speaker = S::TopBackRight; return true;
    case SF_CHANNEL_MAP_TOP_REAR_CENTER: *speaker = S::TopBackCenter; return true;
    default: return false;
    }
}

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// The length the container's own header gives for the whole file, for the containers that
// state one (AIFF and AIFC, RF64 and BW64, W64); 0 when it states none or a placeholder. The
// library reads a file cut short as if it ended there, so this is how a cut file is found.
uint64_t statedFileLength(const uint8_t* head, size_t n) {
    static constexpr uint8_t kW64Riff[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                             0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    if (n >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
        (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0)) {
        const uint32_t size = be32(head + 4);
        return size == 0 || size == 0xFFFFFFFFu ? 0 : uint64_t{size} + 8;
    }
    if (n >= 28 && (std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0) &&
        std::memcmp(head + 12, "ds64", 4) == 0) {
        const uint64_t size = le64(head + 20);
        return size == 0 || size == ~uint64_t{0} ? 0 : size + 8;
    }
    if (n >= 24 && std::memcmp(head, kW64Riff, sizeof kW64Riff) == 0) {
        const uint64_t size = le64(head + 16);
        return size == ~uint64_t{0} ? 0 : size;
    }
    return 0;
}

// Why a file is shorter than its header says; empty when it is not.
std::string cutShort(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    uint8_t head[28] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    const long long length = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
    std::fclose(f);
    const uint64_t stated = statedFileLength(head, n);
    if (length < 0 || stated <= static_cast<uint64_t>(length)) return {};
    return "the file is truncated: its header states " + std::to_string(stated) + " bytes, and it holds " +
           std::to_string(length);
}

}  // namespace

bool sndfileAvailable(std::string* versionOrReason) {
    const SndfileApi& a = api();
    *versionOrReason = a.failure.empty() ? a.version() : a.failure;
    return a.failure.empty();
}

std::unique_ptr<SndfileSource> SndfileSource::open(const std::string& path, std::string* error, bool* recognised) {
    *recognised = false;
    const SndfileApi& a = api();
    if (!a.failure.empty()) {
        *error = a.failure;
        return nullptr;
    }
    SF_INFO info{};
    SNDFILE* file = a.open(path.c_str(), SFM_READ, &info);
    if (!file) {
        const int code = a.error(nullptr);
        *recognised = code != SF_ERR_UNRECOGNISED_FORMAT;
        *error = std::string("cannot be read: ") + a.strerror(nullptr);
        return nullptr;
    }
    *recognised = true;
    std::unique_ptr<SndfileSource> source(new SndfileSource());
    source->file_ = file;
    if (std::string cut = cutShort(path); !cut.empty()) {
        *error = cut;
        return nullptr;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        *error = "inconsistent header: " + std::to_string(info.channels) + " channels at " +
                 std::to_string(info.samplerate) + " Hz";
        return nullptr;
    }
    source->channels_ = info.channels;
    source->sampleRate_ = info.samplerate;
    // A length the library does not know (a stream that runs to its end) is not a length.
    source->frames_ = info.frames > 0 && info.frames < std::numeric_limits<sf_count_t>::max()
                          ? static_cast<uint64_t>(info.frames) : 0;
    source->floatSamples_ = isFloatFormat(info.format);
    SF_FORMAT_INFO container{};
    container.format = info.format & SF_FORMAT_TYPEMASK;
    if (a.command(file, SFC_GET_FORMAT_INFO, &container, sizeof container) == 0 && container.name)
        source->formatName_ = container.name;
    for (const auto& [id, infoId] : kTagIds)
        if (const char* text = a.getString(file, id); text && *text) source->info_.emplace_back(infoId, text);
    std::vector<int> map(static_cast<size_t>(info.channels));
    if (a.command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int))) == SF_TRUE) {
        for (int position : map) {
            Speaker s;
            if (!speakerOf(position, &s)) {
                source->speakers_.clear();
                break;
            }
            source->speakers_.push_back(s);
        }
    }
    return source;
}

SndfileSource::~SndfileSource() {
    if (file_) api().close(handle(file_));
}

int64_t SndfileSource::readPcm(double* out, int64_t frames) {
    const SndfileApi& a = api();
    const size_t values = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
    sf_count_t got;
    if (floatSamples_) {
        // Float samples are read as stored (float to double is exact) and scaled as WAV float is.
        doubles_.resize(values);
        got = a.readfDouble(handle(file_), doubles_.data(), frames);
        size_t clipped = 0;
        const size_t n = static_cast<size_t>(std::max<sf_count_t>(got, 0)) * static_cast<size_t>(channels_);
        for (size_t i = 0; i < n; ++i) out[i] = scaleFloatSample(doubles_[i], &clipped);
        clipped_ += clipped;
    } else {
        // Integer samples arrive left-aligned in 32-bit words: word / 65536 is the sample at
        // the 16-bit scale, exact for every width up to 32 bits.
        ints_.resize(values);
        got = a.readfInt(handle(file_), ints_.data(), frames);
        const size_t n = static_cast<size_t>(std::max<sf_count_t>(got, 0)) * static_cast<size_t>(channels_);
        for (size_t i = 0; i < n; ++i) out[i] = ints_[i] / 65536.0;
    }
    if (got < 0 || (got < frames && a.error(handle(file_)) != SF_ERR_NO_ERROR)) {
        failure_ = std::string("read error: ") + a.strerror(handle(file_)) + " (the file is damaged)";
        return -1;
    }
    read_ += static_cast<uint64_t>(got);
    if (got == 0 && frames > 0 && frames_ > 0 && read_ < frames_) {
        failure_ = "the file ends early: its header announced " + std::to_string(frames_) +
                   " samples per channel, and " + std::to_string(read_) + " arrived (it is truncated or damaged)";
        return -1;
    }
    return got;
}

}  // namespace varnel
