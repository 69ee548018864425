#include "frontend/program_input.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "encoder/aac_encoder.h"
#include "records/band_tables.h"
#include "frontend/framed_source.h"
#if VARNEL_WITH_SNDFILE
#include "frontend/sndfile_input.h"
#endif
#if VARNEL_WITH_SOXR
#include "frontend/resampler.h"
#endif

namespace varnel {
namespace {

#if VARNEL_WITH_SNDFILE
// Whether `name` is a regular file that does not begin as a RIFF/WAVE file does: one for
// libsndfile to recognise. Standard input, pipes and devices stay with the WAV reader, which
// reads them once from the front.
bool forOtherReader(const std::string& name) {
    struct stat st {};
    if (name == kStandardStreamName || stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return false;
    char head[12] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return !(n == sizeof head && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0);
}
#endif

std::string channelsText(int channels) {
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

}  // namespace

int32_t targetSampleRate(int32_t rate) {
    if (findSampleRateIndex(rate) >= 0) return rate;
    if (rate > 48000) return 48000;
    int32_t best = 0;
    for (int32_t r : sampleRateTable)
        if (best == 0 || std::abs(int64_t{r} - rate) < std::abs(int64_t{best} - rate)) best = r;
    return best;
}

std::vector<std::string> inputCapabilities() {
    std::vector<std::string> lines = {"input: WAV (also from standard input and pipes), raw PCM"};
#if VARNEL_WITH_SNDFILE
    std::string sndfile;
    lines.push_back(std::string("input: FLAC, AIFF, CAF, RF64, W64 and the other formats of libsndfile (") +
                    (sndfileAvailable(&sndfile) ? sndfile : "not usable here: " + sndfile) + ")");
#endif
#if VARNEL_WITH_SOXR
    std::string soxr;
    lines.push_back(std::string("input: any sampling rate, converted by libsoxr (") +
                    (soxrAvailable(&soxr) ? soxr : "not usable here: " + soxr) + ")");
#endif
    return lines;
}

ProgramInput::~ProgramInput() = default;

std::unique_ptr<ProgramInput> ProgramInput::open(const InputRequest& request, std::string* error) {
    std::unique_ptr<ProgramInput> input(new ProgramInput());
    std::string otherFormats;  // why files other than WAV cannot be read, when they cannot
#if VARNEL_WITH_SNDFILE
    if (!request.raw && forOtherReader(request.fileName)) {
        bool recognised = false;
        std::unique_ptr<SndfileSource> file = SndfileSource::open(request.fileName, error, &recognised);
        if (!file && recognised) return nullptr;
        if (file) {
            input->knownEmpty_ = file->expectedFrames() == 0;
            input->info_ = file->infoItems();
            const std::vector<Speaker> speakers = file->speakers();
            if (!input->build(request, std::move(file), speakers, error)) return nullptr;
            return input;
        }
        // Not a format libsndfile knows either: the WAV reader says why the file is not a WAV
        // file (and, when the library could not be loaded, that reason follows).
        std::string available;
        otherFormats = sndfileAvailable(&available) ? "" : "; other formats cannot be read here: " + *error;
        error->clear();
    }
#endif
    InputStreamParams params;
    params.fileName = request.fileName;
    params.frameLength = request.frameLength;
    params.trailingSilentFrames = request.trailingSilentFrames;
    params.maxChannels = kSpeakerCount;  // more than two are refused below, unless mixed down
    params.raw = request.raw;
    std::unique_ptr<InputStream> wav;
    if (openInputStream(params, &wav, error) != kStreamOk) {
        if (error->empty()) *error = "cannot be read";
        *error += otherFormats;
        return nullptr;
    }
    const WavFormat& format = wav->format();
    input->knownEmpty_ = format.dataSize < format.blockAlign;
    input->info_ = format.info;
    input->wav_ = wav.get();
    input->wavHeader_ = !request.raw;
    std::vector<Speaker> speakers = speakersOfMask(format.channelMask, format.channels);
    if (!input->build(request, std::move(wav), speakers, error)) return nullptr;
    return input;
}

bool ProgramInput::build(const InputRequest& request, std::unique_ptr<PcmSource> reader,
                         std::vector<Speaker> speakers, std::string* error) {
    reader_ = reader.get();
    std::unique_ptr<PcmSource> source = std::move(reader);
    const int n = source->channels();
    if (n > kSpeakerCount) {
        *error = std::to_string(n) + " channels are not supported (at most 8 are coded, and " +
                 std::to_string(kSpeakerCount) + " mixed down)";
        return false;
    }
    if (n > 2 && speakers.empty()) speakers = defaultSpeakers(n);
    if (request.downmixChannels > 0 && n > request.downmixChannels) {
        if (speakers.empty()) {
            *error = channelsText(n) + " without stated speaker positions cannot be mixed down";
            return false;
        }
        source = std::make_unique<DownmixSource>(std::move(source), downmixMatrix(speakers, request.downmixChannels),
                                                 request.downmixChannels);
    } else if (n > 2) {
        // More channels are coded in the order of the channel configuration that states them.
        const std::vector<Speaker> order = codedOrder(speakers);
        if (order.empty()) {
            *error = channelsText(n) + (speakers.empty() ? " without stated speaker positions"
                                                         : " at " + speakerNames(speakers)) +
                     ": no AAC channel configuration states this layout (3.0, 4.0, 5.0, 5.1 and 7.1 are coded); "
                     "--downmix stereo or --downmix mono mixes it down";
            return false;
        }
        if (order != speakers)
            source = std::make_unique<DownmixSource>(std::move(source), reorderMatrix(speakers, order), n);
    }
    const int32_t rate = source->sampleRate();
    int32_t target = request.rate > 0 ? request.rate : targetSampleRate(rate);
    const bool aboveHighEfficiency = request.highEfficiency && request.rate == 0 && target > 48000;
    if (aboveHighEfficiency) target = rate % 11025 == 0 ? 44100 : 48000;
    if (target != rate) {
        const std::string notAac = std::to_string(rate) + " Hz is " +
                                   (aboveHighEfficiency ? "above the rates HE-AAC codes" : "not an AAC sampling rate");
        if (rate < kMinConvertibleRate || rate > kMaxConvertibleRate) {
            rateProblem_ = notAac + ", and too " + (rate < kMinConvertibleRate ? "low" : "high") + " to convert";
        } else {
#if VARNEL_WITH_SOXR
            std::string why;
            if (auto converted = ResampledSource::create(source, target, &why)) {
                source = std::move(converted);
                if (request.rate == 0) notes_.push_back(notAac + "; converted to " + std::to_string(target) + " Hz");
            } else {
                rateProblem_ = notAac + ", and " + why;
            }
#else
            rateProblem_ = findSampleRateIndex(rate) < 0 ? notAac : std::to_string(rate) + " Hz cannot be converted";
            rateProblem_ += " (this build has no sampling-rate conversion)";
#endif
        }
    }
    // A rate that cannot be coded is refused after the banner; the stream stays as read.
    channels_ = source->channels();
    sampleRate_ = source->sampleRate();
    if (wav_ && source.get() == reader_) {
        // Nothing to do to a WAV input: the reader cuts its own frames.
        source.release();
        frames_.reset(wav_);
        last_ = reader_;
        return true;
    }
    last_ = source.get();
    auto framed = std::make_unique<FramedSource>(std::move(source), request.frameLength, request.trailingSilentFrames);
    framed_ = framed.get();
    frames_ = std::move(framed);
    return true;
}

uint64_t ProgramInput::samplesEncoded() const { return framed_ ? framed_->samplesDelivered() : wav_->samplesPerChannelRead(); }

uint64_t ProgramInput::expectedSamples() const { return last_ ? last_->expectedFrames() : 0; }

uint64_t ProgramInput::announcedSamples() const {
    return wav_ ? wav_->format().announcedSize / wav_->format().blockAlign : 0;
}

uint64_t ProgramInput::samplesRead() const { return wav_ ? wav_->samplesPerChannelRead() : samplesEncoded(); }

uint64_t ProgramInput::clippedFloatSamples() const { return reader_ ? reader_->clippedSamples() : 0; }

uint64_t ProgramInput::clippedMixSamples() const {
    return last_ ? last_->clippedSamples() - clippedFloatSamples() : 0;
}

std::string ProgramInput::readFailure() const { return last_ ? last_->readFailure() : "read error"; }

}  // namespace varnel
