#include "frontend/encode_loop.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "bitstream/bit_writer.h"
#include "encoder/aac_encoder.h"
#include "frontend/command_line.h"
#include "frontend/output_file.h"
#include "frontend/wav_input.h"
#include "mp4/mp4_writer.h"

namespace varnel {
namespace {

constexpr const char* kStars65 = "*****************************************************************\n";
constexpr const char* kStars61 = "*************************************************************\n";
constexpr const char* kUsage = "Usage: VarnelAacEnc InputFileName.wav OutputMP4FileName.mp4 TotalBitRate\n";

constexpr int kFrameBufferBytes = 16384;
constexpr uint32_t kEncoderDelaySamples = 2 * kFrameLength;
constexpr int kFlushFrames = 2;  // silent frames that push the last input through the delay

// Track layout of the output file.
constexpr uint32_t kSceneTrackId = 1;
constexpr uint32_t kOdTrackId = 2;
constexpr uint32_t kAudioTrackId = 3;
constexpr uint32_t kSystemsTimeScale = 1000;

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

struct Console {
    std::FILE* out;
    void text(const char* s) const { std::fputs(s, out); }
    void inputFailure() const {
        text(" Input file unable to open... \n");
        text(" press any key to continue ...\n");
    }
    void outputFailure() const {
        text(" Output file unable to open \n");
        text(" press any key to continue ..\n");
    }
};

// Owns an Mp4File until it is closed; a file that is never closed is closed on the way out
// so that its memory is released (the temporary file is removed by OutputFile).
struct Mp4FileCloser {
    void operator()(Mp4File* f) const { mp4_close_file(f); }
};
using Mp4FilePtr = std::unique_ptr<Mp4File, Mp4FileCloser>;

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

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

bool writeSingleSample(Mp4Track* track, const uint8_t* data, uint32_t size) {
    Mp4Sample s{};
    s.data = data;
    s.size = size;
    s.sync_code = MP4_SAMPLE_PLAIN;
    s.has_composition_time = 0;
    s.decoding_time = 0;
    s.composition_time = 0;
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

Mp4EsParams systemsEsParams(uint32_t objectType, uint32_t streamType, const uint8_t* dsi, uint32_t dsiSize,
                            uint32_t bufferSize) {
    Mp4EsParams es{};
    es.es_id = 0;
    es.object_type = objectType;
    es.stream_type = streamType;
    es.decoder_specific_info = dsi;
    es.decoder_specific_info_size = dsiSize;
    es.buffer_size_db = bufferSize;
    es.max_bitrate = 0;
    es.avg_bitrate = 0;
    es.sl_config = kSlConfig;
    es.sl_config_size = sizeof kSlConfig;
    return es;
}

// Builds the file up to the empty audio track: IOD, scene and OD tracks with their samples.
bool createOutputFile(const std::string& path, uint32_t sampleRate, Mp4FilePtr* file, Mp4Track** audio) {
    Mp4IodParams iodParams{};
    for (uint8_t& p : iodParams.profile_levels) p = 0xFF;  // no profile required
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
    Mp4File* raw = nullptr;
    const int created = mp4_create_file(&raw, &fileParams);
    mp4_free_buffer(iod);
    if (created != 0) return false;
    file->reset(raw);

    Mp4Track* scene = nullptr;
    Mp4Track* od = nullptr;
    if (!addTrack(raw, path, MP4_TRACK_SCENE, kSceneTrackId, kSystemsTimeScale, &scene)) return false;
    if (!addTrack(raw, path, MP4_TRACK_OD, kOdTrackId, kSystemsTimeScale, &od)) return false;
    Mp4TrackReference ref{};
    ref.track_id = kAudioTrackId;
    ref.reference_kind = MP4_REF_MPOD;
    if (mp4_add_track_reference(od, &ref) != 0) return false;
    if (!writeSingleSample(od, kOdAccessUnit, sizeof kOdAccessUnit)) return false;
    if (!writeSingleSample(scene, kSceneAccessUnit, sizeof kSceneAccessUnit)) return false;
    if (!describeTrack(od, systemsEsParams(0x01, 1, nullptr, 0, sizeof kOdAccessUnit), 0, 0)) return false;
    if (!describeTrack(scene, systemsEsParams(0x02, 3, kSceneDecoderConfig, sizeof kSceneDecoderConfig,
                                              sizeof kSceneAccessUnit),
                       0, 0))
        return false;
    if (mp4_finish_track(od) != 0 || mp4_finish_track(scene) != 0) return false;

    return addTrack(raw, path, MP4_TRACK_AUDIO, kAudioTrackId, sampleRate, audio);
}

// Bits of the smallest raw data block the encoder writes, whatever the input and the rate:
// mono, an SCE of id_syn_ele 3, element_instance_tag 4, global_gain 8, ics_info 11 (max_sfb 0,
// so no sections) and three tool flags, then END 3: 32 bits; stereo, a CPE with common_window
// 1, ics_info 11, ms_mask_present 2, per channel global_gain 8 and three flags, then END 3:
// 46 bits, byte-aligned to 48. Every frame costs at least this, so it sets the lowest rate.
int smallestBlockBits(int32_t channels) { return channels == 1 ? 32 : 48; }

int64_t lowestBitRate(int32_t channels, int32_t sampleRate) {
    return int64_t{smallestBlockBits(channels)} * sampleRate / kFrameLength;
}

// Reports why the run stops: one line on standard error.
void reason(std::FILE* err, const std::string& subject, const std::string& text) {
    std::fprintf(err, "%s: %s\n", subject.c_str(), text.c_str());
}

// The cause of a failed write, when the C library left one in errno.
std::string writeFailure(int error) {
    return error != 0 ? std::string("cannot be written: ") + std::strerror(error) : "cannot be written";
}

}  // namespace

int runProgram(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
               const ProgramSettings& settings) {
    const Console con{out};
    con.text(kStars65);
    const CommandLine cl = parseCommandLine(argc, argv);
    switch (cl.action) {
    case CommandAction::Usage:
        con.text(kUsage);
        con.text(kStars65);
        reason(err, "VarnelAacEnc", "no arguments: an input WAV file, an output MP4 file and a total bit rate are required");
        return 1;
    case CommandAction::Help:
        con.text(kUsage);
        con.text(kStars65);
        return 0;
    case CommandAction::TooFew:
        con.text("Insufficient number of arguments \n");
        con.text(kUsage);
        con.text(kStars65);
        reason(err, "VarnelAacEnc",
               std::to_string(cl.argumentCount) + (cl.argumentCount == 1 ? " argument" : " arguments") +
                   " given: an input WAV file, an output MP4 file and a total bit rate are required");
        return 1;
    case CommandAction::BadBitRate:
        reason(err, "VarnelAacEnc",
               "invalid bit rate \"" + cl.bitRateText +
                   "\": a positive whole number of bit/s is required (for example 128000 or 128k)");
        con.text(kUsage);
        con.text(kStars65);
        return 1;
    case CommandAction::Encode:
        break;
    }

    // The input is opened before the banner so that the banner can show the bit rate in use.
    InputStreamParams streamParams;
    streamParams.fileName = cl.inputFileName;
    streamParams.frameLength = kFrameLength;
    streamParams.trailingSilentFrames = kFlushFrames;
    std::unique_ptr<InputStream> stream;
    std::string why;
    const int opened = openInputStream(streamParams, &stream, &why);

    // Notes are printed at the end of a complete run only, so that no note precedes the reason
    // of a run that stops.
    std::vector<std::string> notes;
    int32_t totalBitRate = static_cast<int32_t>(std::min<int64_t>(cl.totalBitRate, INT32_MAX));
    int32_t channels = 0;
    int32_t sampleRate = 0;
    if (opened == kStreamOk) {
        stream->getProperty(kPropertyChannelsRead, &channels);
        stream->getProperty(kPropertySampleRate, &sampleRate);
        // One frame carries at most 6144 bits per channel: 6 bit/s per channel and Hz.
        const int64_t maxRate = int64_t{6} * sampleRate * channels;
        if (cl.totalBitRate > maxRate) {
            notes.push_back("bit rate " + cl.bitRateText + " is above the " + std::to_string(maxRate) +
                            " bit/s one frame can carry; using " + std::to_string(maxRate));
            totalBitRate = static_cast<int32_t>(maxRate);
        }
    }

    std::fprintf(out, "VarnelAacEnc MPEG-4 AAC-LC encoder\n");
    std::fprintf(out, " Input file: %s\n Output file: %s\n BitRate: %d\n", cl.inputFileName.c_str(),
                 cl.outputFileName.c_str(), totalBitRate);
    con.text(kStars61);

    if (opened != kStreamOk) {
        con.inputFailure();
        reason(err, cl.inputFileName, why.empty() ? "cannot be read" : why);
        return 1;
    }
    if (stream->format().dataSize < stream->format().blockAlign) {
        con.inputFailure();
        reason(err, cl.inputFileName, "holds no audio samples (its data chunk is empty)");
        return 1;
    }
    std::unique_ptr<BitWriter> writer = createBitWriter();
    if (!writer) {
        con.outputFailure();
        reason(err, cl.outputFileName, "cannot be written: out of memory");
        return 1;
    }
    if (findSampleRateIndex(sampleRate) < 0) {
        con.text("Invalid sampling frequency \n");
        reason(err, cl.inputFileName, std::to_string(sampleRate) + " Hz is not an AAC sampling rate");
        return 1;
    }
    if (sameFile(cl.inputFileName, cl.outputFileName)) {
        con.outputFailure();
        reason(err, cl.outputFileName, "the output would overwrite the input file");
        return 1;
    }
    const int64_t lowest = lowestBitRate(channels, sampleRate);
    const bool belowLowest = totalBitRate < lowest;

    EncoderConfig config;
    config.channels = channels;
    config.bitRatePerChannel = static_cast<int32_t>(static_cast<uint32_t>(totalBitRate) / static_cast<uint32_t>(channels));

    const std::unique_ptr<OutputFile> output = OutputFile::prepare(cl.outputFileName, &why);
    if (!output) {
        con.outputFailure();
        reason(err, cl.outputFileName, why);
        return 1;
    }
    Mp4FilePtr file;
    Mp4Track* audio = nullptr;
    errno = 0;
    if (!createOutputFile(output->writePath(), static_cast<uint32_t>(sampleRate), &file, &audio)) {
        con.outputFailure();
        reason(err, cl.outputFileName, writeFailure(errno));
        return 1;
    }

    std::vector<uint8_t> frameBuffer(kFrameBufferBytes);
    writer->setOutput(frameBuffer.data(), kFrameBufferBytes);
    InputStream* input = stream.get();
    std::unique_ptr<AacEncoder> encoder;
    if (openEncoder(config, std::move(writer), std::move(stream), &encoder) != OpenStatus::Ok) {
        con.text("Invalid sampling frequency \n");
        reason(err, cl.inputFileName, "the encoder cannot be opened for this input");
        return 1;
    }
    int ascBits = 0;
    const uint8_t* asc = encoder->bitWriter->takeOutput(&ascBits);
    Mp4EsParams audioEs{};
    audioEs.es_id = kAudioEsId;
    audioEs.object_type = kAudioObjectTypeIndication;
    audioEs.stream_type = kAudioStreamType;
    audioEs.decoder_specific_info = asc;
    audioEs.decoder_specific_info_size = static_cast<uint32_t>(ascBits / 8);
    audioEs.buffer_size_db = kAudioBufferSizeDb;
    audioEs.max_bitrate = 2u * static_cast<uint32_t>(totalBitRate);
    audioEs.avg_bitrate = static_cast<uint32_t>(totalBitRate);
    audioEs.sl_config = kSlConfig;
    audioEs.sl_config_size = sizeof kSlConfig;
    errno = 0;
    if (!describeTrack(audio, audioEs, static_cast<uint16_t>(channels), static_cast<uint32_t>(sampleRate))) {
        con.outputFailure();
        reason(err, cl.outputFileName, writeFailure(errno));
        return 1;
    }
    encoder->setOption(kOptionBitsId, settings.options);
    encoder->frame.midSideEnabled = settings.midSide;

    uint32_t frameCounter = 0;
    uint32_t timeStamp = 0;  // wraps after 2^32 samples; the MP4 writer takes differences
    uint64_t streamBytes = 0;
    while (true) {
        encoder->bitWriter->setOutput(frameBuffer.data(), kFrameBufferBytes);
        const FrameStatus status = encoder->encodeFrame();
        if (status == FrameStatus::EndOfInput) break;
        if (status == FrameStatus::ReadError) {
            std::fputs("\n", out);
            con.inputFailure();
            reason(err, cl.inputFileName, "read error");
            return 1;
        }
        if (frameCounter >= MP4_MAX_SAMPLES_PER_TRACK) {
            std::fputs("\n", out);
            con.outputFailure();
            reason(err, cl.outputFileName,
                   "cannot be written: the input is longer than the " + std::to_string(MP4_MAX_SAMPLES_PER_TRACK) +
                       " frames an MP4 sample table holds");
            return 1;
        }
        int bits = 0;
        const uint8_t* data = encoder->bitWriter->takeOutput(&bits);
        Mp4Sample sample{};
        sample.data = data;
        sample.size = static_cast<uint32_t>(bits / 8);
        sample.sync_code = MP4_SAMPLE_PLAIN;
        sample.decoding_time = timeStamp;
        errno = 0;
        if (encoder->bitWriter->overflowed() || mp4_write_sample(audio, &sample) != 0) {
            std::fputs("\n", out);
            con.outputFailure();
            reason(err, cl.outputFileName, writeFailure(errno));
            return 1;
        }
        streamBytes += sample.size;
        timeStamp += kFrameLength;
        std::fprintf(out, "Encoding frame: {%d } \r", static_cast<int>(frameCounter % 65536));
        ++frameCounter;
    }

    const uint64_t samples = input->samplesPerChannelRead();
    if (input->clippedSamples() > 0)
        notes.push_back(std::to_string(input->clippedSamples()) + " float samples beyond full scale were clipped");
    if (belowLowest && frameCounter > 0) {
        const int64_t produced =
            static_cast<int64_t>(8.0 * static_cast<double>(streamBytes) * sampleRate / (double{kFrameLength} * frameCounter));
        notes.push_back("bit rate " + std::to_string(totalBitRate) + " is below the " + std::to_string(lowest) +
                        " bit/s that the smallest frames take at " + std::to_string(sampleRate) + " Hz with " +
                        std::to_string(channels) + (channels == 1 ? " channel" : " channels") +
                        "; the stream has " + std::to_string(produced) + " bit/s");
    }
    bool ok = true;
    errno = 0;
    if (samples > 0) ok = mp4_set_edit_list(audio, samples, kEncoderDelaySamples) == 0;
    ok = mp4_finish_track(audio) == 0 && ok;
    ok = mp4_close_file(file.release()) == 0 && ok;
    const int closeError = errno;
    encoder->closeEncoder();
    std::string commitError;
    if (!ok || !output->commit(&commitError)) {
        std::fputs("\n", out);
        con.outputFailure();
        reason(err, cl.outputFileName, ok ? "cannot be written: " + commitError : writeFailure(closeError));
        return 1;
    }
    for (const std::string& note : notes) {
        const bool aboutInput = note.find("clipped") != std::string::npos;
        reason(err, aboutInput ? cl.inputFileName : "VarnelAacEnc", note);
    }
    std::fprintf(out, "Encoded %d Frames.%24s\n", static_cast<int>(frameCounter % 65536), "");
    return 0;
}

}  // namespace varnel
