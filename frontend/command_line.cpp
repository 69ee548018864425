#include "frontend/command_line.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "encoder/aac_encoder.h"
#include "frontend/program_input.h"
#include "records/aac_syntax.h"

namespace varnel {
namespace {

constexpr OptionSpec kOptions[] = {
    {"--title", OptionKind::Text, 0, &TagOptions::title, "TEXT", "title tag"},
    {"--artist", OptionKind::Text, 0, &TagOptions::artist, "TEXT", "artist tag"},
    {"--album", OptionKind::Text, 0, &TagOptions::album, "TEXT", "album tag"},
    {"--date", OptionKind::Text, 0, &TagOptions::date, "TEXT", "date or year tag"},
    {"--genre", OptionKind::Text, 0, &TagOptions::genre, "TEXT", "genre tag"},
    {"--track", OptionKind::Track, 0, nullptr, "N[/M]", "track number N (of M)"},
    {"--comment", OptionKind::Text, 0, &TagOptions::comment, "TEXT", "comment tag"},
    {"--tag", OptionKind::Tag, 0, nullptr, "NAME=VALUE", "any other tag, as a free-form item (repeatable)"},
    {"--cover", OptionKind::Cover, 0, nullptr, "FILE", "cover art: a JPEG or PNG image"},
    {"--rate", OptionKind::Rate, 0, nullptr, "R", "convert the input to the AAC sampling rate R (8000 to 96000)"},
    {"--downmix", OptionKind::Downmix, 0, nullptr, "MIX",
     "mono or stereo: mix more input channels down (centre and surrounds at -3 dB, no LFE)"},
    {"--raw-rate", OptionKind::RawRate, 0, nullptr, "R", "the input is headerless PCM at R Hz"},
    {"--raw-channels", OptionKind::RawChannels, 0, nullptr, "C", "headerless PCM: C interleaved channels"},
    {"--raw-format", OptionKind::RawFormat, 0, nullptr, "F", "headerless PCM: s16le (default), s24le, s32le or f32le"},
    {"--faststart", OptionKind::Faststart, 0, nullptr, "", "the index before the media data (always in .m4a files)"},
    {"--he", OptionKind::He, 0, nullptr, "",
     "HE-AAC at 32000, 44100 or 48000 Hz (--he=auto: where the rate is 32k per channel or less)"},
    {"--pns", OptionKind::Bit, kOptionPns, nullptr, "", "perceptual noise substitution"},
    {"--perceptual", OptionKind::Bit, kOptionPerceptual | kOptionPns, nullptr, "",
     "rate control by a psychoacoustic model (noise substitution at low rates)"},
    {"--vbr", OptionKind::Vbr, 0, nullptr, "N",
     "variable rate at quality 1 (smallest) to 5 (best); the rate is then optional, a ceiling"},
    {"--quiet", OptionKind::Quiet, 0, nullptr, "", "no console lines, only reasons and notes (also -q)"},
    {"--progress", OptionKind::Progress, 0, nullptr, "",
     "one line on standard error in place of the frame lines: percentage, speed, time left"},
    {"--version", OptionKind::Version, 0, nullptr, "", "print the name and version"},
    {"--help", OptionKind::Help, 0, nullptr, "", "print this text (also -h)"},
};

const OptionSpec* findOption(const std::string& name) {
    if (name == "-h") return findOption("--help");
    if (name == "-q") return findOption("--quiet");
    for (const OptionSpec& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

bool takesValue(const OptionSpec& o) {
    switch (o.kind) {
    case OptionKind::Text:
    case OptionKind::Track:
    case OptionKind::Vbr:
    case OptionKind::Cover:
    case OptionKind::Tag:
    case OptionKind::Rate:
    case OptionKind::Downmix:
    case OptionKind::RawRate:
    case OptionKind::RawChannels:
    case OptionKind::RawFormat: return true;
    default: return false;
    }
}

// An argument that names an option rather than a file or a rate.
bool isOption(const char* arg) {
    return arg[0] == '-' && arg[1] != '\0' && !(arg[1] >= '0' && arg[1] <= '9');
}

// Parses a number of 1 to 65535 written in decimal digits, with any number of leading zeros;
// false for anything else.
bool parseTrackNumber(const std::string& text, uint16_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const size_t first = std::min(text.find_first_not_of('0'), text.size());
    if (text.size() - first > 5) return false;
    uint32_t v = 0;
    for (char c : text.substr(first)) v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v == 0 || v > 65535) return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// A whole number from `low` to `high` in decimal digits; false for anything else.
bool parseCount(const std::string& text, int32_t low, int32_t high, int32_t* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const int32_t v = std::stoi(text);
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

// Headerless PCM: any rate the converter takes, any channel count the downmix places.
constexpr int32_t kMaxRawRate = kMaxConvertibleRate;
constexpr int32_t kMaxRawChannels = kSpeakerCount;

constexpr std::pair<const char*, SampleEncoding> kRawFormats[] = {
    {"s16le", SampleEncoding::Signed16},
    {"s24le", SampleEncoding::Signed24},
    {"s32le", SampleEncoding::Signed32},
    {"f32le", SampleEncoding::Float32},
};

}  // namespace

std::span<const OptionSpec> optionTable() { return kOptions; }

bool parseBitRate(const std::string& text, int64_t* bitRate) {
    size_t digits = 0;
    int64_t value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        value = std::min(value * 10 + (text[digits] - '0'), kBitRateCeiling);
        ++digits;
    }
    if (digits == 0) return false;
    const std::string suffix = text.substr(digits);
    if (suffix == "k") {
        value = std::min(value * 1000, kBitRateCeiling);
    } else if (!suffix.empty()) {
        return false;
    }
    if (value <= 0) return false;
    *bitRate = value;
    return true;
}

bool parseTrack(const std::string& text, uint16_t* track, uint16_t* total) {
    const size_t slash = text.find('/');
    uint16_t n = 0, m = 0;
    if (!parseTrackNumber(text.substr(0, slash), &n)) return false;
    if (slash != std::string::npos && (!parseTrackNumber(text.substr(slash + 1), &m) || m < n)) return false;
    *track = n;
    *total = m;
    return true;
}

// What the command line asks for, in order of precedence: help, the version, a bad option,
// then the file names and the bit rate.
static void decideAction(const std::vector<std::string>& positional, bool help, bool version, CommandLine& cl) {
    cl.argumentCount = static_cast<int>(std::min<size_t>(positional.size(), 3));
    if (help) {
        cl.action = CommandAction::Help;
    } else if (version) {
        cl.action = CommandAction::Version;
    } else if (!cl.badOption.empty()) {
        cl.action = CommandAction::BadOption;
    } else if (positional.empty()) {
        cl.action = CommandAction::Usage;
    } else if (positional.size() == 2 && cl.vbrLevel > 0) {
        cl.inputFileName = positional[0];
        cl.outputFileName = positional[1];
        cl.totalBitRate = kBitRateCeiling;
        cl.action = CommandAction::Encode;
    } else if (positional.size() < 3) {
        cl.action = CommandAction::TooFew;
    } else {
        cl.inputFileName = positional[0];
        cl.outputFileName = positional[1];
        cl.bitRateText = positional[2];
        cl.bitRateGiven = true;
        cl.action = parseBitRate(cl.bitRateText, &cl.totalBitRate) ? CommandAction::Encode
                                                                    : CommandAction::BadBitRate;
    }
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine cl;
    std::vector<std::string> positional;
    bool help = false, version = false, optionsEnded = false, rawFormatGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (optionsEnded || !isOption(arg)) {
            positional.emplace_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        // "--name=value" or "--name value".
        std::string name = arg;
        std::optional<std::string> value;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const OptionSpec* option = findOption(name);
        if (!option) {
            if (cl.badOption.empty()) cl.badOption = "unknown option \"" + name + "\"";
            continue;
        }
        if (!takesValue(*option) && value && option->kind != OptionKind::He) {
            if (cl.badOption.empty()) cl.badOption = "option " + name + " takes no value";
            continue;
        }
        if (takesValue(*option) && !value) {
            if (i + 1 >= argc) {
                if (cl.badOption.empty()) cl.badOption = "option " + name + " needs a value";
                continue;
            }
            value = argv[++i];
        }
        switch (option->kind) {
        case OptionKind::Help: help = true; break;
        case OptionKind::Version: version = true; break;
        case OptionKind::Bit: cl.optionBits |= option->bit; break;
        case OptionKind::Quiet: cl.quiet = true; break;
        case OptionKind::Progress: cl.progress = true; break;
        case OptionKind::Faststart: cl.faststart = true; break;
        case OptionKind::He:
            if (!value)
                cl.he = HighEfficiency::On;
            else if (*value == "auto")
                cl.he = HighEfficiency::Auto;
            else if (cl.badOption.empty())
                cl.badOption = "invalid value \"" + *value + "\" for " + name + ": --he or --he=auto is required";
            break;
        case OptionKind::Cover: cl.coverFile = *value; break;
        case OptionKind::Tag: {
            const size_t split = value->find('=');
            if (split == 0 || split == std::string::npos) {
                if (cl.badOption.empty())
                    cl.badOption = "invalid value \"" + *value + "\" for " + name + ": NAME=VALUE is required";
            } else {
                cl.tags.freeform.emplace_back(value->substr(0, split), value->substr(split + 1));
            }
            break;
        }
        case OptionKind::Text: cl.tags.*(option->text) = *value; break;
        case OptionKind::Vbr:
            if (value->size() == 1 && (*value)[0] >= '1' && (*value)[0] <= '5')
                cl.vbrLevel = (*value)[0] - '0';
            else if (cl.badOption.empty())
                cl.badOption = "invalid value \"" + *value + "\" for " + name + ": a level from 1 to 5 is required";
            break;
        case OptionKind::Rate:
            if (!parseCount(*value, 0, INT32_MAX, &cl.rate) || findSampleRateIndex(cl.rate) < 0) {
                cl.rate = 0;
                if (cl.badOption.empty())
                    cl.badOption = "invalid value \"" + *value + "\" for " + name +
                                   ": an AAC sampling rate is required (8000, 11025, 12000, 16000, 22050, 24000, "
                                   "32000, 44100, 48000, 64000, 88200 or 96000)";
            }
            break;
        case OptionKind::Downmix:
            if (*value == "mono" || *value == "stereo")
                cl.downmixChannels = *value == "mono" ? 1 : 2;
            else if (cl.badOption.empty())
                cl.badOption = "invalid value \"" + *value + "\" for " + name + ": mono or stereo is required";
            break;
        case OptionKind::RawRate:
        case OptionKind::RawChannels: {
            const bool rate = option->kind == OptionKind::RawRate;
            if (!parseCount(*value, 1, rate ? kMaxRawRate : kMaxRawChannels, rate ? &cl.rawRate : &cl.rawChannels) &&
                cl.badOption.empty())
                cl.badOption = "invalid value \"" + *value + "\" for " + name + ": a whole number from 1 to " +
                               std::to_string(rate ? kMaxRawRate : kMaxRawChannels) + " is required";
            break;
        }
        case OptionKind::RawFormat: {
            const auto* f = std::find_if(std::begin(kRawFormats), std::end(kRawFormats),
                                         [&](const auto& entry) { return *value == entry.first; });
            rawFormatGiven = true;
            if (f != std::end(kRawFormats))
                cl.rawEncoding = f->second;
            else if (cl.badOption.empty())
                cl.badOption = "invalid value \"" + *value + "\" for " + name + ": s16le, s24le, s32le or f32le is required";
            break;
        }
        case OptionKind::Track:
            if (!parseTrack(*value, &cl.tags.track, &cl.tags.trackTotal) && cl.badOption.empty())
                cl.badOption = "invalid value \"" + *value + "\" for " + name +
                               ": N or N/M with whole numbers from 1 to 65535, N at most M, is required";
            break;
        }
    }
    // Headerless PCM needs its rate and channel count; a format alone says too little.
    if (cl.badOption.empty() && (cl.rawRate > 0 || cl.rawChannels > 0 || rawFormatGiven) &&
        (cl.rawRate == 0 || cl.rawChannels == 0))
        cl.badOption = "raw input needs both --raw-rate and --raw-channels";
    decideAction(positional, help, version, cl);
    return cl;
}

}  // namespace varnel
