// The decision, in the order it runs:
//   1. shapes: both window shapes are sine (0);
//   2. energy detector: eight 128-sample block energies of the look-ahead against a running
//      mean mark the attacked windows; a frame-energy gate can withdraw the attack (not the marks);
//   3. zero-crossing detector: the crossing count against the previous frame's;
//   4. band detector: ten band powers (bins 50..109 of a 256-point FFT, six bins per band) of
//      four Hann-windowed quarters against running means; an attacked quarter marks its two
//      windows; the count is void when the block-energy mean says the input is quiet;
//   5. the TNS hint and the weak-attack memory (1..5 band attacks are not an attack);
//   6. the window-sequence state machine, which lets a low bit reservoir cut short blocks;
//   7. band layout and grouping of the new block, then the marks move on by one block.
// The look-ahead lies one frame ahead of the transformed block, so marks found now group the
// short windows of the next block.
#include "analysis/block_switching.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "analysis/real_fft.h"
#include "records/band_tables.h"
#include "records/instruction_set.h"

namespace varnel {
namespace {

constexpr int kLookAheadStart = 1600;
constexpr int kLookAheadLength = 1024;
constexpr int kBlockLength = 128;  // energy detector block
constexpr int kFftLength = RealFft256::kLength;
constexpr int kFftPieces = kLookAheadLength / kFftLength;

// 1 / 32767 as a stored factor: samples are multiplied by it (not divided by 32767), which
// decides the last bit of the block energies that the thresholds compare.
constexpr double kSampleScale = 3.051850947599719e-05;
// Energy detector.
constexpr double kBlockAttackFactor = 5.0;
constexpr double kBlockMeanFloor = 0.001;
constexpr double kBlockMeanNew = 0.4;
constexpr double kBlockMeanOld = 0.6;
constexpr double kBlockMeanDecay = 0.0004;  // silence: the mean settles at 0.0004 / 0.4 = 0.001
// Frame energy gate.
constexpr double kFrameGateFactor = 2.0;
constexpr double kFrameMeanNew = 0.4;
constexpr double kFrameMeanOld = 0.6;
// Zero-crossing detector.
constexpr double kCrossingRatio = 4.0;
constexpr double kCrossingCount = 20.0;
constexpr double kCrossingEnergy = 0.01;
// Band detector.
constexpr double kPowerScale = 1.0 / 65536.0;
constexpr int kFirstBin = 50;
constexpr int kBinsPerBand = 6;
constexpr int kBands = 10;
constexpr double kBandAttackFactor = 90.0;
constexpr double kBandMeanFloor = 0.0001;
constexpr double kBandMeanOld = 0.3;
constexpr double kBandMeanNew = 0.7;
constexpr double kBandMeanDecay = 7e-05;  // silence: the mean settles at 7e-05 / 0.7 = 0.0001
constexpr int kStrongBandAttacks = 5;     // more band attacks than this make an attack
// Reservoir floors, in bits: half a channel's 6144-bit buffer, less 200 per unit of strength.
constexpr int kFloorPerChannel = 3072;
constexpr int kFloorPerStrength = 200;
constexpr int kFloorMinimum = 2000;
constexpr int kStrongAttackStrength = 10;
constexpr int kEnergyAttackWeight = 11;  // strength = 11 energyAttack + bandAttackCount
// The means a stream starts from: far above silence, so that the first frames of ordinary
// input are no attack.
constexpr double kInitialBlockEnergyMean = 0.5;
constexpr double kInitialFrameEnergyMean = 0.01;
constexpr double kInitialBandPowerMean = 10.0;

static_assert(kDetectorBands == kBands);
static_assert(kFirstBin + kBinsPerBand * kBands <= kFftLength / 2);

struct Detection {
    bool energyAttack = false;
    bool crossingAttack = false;
    bool bandAttack = false;
    int bandAttackCount = 0;
};

// Energies of the eight blocks, their marks and the frame gate; returns the frame energy.
VARNEL_KERNEL_BODY double detectEnergy(const double* a, TransientDetector& detector, Detection& d) {
    // The eight blocks' sums side by side, each still added in sample order, so that they
    // proceed together instead of one long chain of dependent additions after another.
    double energy[kShortWindows] = {};
    for (int i = 0; i < kBlockLength; ++i)
        for (int w = 0; w < kShortWindows; ++w) {
            const double s = a[kBlockLength * w + i] * kSampleScale;
            energy[w] += s * s;
        }
    double total = 0.0;
    for (int w = 0; w < kShortWindows; ++w) {
        detector.nextGroupMarks[w] = 0;
        const double e = energy[w];
        total += e;
        if (e > kBlockAttackFactor * detector.blockEnergyMean) {
            d.energyAttack = true;
            detector.nextGroupMarks[w] = 1;
        }
        if (e > kBlockMeanFloor)
            detector.blockEnergyMean = kBlockMeanNew * e + kBlockMeanOld * detector.blockEnergyMean;
        else
            detector.blockEnergyMean = kBlockMeanOld * detector.blockEnergyMean + kBlockMeanDecay;
    }
    // A frame no louder than twice the running frame energy has no energy attack.
    if (total < kFrameGateFactor * detector.frameEnergyMean) d.energyAttack = false;
    detector.frameEnergyMean = kFrameMeanNew * total + kFrameMeanOld * detector.frameEnergyMean;
    return total;
}

// Zero crossings against the previous frame's count (at least 1, so the ratio is defined);
// a zero sample makes no crossing.
VARNEL_KERNEL_BODY void detectCrossings(const double* a, double frameEnergy, TransientDetector& detector, IcsInfo& ics,
                                        Detection& d) {
    int z = 1;
    for (int i = 1; i < kLookAheadLength; ++i) z += a[i - 1] * a[i] < 0.0 ? 1 : 0;
    ics.attackRatio = 0.0;
    const double r = static_cast<double>(z) / static_cast<double>(detector.zeroCrossingCount);
    if (r > kCrossingRatio && z > kCrossingCount && frameEnergy > kCrossingEnergy) {
        d.crossingAttack = true;
        ics.attackRatio = r;
    }
    detector.zeroCrossingCount = z;
}

// Band powers of the four Hann-windowed quarters. The windowing works on a copy: the
// look-ahead samples are the filterbank's input in this frame and the next two.
template <bool Vector>
VARNEL_KERNEL_BODY void detectBands(const double* a, TransientDetector& detector, Detection& d) {
    static const RealFft256 fft;
    const double* hann = hannAnalysisWindow();
    double piece[kFftLength];
    for (int f = 0; f < kFftPieces; ++f) {
        for (int i = 0; i < kFftLength; ++i) piece[i] = a[kFftLength * f + i] * hann[i];
        fft.forwardWith(Vector, piece);
        for (int b = 0; b < kBands; ++b) {
            double o = 0.0;
            for (int k = kFirstBin + kBinsPerBand * b; k < kFirstBin + kBinsPerBand * (b + 1); ++k)
                o += (piece[2 * k] * piece[2 * k] + piece[2 * k + 1] * piece[2 * k + 1]) * kPowerScale;
            if (o > kBandAttackFactor * detector.bandPowerMean[b]) {
                ++d.bandAttackCount;
                detector.nextGroupMarks[2 * f] = 1;
                detector.nextGroupMarks[2 * f + 1] = 1;
            }
            if (o < kBandMeanFloor)
                detector.bandPowerMean[b] = kBandMeanOld * detector.bandPowerMean[b] + kBandMeanDecay;
            else
                detector.bandPowerMean[b] = kBandMeanOld * detector.bandPowerMean[b] + kBandMeanNew * o;
        }
    }
}

int reservoirFloor(int channels, int strength) {
    const int floor = kFloorPerChannel * channels - kFloorPerStrength * strength;
    return floor > kFloorMinimum ? floor : kFloorMinimum;
}

struct Verdict {
    bool any;       // some detector declared an attack
    bool relaxed;   // only the zero-crossing detector fired, now or in the previous call
    bool strong;    // an energy attack now, or a strong attack in the previous call
    bool energyAttack;
    int bandAttackCount;
};

// The window-sequence state machine. s = windowSequence on entry is the previous block's
// sequence; nextWindowSequence == EIGHT_SHORT_SEQUENCE carries a pending short block. A
// transient turns a long block into LONG_START, the next one into EIGHT_SHORT and, once the
// look-ahead is quiet, LONG_STOP and then ONLY_LONG. A reservoir at or below its floor cuts a
// pending short block to LONG_STOP, or keeps a started sequence long. What it chooses is then
// fitted to the previous block (fitSequence), so that, for example, a cut after a LONG_STOP
// codes ONLY_LONG.
void chooseSequence(IcsInfo& ics, TransientDetector& detector, const Verdict& v, const BlockSwitchingContext& context) {
    const bool tnsOption = context.tnsOption;
    const int reservoir = context.bitReservoir;
    const int32_t s = ics.windowSequence;
    // After a short block: short again for a strong attack, else stop and shape the attack
    // with TNS instead.
    auto afterShort = [&]() -> int32_t {
        if (v.strong) return EIGHT_SHORT_SEQUENCE;
        ics.tnsWanted = 1;
        return LONG_STOP_SEQUENCE;
    };

    if (ics.nextWindowSequence == EIGHT_SHORT_SEQUENCE) {
        // A short block is pending; the floor uses the previous call's strength.
        const int floor = reservoirFloor(context.channels, detector.attackStrength);
        if (!(reservoir > floor) && !v.relaxed) {
            ics.windowSequence = LONG_STOP_SEQUENCE;
            ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
            detector.weakAttackPending = 1;
            return;
        }
        ics.nextWindowSequence = v.any ? EIGHT_SHORT_SEQUENCE : LONG_STOP_SEQUENCE;
        switch (s) {
        case ONLY_LONG_SEQUENCE:
        case LONG_START_SEQUENCE: ics.windowSequence = EIGHT_SHORT_SEQUENCE; break;
        case EIGHT_SHORT_SEQUENCE: ics.windowSequence = v.strong ? EIGHT_SHORT_SEQUENCE : LONG_STOP_SEQUENCE; break;
        default: ics.windowSequence = LONG_START_SEQUENCE; break;
        }
        return;
    }

    if (!v.any) {
        ics.windowSequence = (s == ONLY_LONG_SEQUENCE || s == LONG_STOP_SEQUENCE) ? ONLY_LONG_SEQUENCE : LONG_STOP_SEQUENCE;
        ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
        return;
    }
    // The floor uses this call's band attack count.
    const bool enough = reservoir > reservoirFloor(context.channels, v.bandAttackCount) || v.relaxed;
    const bool started = s == LONG_START_SEQUENCE;
    if (enough) {
        ics.windowSequence = started ? EIGHT_SHORT_SEQUENCE : s == EIGHT_SHORT_SEQUENCE ? afterShort() : LONG_START_SEQUENCE;
        ics.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
    } else if (tnsOption) {
        // Too few bits: a started sequence stops instead, TNS takes the attack, and only an
        // energy attack keeps a short block pending.
        ics.windowSequence = started ? LONG_STOP_SEQUENCE : s == EIGHT_SHORT_SEQUENCE ? afterShort() : LONG_START_SEQUENCE;
        ics.nextWindowSequence = v.energyAttack ? EIGHT_SHORT_SEQUENCE : ONLY_LONG_SEQUENCE;
    } else {
        ics.windowSequence = started || s == EIGHT_SHORT_SEQUENCE ? EIGHT_SHORT_SEQUENCE : LONG_START_SEQUENCE;
        ics.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
        detector.weakAttackPending = 1;
    }
}

// True when the block's left half ends the previous block's right half: a long slope
// (ONLY_LONG, LONG_STOP) joins ONLY_LONG or LONG_START, a short slope (LONG_START,
// EIGHT_SHORT) joins EIGHT_SHORT or LONG_STOP. Any other pair leaves time-domain aliasing
// uncancelled.
bool joins(int32_t previous, int32_t sequence) {
    const bool longSlope = previous == ONLY_LONG_SEQUENCE || previous == LONG_STOP_SEQUENCE;
    const bool startsLong = sequence == ONLY_LONG_SEQUENCE || sequence == LONG_START_SEQUENCE;
    return longSlope == startsLong;
}

// The nearest sequence that joins the previous block: after a long slope a wanted LONG_STOP
// becomes ONLY_LONG and a wanted EIGHT_SHORT becomes LONG_START with the short block
// pending; after a short slope a wanted long block becomes LONG_STOP. Returns true when the
// sequence changed.
bool fitSequence(IcsInfo& ics, int32_t previous) {
    if (joins(previous, ics.windowSequence)) return false;
    switch (ics.windowSequence) {
    case LONG_STOP_SEQUENCE: ics.windowSequence = ONLY_LONG_SEQUENCE; break;
    case EIGHT_SHORT_SEQUENCE:
        ics.windowSequence = LONG_START_SEQUENCE;
        ics.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
        break;
    default: ics.windowSequence = LONG_STOP_SEQUENCE; break;
    }
    return true;
}

// Band layout and window groups of the block just decided.
void layOutBlock(IcsInfo& ics, bool relaxed, int sampleRateIndex) {
    if (ics.windowSequence != EIGHT_SHORT_SEQUENCE) {
        ics.swbOffsets = swbOffsetLong[sampleRateIndex];
        ics.numSwb = numSwbLong[sampleRateIndex];
        ics.numWindowGroups = 1;
        ics.windowGroupLength[0] = 1;
        return;
    }
    ics.swbOffsets = swbOffsetShort[sampleRateIndex];
    ics.numSwb = numSwbShort[sampleRateIndex];
    if (relaxed) {
        // A change of crossings alone says little about where the attack is.
        ics.numWindowGroups = 1;
        ics.windowGroupLength[0] = kShortWindows;
    } else {
        ics.numWindowGroups = groupShortWindows(ics.groupMarks, ics.windowGroupLength);
    }
}

}  // namespace

// Rounding v * 1e6 to an integer is exact here: no value lies within 0.005 units of the sixth
// decimal of a tie, far more than the double-precision error of the formula.
const double* hannAnalysisWindow() {
    static const std::array<double, kFftLength> window = [] {
        std::array<double, kFftLength> w{};
        const double pi = 3.14159265358979323846;
        for (int n = 0; n < kFftLength; ++n) {
            const double v = std::sqrt(8.0 / 3.0) * 0.5 * (1.0 - std::cos(2.0 * pi * n / kFftLength));
            w[n] = std::round(v * 1e6) / 1e6;
        }
        return w;
    }();
    return window.data();
}

void initTransientDetector(TransientDetector& detector) {
    detector = TransientDetector{};
    detector.blockEnergyMean = kInitialBlockEnergyMean;
    detector.frameEnergyMean = kInitialFrameEnergyMean;
    std::fill(std::begin(detector.bandPowerMean), std::end(detector.bandPowerMean), kInitialBandPowerMean);
    detector.zeroCrossingCount = 1;
}

int groupShortWindows(const int32_t marks[kShortWindows], int32_t groupLength[kShortWindows]) {
    int groups = 1;  // the current group is groups - 1
    groupLength[0] = 0;
    for (int w = 0; w < kShortWindows; ++w) {
        if (!marks[w]) {
            ++groupLength[groups - 1];
            continue;
        }
        // A marked window is a group of its own; an unmarked successor opens the next group.
        if (w == 0)
            groupLength[0] = 1;
        else
            groupLength[groups++] = 1;
        if (w < kShortWindows - 1 && !marks[w + 1]) groupLength[groups++] = 0;
    }
    return groups;
}

namespace {

// The detectors' measurements of the look-ahead `a`, in the baseline or the vector build.
template <bool Vector>
VARNEL_KERNEL_BODY void detectBody(const double* a, TransientDetector& detector, IcsInfo& ics, Detection& d) {
    const double frameEnergy = detectEnergy(a, detector, d);
    detectCrossings(a, frameEnergy, detector, ics, d);
    detectBands<Vector>(a, detector, d);
}
void detectScalar(const double* a, TransientDetector& detector, IcsInfo& ics, Detection& d) {
    detectBody<false>(a, detector, ics, d);
}
VARNEL_VECTOR_TARGET void detectVector(const double* a, TransientDetector& detector, IcsInfo& ics, Detection& d) {
    detectBody<true>(a, detector, ics, d);
}

}  // namespace

void decideWindowSequence(const ChannelBuffer& buffer, IcsInfo& ics, TransientDetector& detector,
                          const BlockSwitchingContext& context) {
    decideWindowSequenceWith(useVectorKernels(), buffer, ics, detector, context);
}

void decideWindowSequenceWith(bool vector, const ChannelBuffer& buffer, IcsInfo& ics, TransientDetector& detector,
                              const BlockSwitchingContext& context) {
    const double* a = buffer.timeSamples() + kLookAheadStart;

    Detection d;
    (vector ? detectVector : detectScalar)(a, detector, ics, d);
    if (!(detector.blockEnergyMean > kBlockMeanFloor)) d.bandAttackCount = 0;  // quiet input

    // The TNS hint: a weak attack remembered from an earlier call asks for TNS now.
    if (context.tnsOption) {
        ics.tnsWanted = 0;
        if (detector.weakAttackPending == 1) {
            ics.tnsWanted = 1;
            detector.weakAttackPending = 0;
        }
    }
    if (d.bandAttackCount > kStrongBandAttacks)
        d.bandAttack = true;
    else if (d.bandAttackCount >= 1)
        detector.weakAttackPending = 1;

    const bool crossingOnly = d.crossingAttack && !d.bandAttack && !d.energyAttack;
    Verdict v;
    v.any = d.crossingAttack || d.bandAttack || d.energyAttack;
    v.relaxed = crossingOnly || detector.crossingOnlyAttack != 0;
    v.strong = detector.attackStrength > kStrongAttackStrength || d.energyAttack;
    v.energyAttack = d.energyAttack;
    v.bandAttackCount = d.bandAttackCount;
    const int32_t previous = ics.windowSequence;
    chooseSequence(ics, detector, v, context);
    fitSequence(ics, previous);

    detector.attackStrength = static_cast<uint8_t>(kEnergyAttackWeight * (d.energyAttack ? 1 : 0) + d.bandAttackCount);
    layOutBlock(ics, v.relaxed, context.sampleRateIndex);
    std::memcpy(ics.groupMarks, detector.nextGroupMarks, sizeof ics.groupMarks);
    detector.crossingOnlyAttack = crossingOnly ? 1 : 0;
}

void fitWindowSequence(IcsInfo& ics, int32_t previousSequence, int sampleRateIndex) {
    if (fitSequence(ics, previousSequence)) layOutBlock(ics, false, sampleRateIndex);
}

void synchroniseWindows(IcsInfo& channel0, IcsInfo& channel1) {
    auto copySet = [](const IcsInfo& from, IcsInfo& to) {
        to.windowSequence = from.windowSequence;
        to.nextWindowSequence = from.nextWindowSequence;
        to.swbOffsets = from.swbOffsets;
        to.numSwb = from.numSwb;
        std::memcpy(to.groupMarks, from.groupMarks, sizeof to.groupMarks);
        to.numWindowGroups = from.numWindowGroups;
        for (int g = 0; g < from.numWindowGroups; ++g) to.windowGroupLength[g] = from.windowGroupLength[g];
    };
    if (channel0.windowSequence == EIGHT_SHORT_SEQUENCE || channel0.nextWindowSequence == EIGHT_SHORT_SEQUENCE) {
        copySet(channel0, channel1);
        channel1.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
    } else {
        copySet(channel1, channel0);
    }
}

}  // namespace varnel
