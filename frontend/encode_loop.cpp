#include "frontend/encode_loop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "encoder/aac_encoder.h"
#include "frontend/adts_output.h"
#include "frontend/command_line.h"
#include "frontend/mp4_layout.h"
#include "frontend/output_file.h"
#include "frontend/program_input.h"
#include "frontend/tags.h"
#include "frontend/wav_input.h"

namespace varnel {
namespace {

constexpr const char* kStars65 = "*****************************************************************\n";
constexpr const char* kStars61 = "*************************************************************\n";
constexpr const char* kUsage = "Usage: VarnelAacEnc InputFileName.wav OutputMP4FileName.mp4 TotalBitRate\n";
constexpr const char* kProgram = "VarnelAacEnc";


// What stopped a run, as the console shows it.
enum class Failure {
    Input,              // " Input file unable to open... "
    Output,             // " Output file unable to open "
    SamplingFrequency,  // "Invalid sampling frequency "
};

// The program's two streams: its fixed console texts on `out`, one-line reasons and notes on
// `err`. A quiet console prints no fixed texts (--quiet); a console with a progress line
// (--progress) prints that on `err` in place of the per-frame lines.
struct Console {
    std::FILE* out;
    std::FILE* err;
    bool quiet = false;
    bool progress = false;

    void text(const char* s) const {
        if (!quiet) std::fputs(s, out);
    }
    __attribute__((format(printf, 2, 3))) void print(const char* format, ...) const {
        if (quiet) return;
        va_list args;
        va_start(args, format);
        std::vfprintf(out, format, args);
        va_end(args);
    }
    // Reports why the run stops: the console lines of the failure (after ending the progress
    // line when frames were being encoded) and one reason line. Returns the exit status.
    int fail(Failure failure, const std::string& subject, const std::string& why, bool midRun = false) const {
        if (midRun && !progress) text("\n");
        if (midRun && progress) std::fputs("\n", err);
        switch (failure) {
        case Failure::Input:
            text(" Input file unable to open... \n");
            text(" press any key to continue ...\n");
            break;
        case Failure::Output:
            text(" Output file unable to open \n");
            text(" press any key to continue ..\n");
            break;
        case Failure::SamplingFrequency: text("Invalid sampling frequency \n"); break;
        }
        reason(subject, why);
        return 1;
    }
    void reason(const std::string& subject, const std::string& why) const {
        std::fprintf(err, "%s: %s\n", subject.c_str(), why.c_str());
    }
};

// The cause of a failed write, when the C library left one in errno.
std::string writeFailure(int error) {
    return error != 0 ? std::string("cannot be written: ") + std::strerror(error) : "cannot be written";
}

// The file an argument names: standard input or output for "-", else the path.
bool identify(const std::string& name, int standardFd, struct stat* st) {
    return name == kStandardStreamName ? fstat(standardFd, st) == 0 : stat(name.c_str(), st) == 0;
}

// Whether the output would write the input file: the same regular file, whether named by a
// path (through any link) or reached through standard input or output.
bool sameFile(const std::string& input, const std::string& output) {
    struct stat in {}, out {};
    return identify(input, STDIN_FILENO, &in) && identify(output, STDOUT_FILENO, &out) && S_ISREG(in.st_mode) &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// The lines of --help after the usage block: one per option, then the special file names.
void printOptions(const Console& con) {
    const auto line = [&con](const std::string& what, const char* help) {
        std::fprintf(con.out, "  %-18s %s\n", what.c_str(), help);
    };
    for (const OptionSpec& o : optionTable()) line(std::string(o.name) + (*o.value ? " " : "") + o.value, o.help);
    line("--", "end of options: the arguments after it are file names and the rate");
    line("-", "as the input file: standard input; as the output file: ADTS to standard output");
    line("NAME.aac", "as the output file: an ADTS stream instead of an MP4 file");
}

// The outcome of a command line that does not encode: its exit status, or nothing.
std::optional<int> commandLineOutcome(const CommandLine& cl, const Console& con) {
    const std::string needed = "an input WAV file, an output MP4 file and a total bit rate are required";
    switch (cl.action) {
    case CommandAction::Encode: return std::nullopt;
    case CommandAction::Help:
        con.text(kUsage);
        con.text(kStars65);
        printOptions(con);
        return 0;
    case CommandAction::Version:
        std::fprintf(con.out, "%s %s\n", kProgram, VARNEL_VERSION);
        for (const std::string& line : inputCapabilities()) std::fprintf(con.out, "%s\n", line.c_str());
        return 0;
    case CommandAction::BadOption:
        con.reason(kProgram, cl.badOption);
        con.text(kUsage);
        con.text(kStars65);
        return 1;
    case CommandAction::Usage:
        con.text(kUsage);
        con.text(kStars65);
        con.reason(kProgram, "no arguments: " + needed);
        return 1;
    case CommandAction::TooFew:
        con.text("Insufficient number of arguments \n");
        con.text(kUsage);
        con.text(kStars65);
        con.reason(kProgram, std::to_string(cl.argumentCount) + (cl.argumentCount == 1 ? " argument" : " arguments") +
                                 " given: " + needed);
        return 1;
    case CommandAction::BadBitRate:
        con.reason(kProgram, "invalid bit rate \"" + cl.bitRateText +
                                 "\": a positive whole number of bit/s is required (for example 128000 or 128k)");
        con.text(kUsage);
        con.text(kStars65);
        return 1;
    }
    return 1;
}

// Notes, printed at the end of a complete run only, so that no note precedes the reason of a
// run that stops.
struct Note {
    std::string subject;
    std::string text;
};

// The requested rate, lowered to what frames can carry, with a note when it was.
int32_t usableBitRate(const CommandLine& cl, int32_t channels, int32_t sampleRate, std::vector<Note>& notes) {
    const int32_t usable = usableTotalBitRate(cl.totalBitRate, sampleRate, channels);
    if (cl.totalBitRate > maxTotalBitRate(sampleRate, channels) && cl.bitRateGiven)
        notes.push_back({kProgram, "bit rate " + cl.bitRateText + " is above the " + std::to_string(usable) +
                                       " bit/s one frame can carry; using " + std::to_string(usable)});
    return usable;
}

// Bits of the smallest raw data block the encoder writes, whatever the input and the rate: per
// single channel or LFE element, id_syn_ele 3, element_instance_tag 4, global_gain 8, ics_info
// 11 (max_sfb 0, so no sections) and three tool flags: 29 bits; per channel pair element,
// id_syn_ele and tag 7, common_window 1, ics_info 11, ms_mask_present 2, per channel
// global_gain 8 and three flags: 43 bits; then END 3, byte-aligned. Mono takes 32 bits, stereo
// 48, 5.1 152. Every frame costs at least this, so it sets the lowest rate.
int smallestBlockBits(int32_t channels) {
    const ChannelLayout* layout = channelLayoutFor(channels);
    int bits = 3;
    for (int i = 0; layout && i < layout->elementCount; ++i) bits += layout->elements[i].kind == ElementKind::Pair ? 43 : 29;
    return (bits + 7) / 8 * 8;
}

int64_t lowestBitRate(int32_t channels, int32_t sampleRate, bool he) {
    if (he) return int64_t{kHighEfficiencyLowestRate} * channels;
    return int64_t{smallestBlockBits(channels)} * sampleRate / kFrameLength;
}

// Whether the stream is coded as HE-AAC: always with --he (checkHighEfficiency refuses what it
// cannot code), with --he=auto where it sounds better than AAC-LC: one or two channels at an
// output rate it codes and kHighEfficiencyAutoRate bit/s per channel or less.
bool useHighEfficiency(const CommandLine& cl, int32_t channels, int32_t sampleRate) {
    if (cl.he == HighEfficiency::On) return true;
    return cl.he == HighEfficiency::Auto && channels <= 2 && sbrOutputRateSupported(sampleRate) &&
           cl.totalBitRate <= int64_t{kHighEfficiencyAutoRate} * channels && cl.vbrLevel == 0;
}

// What --he cannot code: more than two channels, another output rate, a variable rate.
std::optional<int> checkHighEfficiency(const CommandLine& cl, const Console& con, int32_t channels, int32_t sampleRate) {
    if (cl.he != HighEfficiency::On) return std::nullopt;
    if (channels > 2)
        return con.fail(Failure::Input, cl.inputFileName,
                        "HE-AAC codes one or two channels, not " + std::to_string(channels) +
                            " (--downmix stereo mixes them down)");
    if (!sbrOutputRateSupported(sampleRate))
        return con.fail(Failure::SamplingFrequency, cl.inputFileName,
                        "HE-AAC codes 32000, 44100 or 48000 Hz, not " + std::to_string(sampleRate) +
                            " Hz (--rate converts the input)");
    if (cl.vbrLevel > 0)
        return con.fail(Failure::Input, kProgram, "--he codes a constant rate: --vbr cannot go with it");
    return std::nullopt;
}

// A requested rate below what the smallest frames take cannot be produced: the reason, with a
// hint for a number that reads as kbit/s; the exit status.
int refuseTooLowRate(const CommandLine& cl, const Console& con, int32_t channels, int32_t sampleRate, bool he) {
    std::string why = "bit rate " + cl.bitRateText + " is below " +
                      std::to_string(lowestBitRate(channels, sampleRate, he)) + " bit/s, the lowest the " +
                      (he ? "HE-AAC " : "") + "encoder can produce at " + std::to_string(sampleRate) + " Hz with " +
                      std::to_string(channels) + (channels == 1 ? " channel" : " channels");
    if (cl.totalBitRate < 1000) why += " (did you mean " + std::to_string(cl.totalBitRate) + "k?)";
    con.reason(kProgram, why);
    con.text(kUsage);
    con.text(kStars65);
    return 1;
}

// The checks between the banner and the output file, in the order the program makes them;
// the exit status when one fails.
std::optional<int> checkInput(const CommandLine& cl, const Console& con, const ProgramInput* input,
                              const std::string& why) {
    if (!input) return con.fail(Failure::Input, cl.inputFileName, why.empty() ? "cannot be read" : why);
    if (input->knownEmpty())
        return con.fail(Failure::Input, cl.inputFileName, input->emptyReason());
    if (!input->rateProblem().empty()) return con.fail(Failure::SamplingFrequency, cl.inputFileName, input->rateProblem());
    if (sameFile(cl.inputFileName, cl.outputFileName))
        return con.fail(Failure::Output, cl.outputFileName, "the output would overwrite the input file");
    return std::nullopt;
}

// The --progress line on standard error, rewritten in place at most kProgressPerSecond times a
// second: the share done and the time left when the input's length is known (`totalSamples`
// per channel, 0 when not), else the audio time encoded; the time elapsed and the speed.
class ProgressLine {
public:
    static constexpr double kProgressPerSecond = 4.0;

    ProgressLine(const Console& con, uint64_t totalSamples, int32_t sampleRate)
        : con_(con), total_(totalSamples), rate_(sampleRate), start_(Clock::now()) {}

    // After each frame; `samples` per channel encoded so far.
    void update(uint64_t samples) {
        const double elapsed = seconds();
        if (elapsed - shown_ < 1.0 / kProgressPerSecond) return;
        shown_ = elapsed;
        show(samples, elapsed);
    }
    // The last state, and the end of the line.
    void finish(uint64_t samples) {
        show(samples, seconds());
        std::fputs("\n", con_.err);
    }

private:
    using Clock = std::chrono::steady_clock;
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    static std::string clock(double s) {
        const long t = static_cast<long>(s + 0.5);
        char text[32];
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
        return text;
    }
    void show(uint64_t samples, double elapsed) const {
        const double audio = static_cast<double>(samples) / rate_;
        const double speed = elapsed > 0.0 ? audio / elapsed : 0.0;
        std::string line;
        if (total_ > 0) {
            const double done = std::min(1.0, static_cast<double>(samples) / static_cast<double>(total_));
            const double left = speed > 0.0 ? (static_cast<double>(total_) / rate_ - audio) / speed : 0.0;
            char share[16];
            std::snprintf(share, sizeof share, "%5.1f%%", 100.0 * done);
            line = std::string(share) + ", " + clock(elapsed) + " elapsed, " + clock(std::max(left, 0.0)) + " left";
        } else {
            line = clock(audio) + " encoded, " + clock(elapsed) + " elapsed";
        }
        std::fprintf(con_.err, "\r%s, %.1fx real time   ", line.c_str(), speed);
        std::fflush(con_.err);
    }

    const Console& con_;
    uint64_t total_;
    int32_t rate_;
    Clock::time_point start_;
    double shown_ = -1.0;
};

// Encodes every frame into the output; the exit status when a frame fails.
std::optional<int> encodeFrames(AacEncoder& encoder, AudioOutput& output, const ProgramInput& input,
                                const CommandLine& cl, const Console& con, ProgressLine* progress) {
    while (true) {
        const FrameStatus status = encoder.encodeFrame();
        if (status == FrameStatus::EndOfInput) return std::nullopt;
        if (status == FrameStatus::ReadError)
            return con.fail(Failure::Input, cl.inputFileName, input.readFailure(), true);
        if (output.frames() >= output.maxFrames())
            return con.fail(Failure::Output, cl.outputFileName,
                            "cannot be written: the input is longer than the " +
                                std::to_string(MP4_MAX_SAMPLES_PER_TRACK) + " frames an MP4 sample table holds",
                            true);
        const std::span<const uint8_t> block = encoder.block();
        errno = 0;
        if (status != FrameStatus::Written || !output.writeFrame(block.data(), static_cast<uint32_t>(block.size())))
            return con.fail(Failure::Output, cl.outputFileName, writeFailure(errno), true);
        if (progress)
            progress->update(output.frames() * static_cast<uint64_t>(encoder.frameLength()));
        else
            con.print("Encoding frame: {%llu } \r", static_cast<unsigned long long>(output.frames() - 1));
    }
}

// Opens the encoder over the stream and describes the audio track with its AudioSpecificConfig.
std::optional<int> openAudio(std::unique_ptr<FrameSource> stream, int32_t totalBitRate, int32_t channels,
                             int32_t options, bool he, AudioOutput& output, const CommandLine& cl, const Console& con,
                             std::unique_ptr<AacEncoder>* encoder) {
    EncoderConfig config;
    config.spectralBandReplication = he;
    config.totalBitRate = totalBitRate;
    config.options = options | (cl.vbrLevel > 0 ? kOptionPerceptual | kOptionPns : 0);
    config.vbrLevel = cl.vbrLevel;
    if (openEncoder(config, std::move(stream), encoder) != OpenStatus::Ok)
        return con.fail(Failure::SamplingFrequency, cl.inputFileName, "the encoder cannot be opened for this input");
    errno = 0;
    // The perceptual mode spends what the signal needs up to the rate: the file states what
    // its frames carry.
    const RateStatement statement =
        (config.options & kOptionPerceptual) ? RateStatement::Carried : RateStatement::Requested;
    if (!output.describeAudio((*encoder)->audioSpecificConfig(), static_cast<uint16_t>(channels),
                              static_cast<uint32_t>(totalBitRate), statement))
        return con.fail(Failure::Output, cl.outputFileName, writeFailure(errno));
    return std::nullopt;
}

// Where the frames go: an ADTS stream for "-" or a name ending in ".aac", else an MP4 file with
// the tags. `target` is null for standard output. The exit status when it cannot be created.
std::optional<int> openOutput(const CommandLine& cl, const Console& con, uint32_t sampleRate, uint32_t frameLength,
                              const Tags& tags, std::unique_ptr<OutputFile>* target,
                              std::unique_ptr<AudioOutput>* output) {
    const bool adts = isAdtsName(cl.outputFileName);
    std::string why;
    if (cl.outputFileName == kStandardOutputName && isatty(STDOUT_FILENO))
        return con.fail(Failure::Output, cl.outputFileName,
                        "standard output is a terminal: send the ADTS stream to a file or a pipe");
    if (cl.outputFileName != kStandardOutputName) {
        *target = OutputFile::prepare(cl.outputFileName, &why, adts);
        if (!*target) return con.fail(Failure::Output, cl.outputFileName, why);
    }
    const std::string path = *target ? (*target)->writePath() : cl.outputFileName;
    errno = 0;
    if (adts) {
        *output = AdtsOutput::create(path);
    } else {
        Mp4Layout layout;
        layout.audioOnly = isM4aName(cl.outputFileName);
        layout.moovFirst = layout.audioOnly || cl.faststart;
        layout.frameLength = frameLength;
        layout.coreRateDelay = frameLength == kSbrFrameLength;
        *output = Mp4Output::create(path, sampleRate, tags, layout);
    }
    if (!*output) return con.fail(Failure::Output, cl.outputFileName, writeFailure(errno));
    return std::nullopt;
}

bool tagsGiven(const CommandLine& cl) {
    const TagOptions& t = cl.tags;
    return t.title || t.artist || t.album || t.date || t.genre || t.comment || t.track != 0 || !t.freeform.empty() ||
           !cl.coverFile.empty();
}

uint64_t tagBytes(const Tags& t) {
    uint64_t bytes = t.title.size() + t.artist.size() + t.album.size() + t.date.size() + t.genre.size() +
                     t.comment.size() + std::strlen(kEncodingTool);
    for (const auto& [name, value] : t.freeform) bytes += name.size() + value.size();
    return bytes;
}

// The --cover image, read whole: a JPEG or PNG file of at most MP4_MAX_COVER_BYTES; the reason
// when it is not.
std::optional<std::string> readCover(const std::string& file, std::vector<uint8_t>* image) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return std::string("cannot be read: ") + std::strerror(errno);
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && image->size() <= MP4_MAX_COVER_BYTES)
        image->insert(image->end(), buffer, buffer + n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return std::string("cannot be read");
    if (image->size() > MP4_MAX_COVER_BYTES)
        return "is larger than the " + std::to_string(MP4_MAX_COVER_BYTES) + " bytes a cover may take";
    if (coverFormatOf(*image) == CoverFormat::None) return std::string("is not a JPEG or PNG image");
    return std::nullopt;
}

// The text tags, by the name a note gives them, the field that holds them and the option
// that sets them.
struct TagField {
    const char* name;
    std::string Tags::*value;
    std::optional<std::string> TagOptions::*option;
};
constexpr TagField kTagFields[] = {
    {"title", &Tags::title, &TagOptions::title},   {"artist", &Tags::artist, &TagOptions::artist},
    {"album", &Tags::album, &TagOptions::album},   {"date", &Tags::date, &TagOptions::date},
    {"genre", &Tags::genre, &TagOptions::genre},   {"comment", &Tags::comment, &TagOptions::comment},
};

// The tags of the output: the input file's tags (as WAV INFO items), overridden by the options. Tags from the
// file that do not fit in the file's tag space are dropped with a note, largest first; the
// exit status when the options' own tags do not fit.
std::optional<int> gatherTags(const CommandLine& cl, const Console& con,
                              const std::vector<std::pair<std::string, std::string>>& info, std::vector<Note>& notes,
                              Tags* tags) {
    *tags = tagsFromWavInfo(info);
    applyTagOptions(cl.tags, tags);
    if (isAdtsName(cl.outputFileName)) {
        if (cl.faststart) notes.push_back({cl.outputFileName, "--faststart has no effect: an ADTS stream has no index"});
        if (tagsGiven(cl)) notes.push_back({cl.outputFileName, "the tags are not written: an ADTS stream carries none"});
        return std::nullopt;
    }
    const std::string room = "the " + std::to_string(MP4_MAX_TAG_BYTES) + " bytes the file holds for tags";
    // An .m4a file adds its iTunSMPB item when it is finished.
    const uint64_t reserved = isM4aName(cl.outputFileName) ? kGaplessItemBytes : 0;
    while (!tags->empty() && tagBytes(*tags) + reserved > MP4_MAX_TAG_BYTES) {
        const TagField* largest = nullptr;
        for (const TagField& f : kTagFields) {
            const bool fromFile = !(cl.tags.*f.option) && !(tags->*f.value).empty();
            if (fromFile && (!largest || (tags->*f.value).size() > (tags->*largest->value).size())) largest = &f;
        }
        if (!largest) return con.fail(Failure::Output, cl.outputFileName, "the tags take more than " + room);
        notes.push_back({cl.inputFileName, std::string("its ") + largest->name + " (" +
                                               std::to_string((tags->*largest->value).size()) +
                                               " bytes) is not written: the tags would take more than " + room});
        (tags->*largest->value).clear();
    }
    return std::nullopt;
}

// Finishes the output (edit list, close), puts it in place of the target and prints the notes
// and the final count; the exit status.
int finishRun(AacEncoder& encoder, AudioOutput& output, OutputFile* target, uint64_t inputSamples,
              const std::vector<Note>& notes, const CommandLine& cl, const Console& con) {
    errno = 0;
    const bool finished = output.finish(inputSamples, encoder.delay());
    const int closeError = errno;
    encoder.closeEncoder();
    std::string commitError;
    if (!finished || (target && !target->commit(&commitError)))
        return con.fail(Failure::Output, cl.outputFileName,
                        finished ? "cannot be written: " + commitError : writeFailure(closeError), true);
    for (const Note& note : notes) con.reason(note.subject, note.text);
    con.print("Encoded %llu Frames.%24s\n", static_cast<unsigned long long>(output.frames()), "");
    return 0;
}

}  // namespace

int runProgram(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
               const ProgramSettings& settings) {
    const CommandLine cl = parseCommandLine(argc, argv);
    // With the audio on standard output, the console lines go to standard error.
    const bool audioOnStdout = cl.action == CommandAction::Encode && cl.outputFileName == kStandardOutputName;
    const Console con{audioOnStdout ? err : out, err, cl.action == CommandAction::Encode && cl.quiet,
                      cl.action == CommandAction::Encode && cl.progress};
    if (cl.action != CommandAction::Version) con.text(kStars65);
    if (const auto outcome = commandLineOutcome(cl, con)) return *outcome;

    // The input is opened before the banner so that the banner can show the bit rate in use.
    InputRequest request;
    request.fileName = cl.inputFileName;
    if (cl.rawRate > 0)
        request.raw = RawFormat{static_cast<uint32_t>(cl.rawRate), static_cast<uint16_t>(cl.rawChannels), cl.rawEncoding};
    request.rate = cl.rate;
    request.downmixChannels = cl.downmixChannels;
    request.frameLength = kFrameLength;
    request.trailingSilentFrames = kFlushFrames;
    request.highEfficiency = cl.he == HighEfficiency::On;
    std::string why;
    const std::unique_ptr<ProgramInput> input = ProgramInput::open(request, &why);
    std::vector<Note> notes;
    int32_t totalBitRate = static_cast<int32_t>(std::min<int64_t>(cl.totalBitRate, INT32_MAX));
    int32_t channels = 0;
    int32_t sampleRate = 0;
    bool he = false;
    if (input) {
        channels = input->channels();
        sampleRate = input->sampleRate();
        he = useHighEfficiency(cl, channels, sampleRate);
        // The core runs at half the rate, and a frame can carry what the core's can.
        totalBitRate = usableBitRate(cl, channels, he ? sampleRate / 2 : sampleRate, notes);
        if (input->rateProblem().empty() && totalBitRate < lowestBitRate(channels, sampleRate, he))
            return refuseTooLowRate(cl, con, channels, sampleRate, he);
    }
    con.print(he ? "VarnelAacEnc MPEG-4 HE-AAC encoder\n" : "VarnelAacEnc MPEG-4 AAC-LC encoder\n");
    if (cl.vbrLevel > 0)
        con.print(" Input file: %s\n Output file: %s\n BitRate: variable, level %d, at most %d\n",
                  cl.inputFileName.c_str(), cl.outputFileName.c_str(), cl.vbrLevel, totalBitRate);
    else
        con.print(" Input file: %s\n Output file: %s\n BitRate: %d\n", cl.inputFileName.c_str(),
                  cl.outputFileName.c_str(), totalBitRate);
    con.text(kStars61);
    if (const auto failed = checkInput(cl, con, input.get(), why)) return *failed;
    if (const auto failed = checkHighEfficiency(cl, con, channels, sampleRate)) return *failed;
    if (he && !input->reframe(kSbrFrameLength, kSbrFlushFrames))
        return con.fail(Failure::Input, cl.inputFileName, "cannot be cut into HE-AAC frames");
    for (const std::string& note : input->notes()) notes.push_back({cl.inputFileName, note});

    Tags tags;
    if (const auto failed = gatherTags(cl, con, input->infoItems(), notes, &tags)) return *failed;
    if (!cl.coverFile.empty() && !isAdtsName(cl.outputFileName))
        if (const auto problem = readCover(cl.coverFile, &tags.cover)) return con.fail(Failure::Input, cl.coverFile, *problem);

    std::unique_ptr<OutputFile> target;
    std::unique_ptr<AudioOutput> output;
    if (const auto failed = openOutput(cl, con, static_cast<uint32_t>(sampleRate), he ? kSbrFrameLength : kFrameLength, tags,
                                          &target, &output))
        return *failed;
    std::unique_ptr<AacEncoder> encoder;
    if (const auto failed = openAudio(input->takeFrames(), totalBitRate, channels, settings.options | cl.optionBits,
                                      he, *output, cl, con, &encoder))
        return *failed;
    std::optional<ProgressLine> progress;
    if (con.progress) progress.emplace(con, input->expectedSamples(), sampleRate);
    if (const auto failed = encodeFrames(*encoder, *output, *input, cl, con, progress ? &*progress : nullptr))
        return *failed;
    if (progress) progress->finish(input->samplesEncoded());
    // A stream's header cannot tell whether samples follow it; one that ended without any
    // is refused as a file with an empty data chunk is.
    if (input->samplesEncoded() == 0)
        return con.fail(Failure::Input, cl.inputFileName, input->emptyReason());

    const uint64_t announced = input->announcedSamples();
    if (input->samplesRead() < announced)
        notes.push_back({cl.inputFileName, "the input ended early: its header announced " + std::to_string(announced) +
                                               " samples per channel, and " + std::to_string(input->samplesRead()) +
                                               " arrived"});
    if (input->clippedFloatSamples() > 0)
        notes.push_back({cl.inputFileName, std::to_string(input->clippedFloatSamples()) +
                                               " float samples beyond full scale were clipped"});
    if (input->clippedMixSamples() > 0)
        notes.push_back({cl.inputFileName, std::to_string(input->clippedMixSamples()) +
                                               " samples of the downmix beyond full scale were clipped"});
    return finishRun(*encoder, *output, target.get(), input->samplesEncoded(), notes, cl, con);
}

}  // namespace varnel
