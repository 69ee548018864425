// Command-line handling: VarnelAacEnc [options] InputFileName.wav OutputMP4FileName.mp4 TotalBitRate
// (with --vbr N the bit rate may be left out: it is then a ceiling the encoder chooses).
//
// The three file-and-rate arguments are the design's; options may stand before, between or
// after them, and "--" ends the options. "-" alone is a file name (standard input or output),
// and so is an argument that starts with "-" and a digit, so that a negative bit rate is
// refused as a bit rate.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "frontend/sample_conversion.h"

namespace varnel {

enum class CommandAction {
    Encode,         // three arguments, bit rate valid
    Usage,          // no arguments
    Help,           // "-h" or "--help"
    Version,        // "--version"
    TooFew,         // fewer than three arguments
    BadBitRate,     // the third argument is not a positive bit rate
    BadOption,      // an unknown option, or an option without its value or with a bad one
};

// Tags given on the command line, UTF-8 as the arguments are; unset fields are not given.
struct TagOptions {
    std::optional<std::string> title, artist, album, date, genre, comment;
    uint16_t track = 0;       // 0: not given
    uint16_t trackTotal = 0;  // 0: not given
    std::vector<std::pair<std::string, std::string>> freeform;  // --tag NAME=VALUE, in order
};

// Spectral band replication (HE-AAC): never, always (--he), or where it sounds better than
// AAC-LC at the rate asked for (--he=auto: kHighEfficiencyAutoRate bit/s per channel and below).
enum class HighEfficiency { Off, On, Auto };
inline constexpr int32_t kHighEfficiencyAutoRate = 32000;
// The lowest HE-AAC rate, per channel: below it the replication data leaves the core too little.
inline constexpr int32_t kHighEfficiencyLowestRate = 6000;

struct CommandLine {
    CommandAction action = CommandAction::Usage;
    std::string inputFileName;
    std::string outputFileName;
    int64_t totalBitRate = 0;  // as requested, at most kBitRateCeiling
    std::string bitRateText;   // the argument as given, for messages
    int argumentCount = 0;     // file-and-rate arguments given
    int32_t optionBits = 0;    // encoder option bits switched on by flags
    int32_t vbrLevel = 0;      // --vbr N: 1 .. 5; 0: constant rate
    bool quiet = false;        // --quiet, -q: no console lines, only reasons and notes
    bool progress = false;     // --progress: one progress line on standard error
    bool faststart = false;    // --faststart: the moov before the media data in an .mp4 file
    std::string coverFile;     // --cover FILE: empty when not given
    bool bitRateGiven = false; // false only with --vbr and two file arguments
    int32_t rate = 0;          // --rate R: convert to this AAC rate; 0: not given
    int32_t downmixChannels = 0;  // --downmix mono|stereo: 1 or 2; 0: not given
    HighEfficiency he = HighEfficiency::Off;  // --he, --he=auto
    // --raw-rate, --raw-channels, --raw-format: headerless PCM input; rate 0: not raw.
    int32_t rawRate = 0;
    int32_t rawChannels = 0;
    SampleEncoding rawEncoding = SampleEncoding::Signed16;
    TagOptions tags;
    std::string badOption;     // BadOption: the one-line reason, naming the option
};

// What an option does.
enum class OptionKind {
    Help, Version, Bit, Text, Track, Vbr, Quiet, Progress, Faststart, Cover, Tag, Rate, Downmix, RawRate,
    RawChannels, RawFormat, He,
};

// One row of the option table: a flag that sets an encoder option bit is a row of kind Bit.
struct OptionSpec {
    const char* name;                          // "--pns"
    OptionKind kind;
    int32_t bit = 0;                           // Bit: the option bit it sets
    std::optional<std::string> TagOptions::*text = nullptr;  // Text: the tag it sets
    const char* value = "";                    // what follows the name, for --help
    const char* help = "";                     // one line for --help
};

// Every option, in the order --help lists them.
std::span<const OptionSpec> optionTable();

// Requested rates are held up to this many bit/s; any larger request is lowered to what one
// frame can carry anyway, far below it.
inline constexpr int64_t kBitRateCeiling = int64_t{1} << 53;

// Reads the arguments (argv[0] is the program). File-and-rate arguments beyond the third are
// ignored. Help and version win over everything else; then the first bad option.
CommandLine parseCommandLine(int argc, const char* const* argv);

// A positive decimal integer, optionally followed by "k" (thousands); nothing else. Returns
// false for anything else. Values above kBitRateCeiling give kBitRateCeiling.
bool parseBitRate(const std::string& text, int64_t* bitRate);

// "N" or "N/M" with 1 <= N <= M <= 65535; false for anything else.
bool parseTrack(const std::string& text, uint16_t* track, uint16_t* total);

}  // namespace varnel
