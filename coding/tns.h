// Temporal noise shaping, encoder side (ISO/IEC 14496-3, 4.6.9).
//
// A spectrum that is well predictable along frequency belongs to a signal whose envelope varies
// within the block (an attack). Replacing such a range of the spectrum by the error of a linear
// predictor running upward in frequency (an FIR "analysis" filter) makes the quantisation noise,
// after the decoder's inverse all-pole filter, follow the temporal envelope instead of spreading
// evenly over the block.
//
// Per channel of a long block the encoder searches downward from band 26 for the range
// [start, top) that predicts best, sets at most two filters of order at most 12 and stores their
// parameters in the channel's ChannelSideInfo for tns_data. Short windows are never filtered.
// The filter is built from the transmitted coefficient indices exactly as a decoder rebuilds
// it, so the decoder's filter is the exact inverse of the encoder's.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "records/channel_records.h"

namespace varnel {

inline constexpr int kTnsMaxOrder = 12;          // TNS_MAX_ORDER for long windows (AAC LC)
inline constexpr int kTnsCoefBits = 4;           // coefficient width with coef_res = 1
inline constexpr int kTnsCoefRes = 1;            // coef_res written with kTnsCoefBits
inline constexpr int kTnsMaxFilters = 2;         // filters set per channel
inline constexpr int kTnsHighestStart = 26;      // the search's first start band, at most
inline constexpr int kTnsBandStep = 2;           // the search widens the range by two bands
inline constexpr int kTnsMinRangeLines = 50;     // narrower ranges are not analysed
inline constexpr double kTnsEnergyFloor = 50000.0;  // r[0] below it: no analysis
inline constexpr double kTnsMinGain = 2.0;       // prediction gain that switches a filter on
inline constexpr double kTnsGainDrop = 0.9;      // a gain below 0.9 x the previous one ends widening
inline constexpr double kTnsTruncation = 0.1;    // trailing |k| at most this are dropped

// Coefficient arrays indexed 1..kTnsMaxOrder (reflection) or 0..kTnsMaxOrder (lpc, lpc[0] = 1).
inline constexpr int kTnsCoefArraySize = kTnsMaxOrder + 1;

// runTnsChannel for every channel of the element with its own band range (tnsBandRange, with
// the max_sfb the writer will write), filtering the spectra in place.
void runTns(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding, std::span<ChannelBuffer> buffers,
            ElementInfo& element, bool noiseSubstitution, int32_t sampleRateIndex);

// Bands of one channel's search and filters.
struct TnsBandRange {
    int lowestBand;     // lowest start band of a filter
    int topBand;        // upper edge of the search's candidate ranges
    int filterTopBand;  // upper edge of the range the first filter runs over, as a decoder runs it
    int guardBand;      // numSwb, or the first band a decoder must not filter (see tnsBandRange)
};

// The one place that fixes a channel's TNS bands. The search runs below
// top = min(bandLimit, TNS_MAX_BANDS, numSwb, firstNoiseBand). A decoder runs the first filter
// up to min(numSwb, TNS_MAX_BANDS, max_sfb), so the encoder filters up to that same band, with
// `maxSfb` the max_sfb that will be written: with noise substitution it lies above bandLimit
// (pnsBandLimit, for a common-window pair the larger of the two), and the lines between are
// coded too; filtered only by the decoder, they would come out coloured by its all-pole filter.
//
// `firstNoiseBand` is the lowest band that may be sent as noise (numSwb when none may). A
// decoder's inverse filter runs over noise bands too, after it has filled them, and raises the
// noise by up to the filter's prediction gain, which no noise energy can allow for: it depends
// on the coded lines below and on the decoder's random values. So no filter runs from that band
// up: when the decoder's first filter would reach it, guardBand is set to it and the channel's
// first filter is an order-0 one over [guardBand, numSwb), which a decoder skips, and the
// filters the search sets end below it.
TnsBandRange tnsBandRange(const IcsInfo& ics, int32_t bandLimit, int32_t maxSfb,
                          int32_t sampleRateIndex, int32_t firstNoiseBand);

// The lowest band of a channel that may be sent as noise: pnsStartBand when noise substitution
// is on and [pnsStartBand, pnsBandLimit) is not empty, else numSwb.
int32_t firstNoiseBand(const IcsInfo& ics, const ChannelCoding& coding, bool noiseSubstitution);

// Searches, quantises and filters one channel's spectrum in place and fills the TNS fields of
// `side`. Does nothing at all for eight short windows. Sets tnsNumFilters[0] (0 when no filter
// is set, one more than the filters set when the order-0 guard filter leads); tnsDataPresent is
// set when a filter is set and left alone otherwise.
void runTnsChannel(const IcsInfo& ics, const TnsBandRange& range, std::span<double> spectrum,
                   ChannelSideInfo& side);

// The candidate search, apart from the signal processing. analyse(start, top) analyses the
// lines of bands [start, top) and returns the prediction gain (0 below the energy floor);
// apply(start, top) sets a filter over [start, top) from the coefficients of the most recent
// analysis and returns false when it discards the filter.
struct TnsSearchSteps {
    std::function<double(int startBand, int topBand)> analyse;
    std::function<bool(int startBand, int topBand)> apply;
};

// From s = min(top - 2, 26) down to lowestBand in steps of two, ranges of at least 50 lines:
//  - gain >= 2: if the gain fell below 0.9 x the previous range's, apply; else if s is the
//    lowest band, apply; else remember the gain and widen.
//  - gain < 2: stop unless the previous range reached 2, else apply.
// An application starts at s + 2 (the previous, narrower range, with the coefficients of the
// wider analysis at s) unless s is the lowest band, where it starts at s. A filter that is set
// becomes the new top; the search stops after two. Since s moves in steps of two, "s is the
// lowest band" holds only when min(top - 2, 26) - lowestBand is even.
void searchTnsFilters(std::span<const uint16_t> swbOffsets, int lowestBand, int topBand,
                      const TnsSearchSteps& steps);

// Autocorrelation r[0..order] of `lines` and the Levinson-Durbin recursion. Writes
// reflection[1..order] and returns the prediction gain r[0] / E, or returns 0 and leaves
// `reflection` alone when r[0] < 50000.
double tnsLpcAnalysis(int order, std::span<const double> lines, std::span<double> reflection);

// Arcsine quantisation of reflection[1..order] with `bits`-bit indices: indices[i - 1] gets the
// index of reflection[i] in `bits`-bit two's complement, and reflection[i] its dequantised value.
void tnsQuantiseCoefficients(int order, int bits, std::span<double> reflection,
                             std::span<uint8_t> indices);

// Zeroes the trailing reflection coefficients with |k| <= threshold and returns the order left.
int tnsTruncateOrder(int order, double threshold, std::span<double> reflection);

// lpc[0..order] of the predictor a decoder rebuilds from transmitted indices: each index read as
// a (bits - compress)-bit two's complement value, dequantised for coef_res width `bits`, and
// converted by the step-up recursion.
void tnsDirectForm(int order, int bits, int compress, std::span<const uint8_t> indices,
                   std::span<double> lpc);

// Prediction-error filter in place: y[n] = x[n] + sum_{i=1..order} lpc[i] x[n - i], visiting
// the lines upward from the first (step +1) or downward from the last (step -1); inputs before
// the start count as zero.
void tnsAnalysisFilter(std::span<double> lines, int step, std::span<const double> lpc, int order);

}  // namespace varnel
