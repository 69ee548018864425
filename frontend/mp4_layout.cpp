#include "frontend/mp4_layout.h"

#include <algorithm>
#include <cctype>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "records/aac_syntax.h"
#include "records/channel_records.h"

namespace varnel {
namespace {

// Object descriptor update with one object descriptor (ID 10) holding an ES reference to the
// first track of the OD track's "mpod" reference, i.e. the audio track.
constexpr uint8_t kOdAccessUnit[19] = {0x01, 0x80, 0x80, 0x80, 0x0E, 0x11, 0x80, 0x80, 0x80, 0x09,
                                       0x02, 0x9F, 0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x01};
// BIFS scene replacement command frame.
constexpr uint8_t kSceneAccessUnit[8] = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x7C};
// BIFS version 2 decoder configuration (isCommandStream 1, all widths 0).
constexpr uint8_t kSceneDecoderConfig[3] = {0x00, 0x00, 0x40};
// SLConfigDescriptor predefined value 2, reserved for MP4 files.
constexpr uint8_t kSlConfig[1] = {0x02};
// objectTypeIndication and streamType of the systems tracks (ISO/IEC 14496-1, 7.2.6.6).
constexpr uint32_t kOdObjectType = 0x01, kOdStreamType = 1;        // ObjectDescriptorStream
constexpr uint32_t kSceneObjectType = 0x02, kSceneStreamType = 3;  // SceneDescriptionStream

// Adds a track whose samples go into the output file itself.
bool addTrack(Mp4File* file, const std::string& media, int kind, uint32_t trackId, uint32_t timeScale,
              Mp4Track** handle) {
    Mp4TrackParams params{};
    params.kind = kind;
    params.time_scale = timeScale;
    params.track_id = trackId;
    params.media_file_name = media.c_str();
    return mp4_add_track(file, &params, handle, nullptr) == 0;
}

bool writeSample(Mp4Track* track, const uint8_t* data, uint32_t size, uint32_t decodingTime) {
    Mp4Sample s{};
    s.data = data;
    s.size = size;
    s.sync_code = MP4_SAMPLE_PLAIN;
    s.decoding_time = decodingTime;
    return mp4_write_sample(track, &s) == 0;
}

bool describeTrack(Mp4Track* track, const Mp4EsParams& es, uint16_t channels, uint32_t timeScale) {
    uint8_t* box = nullptr;
    uint32_t boxSize = 0;
    if (mp4_build_es_box(&box, &boxSize, &es) != 0) return false;
    Mp4SampleDescription d{};
    d.index = 0;
    d.es_box = box;
    d.es_box_size = boxSize;
    d.channel_count = channels;
    d.time_scale = timeScale;
    const bool ok = mp4_set_sample_description(track, &d) == 0;
    mp4_free_buffer(box);
    return ok;
}

Mp4EsParams esParams(uint32_t esId, uint32_t objectType, uint32_t streamType, std::span<const uint8_t> dsi,
                     uint32_t bufferSize) {
    Mp4EsParams es{};
    es.es_id = esId;
    es.object_type = objectType;
    es.stream_type = streamType;
    es.decoder_specific_info = dsi.empty() ? nullptr : dsi.data();
    es.decoder_specific_info_size = static_cast<uint32_t>(dsi.size());
    es.buffer_size_db = bufferSize;
    es.sl_config = kSlConfig;
    es.sl_config_size = sizeof kSlConfig;
    return es;
}

// The initial object descriptor: no profile required, the OD and scene streams; none and the
// M4A brands for an audio-only file.
bool createFile(const std::string& path, uint32_t sampleRate, bool audioOnly, Mp4File** file) {
    if (audioOnly) {
        Mp4FileParams fileParams{};
        fileParams.time_scale = sampleRate;
        fileParams.brands = MP4_BRANDS_M4A;
        fileParams.file_name = path.c_str();
        return mp4_create_file(file, &fileParams) == 0;
    }
    Mp4IodParams iodParams{};
    for (uint8_t& p : iodParams.profile_levels) p = 0xFF;
    iodParams.es_ids[0] = kOdTrackId;
    iodParams.es_ids[1] = kSceneTrackId;
    iodParams.es_id_count = 2;
    uint8_t* iod = nullptr;
    uint32_t iodSize = 0;
    if (mp4_build_iod(&iod, &iodSize, &iodParams) != 0) return false;
    Mp4FileParams fileParams{};
    fileParams.time_scale = sampleRate;
    fileParams.iod = iod;
    fileParams.iod_size = iodSize;
    fileParams.file_name = path.c_str();
    const int created = mp4_create_file(file, &fileParams);
    mp4_free_buffer(iod);
    return created == 0;
}

// The scene and OD tracks with their single samples, finished.
bool addSystemsTracks(Mp4File* file, const std::string& path) {
    Mp4Track* scene = nullptr;
    Mp4Track* od = nullptr;
    if (!addTrack(file, path, MP4_TRACK_SCENE, kSceneTrackId, kSystemsTimeScale, &scene)) return false;
    if (!addTrack(file, path, MP4_TRACK_OD, kOdTrackId, kSystemsTimeScale, &od)) return false;
    Mp4TrackReference ref{};
    ref.track_id = kAudioTrackId;
    ref.reference_kind = MP4_REF_MPOD;
    if (mp4_add_track_reference(od, &ref) != 0) return false;
    if (!writeSample(od, kOdAccessUnit, sizeof kOdAccessUnit, 0)) return false;
    if (!writeSample(scene, kSceneAccessUnit, sizeof kSceneAccessUnit, 0)) return false;
    if (!describeTrack(od, esParams(0, kOdObjectType, kOdStreamType, {}, sizeof kOdAccessUnit), 0, 0)) return false;
    if (!describeTrack(scene, esParams(0, kSceneObjectType, kSceneStreamType, kSceneDecoderConfig, sizeof kSceneAccessUnit),
                       0, 0))
        return false;
    return mp4_finish_track(od) == 0 && mp4_finish_track(scene) == 0;
}

// The metadata list: each tag that is set, then the encoding tool, the free-form items and
// the cover; nothing without a tag.
bool setTags(Mp4File* file, const Tags& tags) {
    if (tags.empty()) return true;
    const auto text = [](const std::string& value) { return Mp4Text{value.data(), static_cast<uint32_t>(value.size())}; };
    Mp4Tags m;
    m.title = text(tags.title);
    m.artist = text(tags.artist);
    m.album = text(tags.album);
    m.date = text(tags.date);
    m.genre = text(tags.genre);
    m.comment = text(tags.comment);
    const std::string tool = kEncodingTool;
    m.encoding_tool = text(tool);
    m.track_number = tags.track;
    m.track_total = tags.trackTotal;
    std::vector<Mp4FreeformTag> freeform;
    for (const auto& [name, value] : tags.freeform) freeform.push_back({text(name), text(value)});
    m.freeform = freeform.data();
    m.freeform_count = static_cast<uint32_t>(freeform.size());
    if (!tags.cover.empty()) {
        m.cover = tags.cover.data();
        m.cover_size = static_cast<uint32_t>(std::min<size_t>(tags.cover.size(), UINT32_MAX));
        m.cover_format = coverFormatOf(tags.cover) == CoverFormat::Png ? MP4_COVER_PNG : MP4_COVER_JPEG;
    }
    return mp4_set_tags(file, &m) == 0;
}

// The iTunSMPB value: encoder delay, padding and original sample count (hexadecimal), as
// players that know gapless playback only from it read them.
std::string gaplessInfo(uint32_t delay, uint64_t padding, uint64_t samples) {
    char text[160];
    std::snprintf(text, sizeof text, " 00000000 %08X %08X %016llX 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000",
                  delay, static_cast<uint32_t>(padding), static_cast<unsigned long long>(samples));
    assert(std::strlen(text) + std::strlen("iTunSMPB") == kGaplessItemBytes);
    return text;
}

}  // namespace

bool isM4aName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string end = name.substr(name.size() - 4);
    for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return end == ".m4a";
}

std::unique_ptr<Mp4Output> Mp4Output::create(const std::string& path, uint32_t sampleRate, const Tags& tags,
                                             const Mp4Layout& layout) {
    std::unique_ptr<Mp4Output> output(new Mp4Output());
    output->sampleRate_ = sampleRate;
    output->path_ = path;
    output->layout_ = layout;
    if (layout.audioOnly) output->tags_ = tags;  // set again with the iTunSMPB item at the end
    output->audioTrackId_ = layout.audioOnly ? 1 : kAudioTrackId;
    if (!createFile(path, sampleRate, layout.audioOnly, &output->file_)) return nullptr;
    if (!setTags(output->file_, tags)) return nullptr;
    if (!layout.audioOnly && !addSystemsTracks(output->file_, path)) return nullptr;
    if (!addTrack(output->file_, path, MP4_TRACK_AUDIO, output->audioTrackId_, sampleRate, &output->audio_))
        return nullptr;
    return output;
}

Mp4Output::~Mp4Output() {
    if (file_) mp4_close_file(file_);
}

bool Mp4Output::describeAudio(std::span<const uint8_t> audioSpecificConfig, uint16_t channels,
                              uint32_t totalBitRate, RateStatement statement) {
    if (statement == RateStatement::Carried) {
        statesCarriedRate_ = true;
        audioSpecificConfig_.assign(audioSpecificConfig.begin(), audioSpecificConfig.end());
        channels_ = channels;
        // The frames that one second spans, at least one.
        lastSecond_.assign(std::max<size_t>(1, (sampleRate_ + layout_.frameLength - 1) / layout_.frameLength), 0);
    }
    Mp4EsParams es = esParams(kAudioEsId, kAudioObjectTypeIndication, kAudioStreamType, audioSpecificConfig,
                              audioBufferSizeDb(channels));
    es.max_bitrate = 2u * totalBitRate;
    es.avg_bitrate = totalBitRate;
    return describeTrack(audio_, es, channels, sampleRate_);
}

bool Mp4Output::writeFrame(const uint8_t* data, uint32_t size) {
    if (!writeSample(audio_, data, size, timeStamp_)) return false;
    timeStamp_ += layout_.frameLength;
    countFrame(size);
    if (statesCarriedRate_) {
        secondBytes_ = secondBytes_ + size - lastSecond_[ringPosition_];
        lastSecond_[ringPosition_] = size;
        ringPosition_ = (ringPosition_ + 1) % lastSecond_.size();
        peakSecondBytes_ = std::max(peakSecondBytes_, secondBytes_);
    }
    return true;
}

bool Mp4Output::finish(uint64_t inputSamples, uint32_t encoderDelay) {
    bool ok = true;
    if (statesCarriedRate_ && frames() > 0) {
        // Bits per second of audio: the mean over every frame, the peak over any run of frames
        // a second long (over all frames when there are fewer).
        const auto perSecond = [&](uint64_t bytes, uint64_t frameCount) {
            return static_cast<uint32_t>(std::min<uint64_t>(
                UINT32_MAX, bytes * 8 * sampleRate_ / (frameCount * layout_.frameLength)));
        };
        Mp4EsParams es = esParams(kAudioEsId, kAudioObjectTypeIndication, kAudioStreamType, audioSpecificConfig_,
                                  audioBufferSizeDb(channels_));
        es.avg_bitrate = perSecond(audioBytes(), frames());
        es.max_bitrate = perSecond(peakSecondBytes_, std::min<uint64_t>(frames(), lastSecond_.size()));
        ok = describeTrack(audio_, es, channels_, sampleRate_);
    }
    const uint32_t mediaDelay = layout_.coreRateDelay ? encoderDelay / 2 : encoderDelay;
    if (inputSamples > 0)
        ok = mp4_set_edit_list(audio_, inputSamples + (encoderDelay - mediaDelay), mediaDelay) == 0 && ok;
    if (layout_.audioOnly && inputSamples > 0) {
        // The same units as the edit list's start: core samples for HE-AAC (ffmpeg doubles the
        // delay it reads here as well).
        const uint64_t divisor = layout_.coreRateDelay ? 2 : 1;
        const uint64_t coded = frames() * layout_.frameLength / divisor;
        const uint64_t samples = (inputSamples + divisor - 1) / divisor;
        const uint64_t padding = coded > mediaDelay + samples ? coded - mediaDelay - samples : 0;
        Tags tags = tags_;
        tags.freeform.insert(tags.freeform.begin(), {"iTunSMPB", gaplessInfo(mediaDelay, padding, samples)});
        ok = setTags(file_, tags) && ok;
    }
    const bool trackFinished = mp4_finish_track(audio_) == 0;
    const int finishError = errno;  // a failed flush of the last samples says why here
    Mp4File* file = file_;
    file_ = nullptr;
    bool closed = mp4_close_file(file) == 0;
    if (!trackFinished) errno = finishError;
    if (ok && trackFinished && closed && layout_.moovFirst) closed = mp4_place_moov_first(path_.c_str()) == 0;
    return ok && trackFinished && closed;
}

}  // namespace varnel
