#include "sbr/sbr_bitstream.h"

#include <algorithm>
#include <cassert>

#include "sbr/sbr_tables_data.h"

namespace varnel {
namespace {

using sbr_data::SbrCodebook;

constexpr uint32_t kIdFill = 6;
constexpr uint32_t kExtensionSbrData = 13;
constexpr int kFillCountBits = 4;
constexpr int kFillEscapeBits = 8;
constexpr int kExtensionTypeBits = 4;
constexpr int kNoiseStartBits = 5;

// Bits of the grid's pointer: enough for 0 .. numEnvelopes.
int pointerBits(int numEnvelopes) {
    static constexpr int kBits[kSbrMaxEnvelopes + 1] = {0, 1, 2, 2, 3};
    return kBits[numEnvelopes];
}

// The codebooks and start-value width of one kind of data.
struct Books {
    const SbrCodebook* time;
    const SbrCodebook* frequency;
    int startBits;
    int step;  // what a decoder multiplies each read value by: 2 for balances
};

Books envelopeBooks(int ampRes, bool balance) {
    using namespace sbr_data;
    if (balance)
        return ampRes ? Books{&timeBalance30, &frequencyBalance30, 5, 2} : Books{&timeBalance15, &frequencyBalance15, 6, 2};
    return ampRes ? Books{&timeEnvelope30, &frequencyEnvelope30, 6, 1} : Books{&timeEnvelope15, &frequencyEnvelope15, 7, 1};
}

Books noiseBooks(bool balance) {
    using namespace sbr_data;
    return balance ? Books{&timeNoiseBalance30, &frequencyBalance30, kNoiseStartBits, 2}
                   : Books{&timeNoise30, &frequencyEnvelope30, kNoiseStartBits, 1};
}

// What a run that cannot be coded in a direction costs: more than any run that can (at most
// 48 codewords of at most 20 bits), and no sum of them overflows.
constexpr int kCannotCode = 1 << 20;

// Length of the codeword of a stored-value difference, or kCannotCode.
int codeLength(const SbrCodebook& book, int difference, int step) {
    if (difference % step != 0) return kCannotCode;
    const int v = difference / step;
    if (v < -book.lav || v > book.lav) return kCannotCode;
    return book.lengths[v + book.lav];
}

void putCode(BitWriter& w, const SbrCodebook& book, int difference, int step) {
    const int v = difference / step + book.lav;
    w.putBits(book.lengths[v], book.codes[v]);
}

// The band of the previous values that a time delta of band j counts from, when the two
// resolutions differ (`odd`: the high resolution has an odd number of bands).
int previousBand(int j, int resolution, int previousResolution, int odd) {
    if (resolution == previousResolution) return j;
    if (resolution == 1) return (j + odd) >> 1;
    return j ? 2 * j - odd : 0;
}

// One run of values (an envelope or a noise period) and what it is coded against.
struct Run {
    const int* values;
    int count;
    const int* previous;  // null: no time delta possible
    int resolution, previousResolution, odd;
};

int frequencyCost(const Run& r, const Books& b) {
    if (r.values[0] % b.step != 0 || r.values[0] / b.step >= (1 << b.startBits) || r.values[0] < 0) return kCannotCode;
    int bits = b.startBits;
    for (int k = 1; k < r.count; ++k) bits += codeLength(*b.frequency, r.values[k] - r.values[k - 1], b.step);
    return bits;
}

int timeCost(const Run& r, const Books& b) {
    if (!r.previous) return kCannotCode;
    int bits = 0;
    for (int k = 0; k < r.count; ++k)
        bits += codeLength(*b.time, r.values[k] - r.previous[previousBand(k, r.resolution, r.previousResolution, r.odd)],
                           b.step);
    return bits;
}

void writeRun(BitWriter& w, const Run& r, const Books& b, bool time) {
    if (time) {
        for (int k = 0; k < r.count; ++k)
            putCode(w, *b.time, r.values[k] - r.previous[previousBand(k, r.resolution, r.previousResolution, r.odd)],
                    b.step);
        return;
    }
    w.putBits(b.startBits, static_cast<uint32_t>(r.values[0] / b.step));
    for (int k = 1; k < r.count; ++k) putCode(w, *b.frequency, r.values[k] - r.values[k - 1], b.step);
}

// The coding directions of one channel's frame: true = time.
struct Directions {
    bool envelope[kSbrMaxEnvelopes] = {};
    bool noise[2] = {};
};

Run envelopeRun(const SbrChannelData& d, const SbrChannelMemory& m, const SbrFrequencyTables& t, int l) {
    const int res = d.grid.freqRes;
    const int* previous = l > 0 ? d.envelope[l - 1] : (m.valid ? m.envelope : nullptr);
    return {d.envelope[l], t.numBands[res], previous, res, l > 0 ? res : m.freqRes, t.numBands[1] & 1};
}

Run noiseRun(const SbrChannelData& d, const SbrChannelMemory& m, const SbrFrequencyTables& t, int l) {
    const int* previous = l > 0 ? d.noise[l - 1] : (m.valid ? m.noise : nullptr);
    return {d.noise[l], t.numNoise, previous, 0, 0, 0};
}

Directions chooseDirections(const SbrChannelData& d, const SbrChannelMemory& m, const SbrFrequencyTables& t,
                            int ampRes, bool balance) {
    Directions dir;
    const Books eb = envelopeBooks(ampRes, balance);
    for (int l = 0; l < d.grid.numEnvelopes; ++l) {
        const Run r = envelopeRun(d, m, t, l);
        dir.envelope[l] = timeCost(r, eb) < frequencyCost(r, eb);
    }
    const Books nb = noiseBooks(balance);
    for (int l = 0; l < d.grid.numNoise; ++l) {
        const Run r = noiseRun(d, m, t, l);
        dir.noise[l] = timeCost(r, nb) < frequencyCost(r, nb);
    }
    return dir;
}

void writeGrid(BitWriter& w, const SbrGrid& g) {
    w.putBits(2, static_cast<uint32_t>(g.frameClass));
    if (g.frameClass == kFixFix) {
        w.putBits(2, g.numEnvelopes == 1 ? 0u : g.numEnvelopes == 2 ? 1u : 2u);
        w.putBits(1, static_cast<uint32_t>(g.freqRes));
        return;
    }
    w.putBits(2, 0);  // the frame ends at its last slot
    w.putBits(2, static_cast<uint32_t>(g.numEnvelopes - 1));
    for (int i = 0; i < g.numEnvelopes - 1; ++i) {
        const int step = g.borders[g.numEnvelopes - i] - g.borders[g.numEnvelopes - 1 - i];
        assert(step >= 2 && step <= 8 && step % 2 == 0);
        w.putBits(2, static_cast<uint32_t>((step - 2) / 2));
    }
    w.putBits(pointerBits(g.numEnvelopes), static_cast<uint32_t>(g.pointer));
    for (int l = 0; l < g.numEnvelopes; ++l) w.putBits(1, static_cast<uint32_t>(g.freqRes));
}

void writeDirections(BitWriter& w, const SbrGrid& g, const Directions& dir) {
    for (int l = 0; l < g.numEnvelopes; ++l) w.putBits(1, dir.envelope[l] ? 1u : 0u);
    for (int l = 0; l < g.numNoise; ++l) w.putBits(1, dir.noise[l] ? 1u : 0u);
}

void writeInverseFiltering(BitWriter& w, const SbrChannelData& d, const SbrFrequencyTables& t) {
    for (int i = 0; i < t.numNoise; ++i) w.putBits(2, static_cast<uint32_t>(d.invf[i]));
}

void writeEnvelopes(BitWriter& w, const SbrChannelData& d, const SbrChannelMemory& m, const SbrFrequencyTables& t,
                    int ampRes, bool balance, const Directions& dir) {
    const Books b = envelopeBooks(ampRes, balance);
    for (int l = 0; l < d.grid.numEnvelopes; ++l) writeRun(w, envelopeRun(d, m, t, l), b, dir.envelope[l]);
}

void writeNoise(BitWriter& w, const SbrChannelData& d, const SbrChannelMemory& m, const SbrFrequencyTables& t,
                bool balance, const Directions& dir) {
    const Books b = noiseBooks(balance);
    for (int l = 0; l < d.grid.numNoise; ++l) writeRun(w, noiseRun(d, m, t, l), b, dir.noise[l]);
}

void writeSinusoids(BitWriter& w, const SbrChannelData& d, const SbrFrequencyTables& t) {
    w.putBits(1, d.addHarmonicFlag ? 1u : 0u);
    if (!d.addHarmonicFlag) return;
    for (int n = 0; n < t.numBands[1]; ++n) w.putBits(1, d.addHarmonic[n]);
}

void writeHeader(BitWriter& w, const SbrHeader& h) {
    const SbrHeader defaults;
    const bool extra1 = h.freqScale != defaults.freqScale || h.alterScale != defaults.alterScale ||
                        h.noiseBands != defaults.noiseBands;
    const bool extra2 = h.limiterBands != defaults.limiterBands || h.limiterGains != defaults.limiterGains ||
                        h.interpolFreq != defaults.interpolFreq || h.smoothingMode != defaults.smoothingMode;
    w.putBits(1, static_cast<uint32_t>(h.ampRes));
    w.putBits(4, static_cast<uint32_t>(h.startFreq));
    w.putBits(4, static_cast<uint32_t>(h.stopFreq));
    w.putBits(3, static_cast<uint32_t>(h.xoverBand));
    w.putBits(2, 0);  // reserved
    w.putBits(1, extra1 ? 1u : 0u);
    w.putBits(1, extra2 ? 1u : 0u);
    if (extra1) {
        w.putBits(2, static_cast<uint32_t>(h.freqScale));
        w.putBits(1, static_cast<uint32_t>(h.alterScale));
        w.putBits(2, static_cast<uint32_t>(h.noiseBands));
    }
    if (extra2) {
        w.putBits(2, static_cast<uint32_t>(h.limiterBands));
        w.putBits(2, static_cast<uint32_t>(h.limiterGains));
        w.putBits(1, static_cast<uint32_t>(h.interpolFreq));
        w.putBits(1, static_cast<uint32_t>(h.smoothingMode));
    }
}

void remember(SbrChannelMemory& m, const SbrChannelData& d, const SbrFrequencyTables& t, int ampRes, bool balance) {
    const int last = d.grid.numEnvelopes - 1;
    m.valid = true;
    m.ampRes = ampRes;
    m.balance = balance;
    m.freqRes = d.grid.freqRes;
    std::copy_n(d.envelope[last], t.numBands[d.grid.freqRes], m.envelope);
    std::copy_n(d.noise[d.grid.numNoise - 1], t.numNoise, m.noise);
}

}  // namespace

SbrGrid fixedGrid(int numEnvelopes, int freqRes) {
    assert(numEnvelopes == 1 || numEnvelopes == 2 || numEnvelopes == 4);
    SbrGrid g;
    g.frameClass = kFixFix;
    g.numEnvelopes = numEnvelopes;
    for (int l = 0; l <= numEnvelopes; ++l) g.borders[l] = l * kSbrTimeSlots / numEnvelopes;
    g.freqRes = freqRes;
    g.numNoise = numEnvelopes > 1 ? 2 : 1;
    g.noiseBorders[0] = 0;
    g.noiseBorders[1] = numEnvelopes > 1 ? g.borders[numEnvelopes / 2] : kSbrTimeSlots;
    g.noiseBorders[2] = kSbrTimeSlots;
    return g;
}

SbrGrid transientGrid(int transientSlot, int freqRes) {
    assert(transientSlot >= 2 && transientSlot <= kSbrTimeSlots - 2 && transientSlot % 2 == 0);
    SbrGrid g;
    g.frameClass = kFixVar;
    g.freqRes = freqRes;
    int n = 0;
    g.borders[n++] = 0;
    g.borders[n++] = transientSlot;
    // The transient envelope takes 4 slots where it can; the rest is cut in steps of at most 8.
    const int rest = kSbrTimeSlots - transientSlot;
    if (rest > 4) g.borders[n++] = transientSlot + 4;
    if (rest - 4 > 8) g.borders[n++] = transientSlot + 4 + (rest - 4) / 2 / 2 * 2;
    g.borders[n] = kSbrTimeSlots;
    g.numEnvelopes = n;
    // The transient envelope is the second: the pointer counts from the end.
    g.pointer = n;
    g.numNoise = 2;
    g.noiseBorders[0] = 0;
    g.noiseBorders[1] = g.borders[n - std::max(g.pointer - 1, 1)];
    g.noiseBorders[2] = kSbrTimeSlots;
    return g;
}

void limitFrequencySteps(SbrChannelData& d, const SbrFrequencyTables& t, int headerAmpRes, bool balance) {
    const int ampRes = effectiveAmpRes(d.grid, headerAmpRes);
    const Books eb = envelopeBooks(ampRes, balance);
    const int lavE = eb.frequency->lav * eb.step;
    const int n = t.numBands[d.grid.freqRes];
    for (int l = 0; l < d.grid.numEnvelopes; ++l)
        for (int k = 1; k < n; ++k)
            d.envelope[l][k] = std::clamp(d.envelope[l][k], d.envelope[l][k - 1] - lavE, d.envelope[l][k - 1] + lavE);
    const Books nb = noiseBooks(balance);
    const int lavN = nb.frequency->lav * nb.step;
    for (int l = 0; l < d.grid.numNoise; ++l)
        for (int k = 1; k < t.numNoise; ++k)
            d.noise[l][k] = std::clamp(d.noise[l][k], d.noise[l][k - 1] - lavN, d.noise[l][k - 1] + lavN);
}

int writeSbrPayload(BitWriter& w, const SbrHeader& header, const SbrFrequencyTables& t, const SbrFrame& f,
                    int channels, SbrChannelMemory memory[2]) {
    const int64_t start = w.bitCount();
    w.putBits(1, f.sendHeader ? 1u : 0u);
    if (f.sendHeader) writeHeader(w, header);
    w.putBits(1, 0);  // no extra data
    const bool coupled = channels == 2 && f.coupling;
    int ampRes[2];
    Directions dir[2];
    for (int c = 0; c < channels; ++c) {
        const SbrChannelData& d = f.channel[coupled ? 0 : c];
        ampRes[c] = effectiveAmpRes(d.grid, header.ampRes);
        dir[c] = chooseDirections(f.channel[c], memory[c], t, ampRes[c], coupled && c == 1);
    }
    if (channels == 1) {
        writeGrid(w, f.channel[0].grid);
        writeDirections(w, f.channel[0].grid, dir[0]);
        writeInverseFiltering(w, f.channel[0], t);
        writeEnvelopes(w, f.channel[0], memory[0], t, ampRes[0], false, dir[0]);
        writeNoise(w, f.channel[0], memory[0], t, false, dir[0]);
        writeSinusoids(w, f.channel[0], t);
    } else {
        w.putBits(1, coupled ? 1u : 0u);
        if (coupled) {
            const SbrGrid& g = f.channel[0].grid;
            writeGrid(w, g);
            writeDirections(w, g, dir[0]);
            writeDirections(w, g, dir[1]);
            writeInverseFiltering(w, f.channel[0], t);
            for (int c = 0; c < 2; ++c) {
                writeEnvelopes(w, f.channel[c], memory[c], t, ampRes[c], c == 1, dir[c]);
                writeNoise(w, f.channel[c], memory[c], t, c == 1, dir[c]);
            }
        } else {
            for (int c = 0; c < 2; ++c) writeGrid(w, f.channel[c].grid);
            for (int c = 0; c < 2; ++c) writeDirections(w, f.channel[c].grid, dir[c]);
            for (int c = 0; c < 2; ++c) writeInverseFiltering(w, f.channel[c], t);
            for (int c = 0; c < 2; ++c) writeEnvelopes(w, f.channel[c], memory[c], t, ampRes[c], false, dir[c]);
            for (int c = 0; c < 2; ++c) writeNoise(w, f.channel[c], memory[c], t, false, dir[c]);
        }
        writeSinusoids(w, f.channel[0], t);
        writeSinusoids(w, f.channel[1], t);
    }
    w.putBits(1, 0);  // no extended data
    for (int c = 0; c < channels; ++c) remember(memory[c], f.channel[c], t, ampRes[c], coupled && c == 1);
    return static_cast<int>(w.bitCount() - start);
}

int sbrFillElementBits(int payloadBits) {
    const int bytes = (kExtensionTypeBits + payloadBits + 7) / 8;
    return 3 + kFillCountBits + (bytes >= 15 ? kFillEscapeBits : 0) + 8 * bytes;
}

int writeSbrFillElement(BitWriter& w, const uint8_t* payload, int payloadBits) {
    assert(payloadBits >= 0 && payloadBits <= kMaxSbrPayloadBits);
    const int64_t start = w.bitCount();
    const int bytes = (kExtensionTypeBits + payloadBits + 7) / 8;
    w.putBits(3, kIdFill);
    if (bytes < 15) {
        w.putBits(kFillCountBits, static_cast<uint32_t>(bytes));
    } else {
        w.putBits(kFillCountBits, 15);
        w.putBits(kFillEscapeBits, static_cast<uint32_t>(bytes - 14));
    }
    w.putBits(kExtensionTypeBits, kExtensionSbrData);
    int left = payloadBits;
    for (const uint8_t* p = payload; left > 0; ++p) {
        const int n = std::min(left, 8);
        w.putBits(n, static_cast<uint32_t>(*p >> (8 - n)));
        left -= n;
    }
    // Fill bits up to the stated byte count.
    const int pad = 8 * bytes - kExtensionTypeBits - payloadBits;
    if (pad > 0) w.putBits(pad, 0);
    return static_cast<int>(w.bitCount() - start);
}

}  // namespace varnel
