#include "analysis/block_switching.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "analysis/real_fft.h"
#include "encoder/band_tables.h"

namespace varnel {
namespace {

constexpr int kLookAheadStart = 1600;
constexpr int kLookAheadLength = 1024;
constexpr int kBlockLength = 128;  // energy detector block
constexpr int kFftLength = RealFft256::kLength;
constexpr int kFftPieces = kLookAheadLength / kFftLength;

constexpr double kSampleScale = 3.051850947599719e-05;  // 1 / 32767
// Energy detector.
constexpr double kBlockAttackFactor = 5.0;
constexpr double kBlockMeanFloor = 0.001;
constexpr double kBlockMeanNew = 0.4;
constexpr double kBlockMeanOld = 0.6;
constexpr double kBlockMeanDecay = 0.0004;
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
constexpr double kBandMeanDecay = 7e-05;
constexpr int kStrongBandAttacks = 5;
// Reservoir floors, in bits.
constexpr int kFloorPerChannel = 3072;
constexpr int kFloorPerStrength = 200;
constexpr int kFloorMinimum = 2000;
constexpr int kStrongAttackStrength = 10;
constexpr int kEnergyAttackWeight = 11;

struct Detection {
    bool energyAttack = false;
    bool crossingAttack = false;
    bool bandAttack = false;
    int bandAttackCount = 0;
};

// Step 2-3: energies of the eight 128-sample blocks, marks, and the frame gate.
double detectEnergy(const double* a, IcsInfo& ics, Detection& d) {
    double total = 0.0;
    for (int w = 0; w < kShortWindows; ++w) {
        ics.nextGroupMarks[w] = 0;
        double e = 0.0;
        for (int i = 0; i < kBlockLength; ++i) {
            const double s = a[kBlockLength * w + i] * kSampleScale;
            e += s * s;
        }
        total += e;
        if (e > kBlockAttackFactor * ics.blockEnergyMean) {
            d.energyAttack = true;
            ics.nextGroupMarks[w] = 1;
        }
        if (e > kBlockMeanFloor)
            ics.blockEnergyMean = kBlockMeanNew * e + kBlockMeanOld * ics.blockEnergyMean;
        else
            ics.blockEnergyMean = kBlockMeanOld * ics.blockEnergyMean + kBlockMeanDecay;
    }
    if (total < kFrameGateFactor * ics.frameEnergyMean) d.energyAttack = false;
    ics.frameEnergyMean = kFrameMeanNew * total + kFrameMeanOld * ics.frameEnergyMean;
    return total;
}

// Step 4: zero crossings against the previous frame's count.
void detectCrossings(const double* a, double frameEnergy, IcsInfo& ics, Detection& d) {
    int z = 1;
    for (int i = 1; i < kLookAheadLength; ++i)
        if (a[i - 1] * a[i] < 0.0) ++z;
    ics.attackRatio = 0.0;
    const double r = static_cast<double>(z) / static_cast<double>(ics.zeroCrossingCount);
    if (r > kCrossingRatio && z > kCrossingCount && frameEnergy > kCrossingEnergy) {
        d.crossingAttack = true;
        ics.attackRatio = r;
    }
    ics.zeroCrossingCount = z;
}

// Step 5: band powers of four Hann-windowed 256-sample pieces.
void detectBands(const double* a, IcsInfo& ics, Detection& d) {
    static thread_local RealFft256 fft;
    const double* hann = hannAnalysisWindow();
    double piece[kFftLength];
    for (int f = 0; f < kFftPieces; ++f) {
        for (int i = 0; i < kFftLength; ++i) piece[i] = a[kFftLength * f + i] * hann[i];
        fft.forward(piece);
        for (int b = 0; b < kBands; ++b) {
            double o = 0.0;
            for (int k = kFirstBin + kBinsPerBand * b; k < kFirstBin + kBinsPerBand * (b + 1); ++k)
                o += (piece[2 * k] * piece[2 * k] + piece[2 * k + 1] * piece[2 * k + 1]) * kPowerScale;
            if (o > kBandAttackFactor * ics.bandPowerMean[b]) {
                ++d.bandAttackCount;
                ics.nextGroupMarks[2 * f] = 1;
                ics.nextGroupMarks[2 * f + 1] = 1;
            }
            if (o < kBandMeanFloor)
                ics.bandPowerMean[b] = kBandMeanOld * ics.bandPowerMean[b] + kBandMeanDecay;
            else
                ics.bandPowerMean[b] = kBandMeanOld * ics.bandPowerMean[b] + kBandMeanNew * o;
        }
    }
}

int reservoirFloor(int channels, int strength) {
    const int floor = kFloorPerChannel * channels - kFloorPerStrength * strength;
    return floor > kFloorMinimum ? floor : kFloorMinimum;
}

}  // namespace

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

int groupShortWindows(const int32_t marks[kShortWindows], int32_t groupLength[kShortWindows]) {
    int groups = 1;
    groupLength[0] = 0;
    for (int w = 0; w < kShortWindows; ++w) {
        if (!marks[w]) {
            ++groupLength[groups - 1];
            continue;
        }
        if (w == 0) {
            groupLength[0] = 1;
        } else {
            if (groupLength[groups - 1] > 0) groupLength[groups++] = 0;
            groupLength[groups - 1] = 1;
        }
        if (w < kShortWindows - 1 && !marks[w + 1]) groupLength[groups++] = 0;
    }
    return groups;
}

void decideWindowSequence(const ChannelBuffer& buffer, IcsInfo& ics, const AacEncoder& encoder) {
    const double* a = buffer.timeSamples + kLookAheadStart;
    const bool tnsOption = (encoder.options & kOptionTns) != 0;

    ics.previousWindowShape = 0;
    ics.windowShape = 0;

    Detection d;
    const double frameEnergy = detectEnergy(a, ics, d);
    detectCrossings(a, frameEnergy, ics, d);
    detectBands(a, ics, d);

    if (!(ics.blockEnergyMean > kBlockMeanFloor)) d.bandAttackCount = 0;  // quiet gate
    if (tnsOption) {
        ics.tnsWanted = 0;
        if (ics.weakAttackPending == 1) {
            ics.tnsWanted = 1;
            ics.weakAttackPending = 0;
        }
    }
    if (d.bandAttackCount > kStrongBandAttacks)
        d.bandAttack = true;
    else if (d.bandAttackCount >= 1)
        ics.weakAttackPending = 1;

    const bool any = d.crossingAttack || d.bandAttack || d.energyAttack;
    const bool crossingOnly = d.crossingAttack && !d.bandAttack && !d.energyAttack;
    const bool relaxed = crossingOnly || ics.crossingOnlyAttack != 0;
    const bool strong = ics.attackStrength > kStrongAttackStrength || d.energyAttack;
    const int reservoir = encoder.bitReservoir;
    const int s = ics.windowSequence;

    if (ics.nextWindowSequence == EIGHT_SHORT_SEQUENCE) {
        // A short block is pending.
        const int floor = reservoirFloor(encoder.channels, ics.attackStrength);
        if (!(reservoir > floor) && !relaxed) {
            ics.windowSequence = LONG_STOP_SEQUENCE;
            ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
            ics.weakAttackPending = 1;
        } else {
            ics.nextWindowSequence = any ? EIGHT_SHORT_SEQUENCE : LONG_STOP_SEQUENCE;
            switch (s) {
            case ONLY_LONG_SEQUENCE:
            case LONG_START_SEQUENCE: ics.windowSequence = EIGHT_SHORT_SEQUENCE; break;
            case EIGHT_SHORT_SEQUENCE:
                ics.windowSequence = strong ? EIGHT_SHORT_SEQUENCE : LONG_STOP_SEQUENCE;
                break;
            default: ics.windowSequence = LONG_START_SEQUENCE; break;
            }
        }
    } else {
        const int floor = reservoirFloor(encoder.channels, d.bandAttackCount);
        const bool enough = reservoir > floor || relaxed;
        if (!any) {
            ics.windowSequence = (s == ONLY_LONG_SEQUENCE || s == LONG_STOP_SEQUENCE) ? ONLY_LONG_SEQUENCE
                                                                                     : LONG_STOP_SEQUENCE;
            ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
        } else {
            // s = 2 is common to the first two paths: short again when strong, else stop with TNS.
            auto afterShort = [&] {
                if (strong) return static_cast<int32_t>(EIGHT_SHORT_SEQUENCE);
                ics.tnsWanted = 1;
                return static_cast<int32_t>(LONG_STOP_SEQUENCE);
            };
            if (enough) {
                ics.windowSequence = s == LONG_START_SEQUENCE     ? EIGHT_SHORT_SEQUENCE
                                     : s == EIGHT_SHORT_SEQUENCE ? afterShort()
                                                                 : LONG_START_SEQUENCE;
                ics.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
            } else if (tnsOption) {
                ics.windowSequence = s == LONG_START_SEQUENCE     ? LONG_STOP_SEQUENCE
                                     : s == EIGHT_SHORT_SEQUENCE ? afterShort()
                                                                 : LONG_START_SEQUENCE;
                ics.nextWindowSequence = d.energyAttack ? EIGHT_SHORT_SEQUENCE : ONLY_LONG_SEQUENCE;
            } else {
                ics.windowSequence = s == LONG_START_SEQUENCE || s == EIGHT_SHORT_SEQUENCE ? EIGHT_SHORT_SEQUENCE
                                                                                          : LONG_START_SEQUENCE;
                ics.nextWindowSequence = EIGHT_SHORT_SEQUENCE;
                ics.weakAttackPending = 1;
            }
        }
    }

    ics.attackStrength = static_cast<uint8_t>(kEnergyAttackWeight * (d.energyAttack ? 1 : 0) + d.bandAttackCount);

    // Band layout and grouping of the new block.
    const int index = encoder.sampleRateIndex;
    if (ics.windowSequence == EIGHT_SHORT_SEQUENCE) {
        ics.swbOffsets = swbOffsetShort[index];
        ics.numSwb = numSwbShort[index];
        if (relaxed) {
            ics.numWindowGroups = 1;
            ics.windowGroupLength[0] = kShortWindows;
        } else {
            ics.numWindowGroups = groupShortWindows(ics.groupMarks, ics.windowGroupLength);
        }
    } else {
        ics.swbOffsets = swbOffsetLong[index];
        ics.numSwb = numSwbLong[index];
        ics.numWindowGroups = 1;
        ics.windowGroupLength[0] = 1;
    }
    std::memcpy(ics.groupMarks, ics.nextGroupMarks, sizeof ics.groupMarks);
    ics.crossingOnlyAttack = crossingOnly ? 1 : 0;
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
