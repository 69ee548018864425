#include "sbr/sbr_encoder.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <complex>
#include <cstring>

#include "sbr/qmf_analysis.h"

namespace varnel {
namespace {

// Columns of subband samples kept per channel: four frames, enough for the two frames the
// core lags behind, the history of the transient detector and the linear prediction.
constexpr int kRingColumns = 128;
constexpr int kColumnsPerFrame = kSbrFrameLength / kQmfBands;
// The column of the analysis at which the frame the core codes now begins, counted from the
// first column of the input frame two frames back: what lines the grid up with the envelopes a
// decoder applies, after the delays of the core, of its filterbanks and of ours. Measured on
// noise bursts: at -6 the decoded high band starts within 32 samples of the input's onsets;
// a few columns later, energy arrives before them.
constexpr int kColumnOffset = -6;
// A decoder's envelope energy is 64 * 2^(v/a) per subband sample of its filterbank; this is what
// one unit of the analysis's energy (the power of white noise of unit variance) comes to there.
constexpr double kEnergyScale = 64.0;

// Transient detection: a slot whose energy in the replicated range exceeds the mean of the
// slots before it by this factor, and a floor per subband sample, starts a transient.
constexpr double kTransientRatio = 10.0;
constexpr double kTransientFloor = 1000.0;
constexpr int kTransientHistorySlots = 8;
// Without a transient: the level ratio between neighbouring quarters of a frame above which it
// gets four envelopes, and between its halves above which it gets two.
constexpr double kQuarterSwing = 4.0;
constexpr double kHalfSwing = 2.0;

// Sinusoid detection: the strongest subband of a band this far above the others' mean, and
// predictable (residual share below kToneResidual), while the copied source there is not.
constexpr double kTonePeakRatio = 10.0;
constexpr double kToneResidual = 0.1;
constexpr double kToneKeepResidual = 0.3;
constexpr double kSourceNoisyResidual = 0.3;

using Complex = std::complex<double>;

int nint(double x) { return static_cast<int>(std::floor(x + 0.5)); }

// Share of a subband's energy that two-tap linear prediction over `n` samples cannot predict:
// near 0 for a steady tone, near 1 for noise.
double residualShare(const Complex* x, int n) {
    if (n < 4) return 1.0;
    Complex r01{}, r02{}, r12{};
    double r00 = 0, r11 = 0, r22 = 0;
    for (int i = 2; i < n; ++i) {
        r00 += std::norm(x[i]);
        r11 += std::norm(x[i - 1]);
        r22 += std::norm(x[i - 2]);
        r01 += x[i] * std::conj(x[i - 1]);
        r02 += x[i] * std::conj(x[i - 2]);
        r12 += x[i - 1] * std::conj(x[i - 2]);
    }
    if (r00 <= 0) return 1.0;
    // Minimise sum |x[i] + a1 x[i-1] + a2 x[i-2]|^2.
    const double det = r11 * r22 - std::norm(r12);
    double residual = r00;
    if (det > 1e-9 * r11 * r22 && det > 0) {
        const Complex a1 = (-r01 * r22 + r02 * std::conj(r12)) / det;
        const Complex a2 = (-r02 * r11 + r01 * r12) / det;
        residual = r00 + std::real(a1 * std::conj(r01)) + std::real(a2 * std::conj(r02));
    } else if (r11 > 0) {
        residual = r00 - std::norm(r01) / r11;
    }
    return std::clamp(residual / r00, 0.0, 1.0);
}

}  // namespace

struct SbrElementEncoder::Channel {
    QmfAnalysis qmf;
    std::vector<float> columns = std::vector<float>(size_t{kRingColumns} * kQmfBands * 2, 0.0f);
    int64_t produced = 0;  // columns analysed so far
    bool tone[kSbrMaxBands] = {};

    // Subband k of column m (zero before the first column).
    Complex at(int64_t m, int k) const {
        if (m < 0 || m >= produced) return {};
        assert(m >= produced - kRingColumns);
        const float* c = &columns[static_cast<size_t>(m % kRingColumns) * kQmfBands * 2];
        return {c[2 * k], c[2 * k + 1]};
    }
    double power(int64_t m, int k) const { return std::norm(at(m, k)); }
};

bool sbrOutputRateSupported(int32_t outputRate) {
    return outputRate == 32000 || outputRate == 44100 || outputRate == 48000;
}

SbrHeader chooseSbrHeader(int32_t outputRate, int32_t bitRatePerChannel) {
    // The crossover rises from 4.5 kHz at 8 kbit/s per channel to 10.5 kHz at 47 kbit/s and
    // above; the replication reaches 16 kHz (or the nearest top the rate allows).
    const double crossoverHz = std::clamp(3500.0 + 0.15 * bitRatePerChannel, 4500.0, 10500.0);
    const double stopHz = 16000.0;
    SbrHeader best;
    double bestError = 1e9;
    for (int start = 0; start < 16; ++start) {
        for (int stop = 0; stop < 14; ++stop) {
            SbrHeader h;
            h.startFreq = start;
            h.stopFreq = stop;
            SbrFrequencyTables t;
            if (!deriveFrequencyTables(h, outputRate, &t)) continue;
            const double hzPerSubband = outputRate / 128.0;
            const double error = std::fabs(t.kx * hzPerSubband - crossoverHz) + 0.5 * std::fabs(t.k2 * hzPerSubband - stopHz);
            if (error < bestError) {
                bestError = error;
                best = h;
            }
        }
    }
    return best;
}

SbrElementEncoder::SbrElementEncoder(int32_t outputRate, int channels, int32_t bitRatePerChannel)
    : outputRate_(outputRate), channels_(channels) {
    header_ = chooseSbrHeader(outputRate, bitRatePerChannel);
    [[maybe_unused]] const bool ok = deriveFrequencyTables(header_, outputRate, &tables_);
    assert(ok);
    for (int c = 0; c < channels; ++c) channelState_.push_back(std::make_unique<Channel>());
    // The low-band subband each replicated subband is copied from.
    int k = tables_.kx;
    for (int p = 0; p < tables_.numPatches; ++p)
        for (int i = 0; i < tables_.patchWidth[p] && k < 64; ++i) sourceSubband_[k++] = tables_.patchStart[p] + i;
    while (k < 64) sourceSubband_[k++] = std::max(tables_.kx - 1, 0);
    scratch_.resize(kMaxSbrPayloadBits / 8 + 16);
}

SbrElementEncoder::~SbrElementEncoder() = default;

void SbrElementEncoder::analyse(Channel& ch, const double* input) {
    for (int j = 0; j < kColumnsPerFrame; ++j) {
        double column[2 * kQmfBands];
        ch.qmf.analyse(input + j * kQmfBands, column);
        float* out = &ch.columns[static_cast<size_t>(ch.produced % kRingColumns) * kQmfBands * 2];
        for (int i = 0; i < 2 * kQmfBands; ++i) out[i] = static_cast<float>(column[i]);
        ++ch.produced;
    }
}

// The frame's time grid (the frame starts at column `first`), from the energies of its slots in
// the replicated range, all channels together: at the first slot whose energy jumps above the
// slots before it (a transient) an envelope starts; a frame whose level moves between its
// halves or quarters without a jump gets two or four even envelopes; a steady one, one.
SbrGrid SbrElementEncoder::chooseGrid(int64_t first) const {
    const int lo = tables_.kx, hi = tables_.kx + tables_.m;
    double energy[kTransientHistorySlots + kSbrTimeSlots] = {};
    for (int s = 0; s < kTransientHistorySlots + kSbrTimeSlots; ++s) {
        const int64_t m = first + 2 * (s - kTransientHistorySlots);
        for (const auto& ch : channelState_)
            for (int k = lo; k < hi; ++k) energy[s] += ch->power(m, k) + ch->power(m + 1, k);
    }
    const double floor = kTransientFloor * 2 * (hi - lo) * channels_;
    for (int t = 0; t < kSbrTimeSlots; ++t) {
        double before = 0;
        for (int s = t; s < t + kTransientHistorySlots; ++s) before += energy[s];
        before /= kTransientHistorySlots;
        const double now = energy[t + kTransientHistorySlots];
        if (now > floor && now > kTransientRatio * before)
            return t >= 2 ? transientGrid(std::min(t / 2 * 2, kSbrTimeSlots - 2), 0) : fixedGrid(4, 0);
    }
    // Energies of the quarters and halves, with the floor so that near silence counts as steady.
    double quarter[4] = {};
    for (int t = 0; t < kSbrTimeSlots; ++t) quarter[t / 4] += energy[t + kTransientHistorySlots] + floor;
    const auto swing = [](double a, double b) { return std::max(a, b) / std::min(a, b); };
    double most = 0;
    for (int q = 1; q < 4; ++q) most = std::max(most, swing(quarter[q - 1], quarter[q]));
    if (most > kQuarterSwing) return fixedGrid(4, 0);
    if (swing(quarter[0] + quarter[1], quarter[2] + quarter[3]) > kHalfSwing) return fixedGrid(2, 1);
    return fixedGrid(1, 1);
}

// Energies, noise floors, inverse filtering and sinusoids of one channel over the frame that
// starts at column `first`, on the grid in `d`.
void SbrElementEncoder::measureChannel(Channel& ch, const SbrGrid& g, int64_t first, ChannelMeasure& out) {
    const int res = g.freqRes;
    const int* bands = tables_.bands[res];
    for (int l = 0; l < g.numEnvelopes; ++l) {
        const int64_t m0 = first + 2 * g.borders[l], m1 = first + 2 * g.borders[l + 1];
        for (int j = 0; j < tables_.numBands[res]; ++j) {
            double sum = 0;
            for (int64_t m = m0; m < m1; ++m)
                for (int k = bands[j]; k < bands[j + 1]; ++k) sum += ch.power(m, k);
            out.energy[l][j] = kEnergyScale * sum / static_cast<double>((m1 - m0) * (bands[j + 1] - bands[j]));
        }
    }
    // Per subband over the whole frame: energy and how predictable it is, in the original and
    // in the low-band subband a decoder copies there.
    const int lo = tables_.kx, hi = tables_.kx + tables_.m;
    Complex x[2 + 2 * kSbrTimeSlots];
    const int n = 2 + 2 * kSbrTimeSlots;
    double energy[64] = {}, residual[64] = {}, sourceResidual[64] = {};
    for (int k = lo; k < hi; ++k) {
        for (int i = 0; i < n; ++i) x[i] = ch.at(first - 2 + i, k);
        residual[k] = residualShare(x, n);
        for (int i = 2; i < n; ++i) energy[k] += std::norm(x[i]);
        const int s = sourceSubband_[k];
        for (int i = 0; i < n; ++i) x[i] = ch.at(first - 2 + i, s);
        sourceResidual[k] = residualShare(x, n);
    }
    // Noise floor and inverse filtering per noise band: the noise a decoder must add so that
    // the copied band, whitened by the inverse filtering, is as noisy as the original.
    static constexpr double kWhitening[4] = {0.0, 0.3, 0.6, 0.85};
    for (int q = 0; q < tables_.numNoise; ++q) {
        double e = 0, orig = 0, source = 0;
        for (int k = tables_.noise[q]; k < tables_.noise[q + 1]; ++k) {
            e += energy[k];
            orig += energy[k] * residual[k];
            source += energy[k] * sourceResidual[k];
        }
        const double rhoOrig = e > 0 ? orig / e : 1.0;
        const double rhoSource = e > 0 ? source / e : 1.0;
        const double gap = rhoOrig - rhoSource;
        const int mode = gap < 0.1 ? 0 : gap < 0.3 ? 1 : gap < 0.6 ? 2 : 3;
        out.invf[q] = mode;
        const double whitened = rhoSource + (1.0 - rhoSource) * kWhitening[mode];
        const double level = std::max(rhoOrig - whitened, 0.0) / std::max(1.0 - rhoOrig, 1.0 / 64);
        for (int p = 0; p < g.numNoise; ++p) out.noise[p][q] = level;
    }
    // Sinusoids: a steady peak in a high-resolution band that the copied band does not carry.
    out.addHarmonicFlag = false;
    const int* high = tables_.bands[1];
    for (int j = 0; j < tables_.numBands[1]; ++j) {
        int peak = high[j];
        double total = 0;
        for (int k = high[j]; k < high[j + 1]; ++k) {
            total += energy[k];
            if (energy[k] > energy[peak]) peak = k;
        }
        const int width = high[j + 1] - high[j];
        const double others = width > 1 ? (total - energy[peak]) / (width - 1) : 0.0;
        const bool peaky = width == 1 || energy[peak] > kTonePeakRatio * others;
        const double limit = ch.tone[j] ? kToneKeepResidual : kToneResidual;
        const bool tone = energy[peak] > kTransientFloor * n && peaky && residual[peak] < limit &&
                          sourceResidual[peak] > kSourceNoisyResidual;
        ch.tone[j] = tone;
        out.addHarmonic[j] = tone ? 1 : 0;
        out.addHarmonicFlag |= tone;
    }
}

void SbrElementEncoder::quantise(const ChannelMeasure& m, SbrChannelData& d) const {
    const int ampRes = effectiveAmpRes(d.grid, header_.ampRes);
    const double a = ampRes ? 1.0 : 2.0;
    const int top = maxEnvelopeValue(ampRes);
    for (int l = 0; l < d.grid.numEnvelopes; ++l)
        for (int j = 0; j < tables_.numBands[d.grid.freqRes]; ++j)
            d.envelope[l][j] = m.energy[l][j] > 64.0 ? std::clamp(nint(a * std::log2(m.energy[l][j] / 64.0)), 0, top) : 0;
    for (int p = 0; p < d.grid.numNoise; ++p)
        for (int q = 0; q < tables_.numNoise; ++q)
            d.noise[p][q] = m.noise[p][q] > 0 ? std::clamp(nint(6.0 - std::log2(m.noise[p][q])), 0, kMaxNoiseValue)
                                               : kMaxNoiseValue;
    std::copy_n(m.invf, tables_.numNoise, d.invf);
    d.addHarmonicFlag = m.addHarmonicFlag;
    std::copy_n(m.addHarmonic, tables_.numBands[1], d.addHarmonic);
    limitFrequencySteps(d, tables_, header_.ampRes, false);
}

// Level (first channel) and balance (second) of a pair whose grids are equal.
void SbrElementEncoder::quantiseCoupled(const ChannelMeasure& left, const ChannelMeasure& right, SbrChannelData& l,
                                        SbrChannelData& r) const {
    const int ampRes = effectiveAmpRes(l.grid, header_.ampRes);
    const double a = ampRes ? 1.0 : 2.0;
    const int top = maxEnvelopeValue(ampRes), centre = balanceCentre(ampRes);
    const double tiny = 1e-3;
    for (int e = 0; e < l.grid.numEnvelopes; ++e)
        for (int j = 0; j < tables_.numBands[l.grid.freqRes]; ++j) {
            const double el = left.energy[e][j], er = right.energy[e][j];
            const double sum = el + er;
            l.envelope[e][j] = sum > 128.0 ? std::clamp(nint(a * std::log2(sum / 128.0)), 0, top) : 0;
            const double balance = centre + a * std::log2((el + tiny) / (er + tiny));
            r.envelope[e][j] = 2 * std::clamp(nint(balance / 2), 0, centre);
        }
    for (int p = 0; p < l.grid.numNoise; ++p)
        for (int q = 0; q < tables_.numNoise; ++q) {
            const double ql = std::max(left.noise[p][q], 1e-9), qr = std::max(right.noise[p][q], 1e-9);
            l.noise[p][q] = std::clamp(nint(7.0 - std::log2(ql + qr)), 0, kMaxNoiseValue);
            const double balance = kNoiseBalanceCentre + std::log2(ql / qr);
            r.noise[p][q] = 2 * std::clamp(nint(balance / 2), 0, kNoiseBalanceCentre);
        }
    for (int q = 0; q < tables_.numNoise; ++q) l.invf[q] = r.invf[q] = std::max(left.invf[q], right.invf[q]);
    for (const auto& [m, d] : {std::pair{&left, &l}, std::pair{&right, &r}}) {
        d->addHarmonicFlag = m->addHarmonicFlag;
        std::copy_n(m->addHarmonic, tables_.numBands[1], d->addHarmonic);
    }
    limitFrequencySteps(l, tables_, header_.ampRes, false);
    limitFrequencySteps(r, tables_, header_.ampRes, true);
}

// The bits `frame` would take now, written into the scratch buffer from copies of the memories
// (bits past its end are counted, not stored).
int SbrElementEncoder::trialBits(const SbrFrame& frame) {
    SbrChannelMemory trial[2] = {memory_[0], memory_[1]};
    BitWriter writer;
    writer.setOutput(scratch_.data(), static_cast<int>(scratch_.size()));
    const int bits = writeSbrPayload(writer, header_, tables_, frame, channels_, trial);
    int taken = 0;
    writer.takeOutput(&taken);
    return bits;
}

// The frame on `grid` (the frame starts at column `first`), with the bits it takes in `bits`:
// for a pair, level and balance or each channel on its own, whichever takes fewer.
SbrFrame SbrElementEncoder::buildFrame(const SbrGrid& grid, int64_t first, int* bits) {
    ChannelMeasure measure[2];
    SbrFrame independent;
    independent.sendHeader = frames_ % kSbrHeaderInterval == 1;
    for (int c = 0; c < channels_; ++c) {
        measureChannel(*channelState_[static_cast<size_t>(c)], grid, first, measure[c]);
        independent.channel[c].grid = grid;
        quantise(measure[c], independent.channel[c]);
    }
    *bits = trialBits(independent);
    if (channels_ == 1) return independent;
    SbrFrame coupled = independent;
    coupled.coupling = true;
    quantiseCoupled(measure[0], measure[1], coupled.channel[0], coupled.channel[1]);
    const int coupledBits = trialBits(coupled);
    if (coupledBits > *bits) return independent;
    *bits = coupledBits;
    return coupled;
}

int SbrElementEncoder::encodeFrame(const double* const input[2], uint8_t* payload, int capacity) {
    for (int c = 0; c < channels_; ++c) analyse(*channelState_[static_cast<size_t>(c)], input[c]);
    // The frame the core codes now began two frames before the one just analysed.
    const int64_t analysed = frames_++;
    const int64_t first = (analysed - 2) * kColumnsPerFrame + kColumnOffset;
    int bits = 0;
    frame_ = buildFrame(chooseGrid(first), first, &bits);
    // A frame past what a fill element carries (several envelopes of spectra that change
    // steeply in time and frequency) takes one envelope at the low resolution, which fits.
    if (bits > kMaxSbrPayloadBits) frame_ = buildFrame(fixedGrid(1, 0), first, &bits);
    BitWriter writer;
    writer.setOutput(payload, capacity);
    [[maybe_unused]] const int written = writeSbrPayload(writer, header_, tables_, frame_, channels_, memory_);
    int taken = 0;
    writer.takeOutput(&taken);
    assert(written == bits && bits <= kMaxSbrPayloadBits && !writer.overflowed());
    return bits;
}

}  // namespace varnel
