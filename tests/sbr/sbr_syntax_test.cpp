// The replication data as a decoder reads it: the band tables' invariants, the time grids, and a
// reader written from the syntax that parses what the writer wrote, frame after frame, and must
// land on the same values (time and frequency deltas, level and balance) and the same bit count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "sbr/sbr_bitstream.h"
#include "sbr/sbr_encoder.h"
#include "sbr/sbr_frequency_tables.h"
#include "sbr/sbr_tables_data.h"

namespace varnel {
namespace {

constexpr int32_t kRates[] = {32000, 44100, 48000};

// Every header the encoder may choose derives tables a decoder accepts: borders rising, the low
// resolution every second high border, the noise bands a subset of the low ones, and patches
// that cover the replicated range without a gap, copying from the low band.
TEST(SbrTables, DerivedTablesHoldTheirInvariants) {
    int valid = 0;
    for (int32_t rate : kRates)
        for (int start = 0; start < 16; ++start)
            for (int stop = 0; stop < 16; ++stop)
                for (int scale = 0; scale < 4; ++scale)
                    for (int xover = 0; xover < 3; ++xover) {
                        SbrHeader h;
                        h.startFreq = start;
                        h.stopFreq = stop;
                        h.freqScale = scale;
                        h.xoverBand = xover;
                        SbrFrequencyTables t;
                        if (!deriveFrequencyTables(h, rate, &t)) continue;
                        ++valid;
                        SCOPED_TRACE(::testing::Message() << rate << " " << start << " " << stop << " " << scale);
                        EXPECT_EQ(t.master[0], startSubband(rate, start));
                        EXPECT_EQ(t.master[t.numMaster], t.k2);
                        EXPECT_TRUE(std::is_sorted(t.master, t.master + t.numMaster + 1, std::less_equal<>()) &&
                                    std::adjacent_find(t.master, t.master + t.numMaster + 1) == t.master + t.numMaster + 1);
                        const int high = t.numBands[1], low = t.numBands[0];
                        EXPECT_EQ(high, t.numMaster - xover);
                        EXPECT_EQ(low, (high + 1) / 2);
                        EXPECT_EQ(t.bands[0][0], t.kx);
                        EXPECT_EQ(t.bands[0][low], t.bands[1][high]);
                        for (int i = 0; i <= low; ++i)
                            EXPECT_NE(std::find(t.bands[1], t.bands[1] + high + 1, t.bands[0][i]), t.bands[1] + high + 1);
                        const int expectedNoise = std::max(1, int(std::floor(2 * std::log2(double(t.k2) / t.kx) + 0.5)));
                        EXPECT_EQ(t.numNoise, expectedNoise);
                        EXPECT_EQ(t.noise[0], t.kx);
                        EXPECT_EQ(t.noise[t.numNoise], t.kx + t.m);
                        for (int i = 0; i <= t.numNoise; ++i)
                            EXPECT_NE(std::find(t.bands[0], t.bands[0] + low + 1, t.noise[i]), t.bands[0] + low + 1);
                        int covered = t.kx;
                        for (int p = 0; p < t.numPatches; ++p) {
                            EXPECT_GE(t.patchStart[p], 1);
                            EXPECT_LE(t.patchStart[p] + t.patchWidth[p], t.kx);
                            covered += t.patchWidth[p];
                        }
                        EXPECT_GE(covered, t.kx + t.m - 2);  // a last patch under 3 subbands is dropped
                    }
    EXPECT_GT(valid, 500);
}

// Grids: borders rising from 0 to 16; a FIXVAR grid's steps back from the end are 2 to 8 slots,
// its transient envelope (the pointer counts from the end) starts at the transient, and so does
// its second noise period.
TEST(SbrGrid, BordersAndTransientEnvelope) {
    for (int n : {1, 2, 4}) {
        const SbrGrid g = fixedGrid(n, 1);
        EXPECT_EQ(g.borders[0], 0);
        EXPECT_EQ(g.borders[n], kSbrTimeSlots);
        EXPECT_EQ(g.numNoise, n > 1 ? 2 : 1);
    }
    for (int slot = 2; slot <= 14; slot += 2) {
        const SbrGrid g = transientGrid(slot, 0);
        SCOPED_TRACE(slot);
        ASSERT_GE(g.numEnvelopes, 2);
        ASSERT_LE(g.numEnvelopes, kSbrMaxEnvelopes);
        EXPECT_EQ(g.borders[0], 0);
        EXPECT_EQ(g.borders[g.numEnvelopes], kSbrTimeSlots);
        for (int l = 1; l <= g.numEnvelopes; ++l) {
            const int step = g.borders[l] - g.borders[l - 1];
            EXPECT_GT(step, 0);
            if (l > 1) {
                EXPECT_TRUE(step >= 2 && step <= 8 && step % 2 == 0) << step;
            }
        }
        EXPECT_EQ(g.borders[g.numEnvelopes + 1 - g.pointer], slot);
        EXPECT_EQ(g.noiseBorders[1], slot);
    }
}

// A reader of the payload, written from the syntax, keeping a decoder's values between frames.
class Reader {
public:
    Reader(const uint8_t* data, const SbrFrequencyTables& t) : data_(data), t_(t) {}
    int bit() {
        const int p = pos_++;
        return (data_[p / 8] >> (7 - p % 8)) & 1;
    }
    int bits(int n) {
        int v = 0;
        while (n--) v = v << 1 | bit();
        return v;
    }
    int huffman(const sbr_data::SbrCodebook& book) {
        uint32_t code = 0;
        for (int length = 1; length <= 20; ++length) {
            code = code << 1 | uint32_t(bit());
            for (int i = 0; i <= 2 * book.lav; ++i)
                if (book.lengths[i] == length && book.codes[i] == code) return i - book.lav;
        }
        ADD_FAILURE() << "no codeword";
        return 0;
    }
    int position() const { return pos_; }

    struct Channel {
        SbrGrid grid;
        int ampRes = 0;
        int df[kSbrMaxEnvelopes] = {}, dfNoise[2] = {};
        int invf[kSbrMaxNoiseBands] = {};
        int envelope[kSbrMaxEnvelopes][kSbrMaxBands] = {};
        int noise[2][kSbrMaxNoiseBands] = {};
        int lastEnvelope[kSbrMaxBands] = {}, lastNoise[kSbrMaxNoiseBands] = {}, lastRes = 0;
        bool harmonic = false;
        uint8_t addHarmonic[kSbrMaxBands] = {};
    };

    void grid(Channel& c, int headerAmpRes) {
        SbrGrid& g = c.grid;
        g.frameClass = bits(2);
        if (g.frameClass == kFixFix) {
            g.numEnvelopes = 1 << bits(2);
            g.freqRes = bit();
            g.pointer = 0;
            g.numNoise = g.numEnvelopes > 1 ? 2 : 1;
            for (int l = 0; l <= g.numEnvelopes; ++l) g.borders[l] = l * kSbrTimeSlots / g.numEnvelopes;
        } else {
            ASSERT_EQ(g.frameClass, kFixVar);
            const int end = kSbrTimeSlots + bits(2);
            g.numEnvelopes = bits(2) + 1;
            g.borders[g.numEnvelopes] = end;
            g.borders[0] = 0;
            for (int i = 0; i < g.numEnvelopes - 1; ++i)
                g.borders[g.numEnvelopes - 1 - i] = g.borders[g.numEnvelopes - i] - 2 * bits(2) - 2;
            static constexpr int kPointerBits[] = {0, 1, 2, 2, 3};
            g.pointer = bits(kPointerBits[g.numEnvelopes]);
            for (int l = 0; l < g.numEnvelopes; ++l) g.freqRes = bit();
            g.numNoise = g.numEnvelopes > 1 ? 2 : 1;
        }
        c.ampRes = g.frameClass == kFixFix && g.numEnvelopes == 1 ? 0 : headerAmpRes;
    }
    void dtdf(Channel& c) {
        for (int l = 0; l < c.grid.numEnvelopes; ++l) c.df[l] = bit();
        for (int l = 0; l < c.grid.numNoise; ++l) c.dfNoise[l] = bit();
    }
    void invf(Channel& c) {
        for (int i = 0; i < t_.numNoise; ++i) c.invf[i] = bits(2);
    }
    void envelope(Channel& c, bool balance) {
        using namespace sbr_data;
        const int step = balance ? 2 : 1;
        const SbrCodebook& tb = balance ? (c.ampRes ? timeBalance30 : timeBalance15) : (c.ampRes ? timeEnvelope30 : timeEnvelope15);
        const SbrCodebook& fb = balance ? (c.ampRes ? frequencyBalance30 : frequencyBalance15)
                                        : (c.ampRes ? frequencyEnvelope30 : frequencyEnvelope15);
        const int startBits = (c.ampRes ? 6 : 7) - (balance ? 1 : 0);
        const int odd = t_.numBands[1] & 1;
        for (int l = 0; l < c.grid.numEnvelopes; ++l) {
            const int res = c.grid.freqRes, n = t_.numBands[res];
            const int* prev = l > 0 ? c.envelope[l - 1] : c.lastEnvelope;
            const int prevRes = l > 0 ? res : c.lastRes;
            for (int k = 0; k < n; ++k) {
                if (c.df[l]) {
                    const int j = res == prevRes ? k : res ? (k + odd) >> 1 : (k ? 2 * k - odd : 0);
                    c.envelope[l][k] = prev[j] + step * huffman(tb);
                } else {
                    c.envelope[l][k] = k == 0 ? step * bits(startBits) : c.envelope[l][k - 1] + step * huffman(fb);
                }
            }
        }
        std::copy_n(c.envelope[c.grid.numEnvelopes - 1], kSbrMaxBands, c.lastEnvelope);
        c.lastRes = c.grid.freqRes;
    }
    void noise(Channel& c, bool balance) {
        using namespace sbr_data;
        const int step = balance ? 2 : 1;
        for (int l = 0; l < c.grid.numNoise; ++l) {
            const int* prev = l > 0 ? c.noise[l - 1] : c.lastNoise;
            for (int k = 0; k < t_.numNoise; ++k) {
                if (c.dfNoise[l])
                    c.noise[l][k] = prev[k] + step * huffman(balance ? timeNoiseBalance30 : timeNoise30);
                else
                    c.noise[l][k] = k == 0 ? step * bits(5)
                                           : c.noise[l][k - 1] + step * huffman(balance ? frequencyBalance30 : frequencyEnvelope30);
            }
        }
        std::copy_n(c.noise[c.grid.numNoise - 1], kSbrMaxNoiseBands, c.lastNoise);
    }
    void harmonics(Channel& c) {
        c.harmonic = bit();
        for (int n = 0; c.harmonic && n < t_.numBands[1]; ++n) c.addHarmonic[n] = uint8_t(bit());
    }

    // One payload; returns whether it was coupled.
    bool frame(Channel ch[2], int channels, const SbrHeader& h) {
        if (bit()) {
            EXPECT_EQ(bits(1), h.ampRes);
            EXPECT_EQ(bits(4), h.startFreq);
            EXPECT_EQ(bits(4), h.stopFreq);
            EXPECT_EQ(bits(3), h.xoverBand);
            bits(2);
            EXPECT_EQ(bits(2), 0);  // the defaults of the optional parts
        }
        EXPECT_EQ(bit(), 0);
        bool coupled = false;
        if (channels == 1) {
            grid(ch[0], h.ampRes);
            dtdf(ch[0]);
            invf(ch[0]);
            envelope(ch[0], false);
            noise(ch[0], false);
            harmonics(ch[0]);
        } else if ((coupled = bit())) {
            grid(ch[0], h.ampRes);
            ch[1].grid = ch[0].grid;
            ch[1].ampRes = ch[0].ampRes;
            dtdf(ch[0]);
            dtdf(ch[1]);
            invf(ch[0]);
            for (int c = 0; c < 2; ++c) {
                envelope(ch[c], c == 1);
                noise(ch[c], c == 1);
            }
            harmonics(ch[0]);
            harmonics(ch[1]);
        } else {
            for (int c = 0; c < 2; ++c) grid(ch[c], h.ampRes);
            for (int c = 0; c < 2; ++c) dtdf(ch[c]);
            for (int c = 0; c < 2; ++c) invf(ch[c]);
            for (int c = 0; c < 2; ++c) envelope(ch[c], false);
            for (int c = 0; c < 2; ++c) noise(ch[c], false);
            harmonics(ch[0]);
            harmonics(ch[1]);
        }
        EXPECT_EQ(bit(), 0);  // no extended data
        return coupled;
    }

private:
    const uint8_t* data_;
    int pos_ = 0;
    const SbrFrequencyTables& t_;
};

// Random frames (grids, resolutions, smooth and jumping values, coupled or not) written one
// after another and read back: every value a decoder reconstructs is the one sent, and the bits
// read are the bits the writer counted.
TEST(SbrPayload, ReadsBackWhatWasWrittenFrameAfterFrame) {
    std::mt19937 random(7);
    for (int32_t rate : kRates)
        for (int channels = 1; channels <= 2; ++channels) {
            SbrHeader h;
            h.startFreq = 5;
            h.stopFreq = 9;
            SbrFrequencyTables t;
            ASSERT_TRUE(deriveFrequencyTables(h, rate, &t));
            SbrChannelMemory memory[2];
            Reader::Channel read[2];
            for (int f = 0; f < 40; ++f) {
                SbrFrame frame;
                frame.sendHeader = f % 7 == 0;
                frame.coupling = channels == 2 && random() % 2;
                const int kind = int(random() % 4);
                const int res = int(random() % 2);
                const SbrGrid g = kind == 0 ? fixedGrid(1, res) : kind == 1 ? fixedGrid(2 << (random() % 2), res)
                                                              : transientGrid(2 + 2 * int(random() % 7), res);
                const int level = int(random() % 60);
                for (int c = 0; c < channels; ++c) {
                    SbrChannelData& d = frame.channel[c];
                    d.grid = g;
                    const bool balance = frame.coupling && c == 1;
                    const int top = balance ? 2 * balanceCentre(effectiveAmpRes(g, h.ampRes))
                                            : maxEnvelopeValue(effectiveAmpRes(g, h.ampRes));
                    for (int l = 0; l < g.numEnvelopes; ++l)
                        for (int k = 0; k < t.numBands[res]; ++k) {
                            const int v = random() % 3 == 0 ? int(random() % (top + 1)) : std::min(top, level + int(random() % 5));
                            d.envelope[l][k] = balance ? v / 2 * 2 : v;
                        }
                    for (int l = 0; l < g.numNoise; ++l)
                        for (int k = 0; k < t.numNoise; ++k)
                            d.noise[l][k] = balance ? int(random() % 13) * 2 : int(random() % 31);
                    for (int k = 0; k < t.numNoise; ++k) d.invf[k] = frame.coupling ? 2 : int(random() % 4);
                    d.addHarmonicFlag = random() % 3 == 0;
                    for (int k = 0; k < t.numBands[1]; ++k) d.addHarmonic[k] = d.addHarmonicFlag && random() % 4 == 0;
                    limitFrequencySteps(d, t, h.ampRes, balance);
                }
                std::vector<uint8_t> buffer(kMaxSbrPayloadBits / 8 + 16);
                BitWriter w;
                w.setOutput(buffer.data(), int(buffer.size()));
                const int written = writeSbrPayload(w, h, t, frame, channels, memory);
                int taken = 0;
                w.takeOutput(&taken);
                ASSERT_EQ(written, taken);
                Reader r(buffer.data(), t);
                EXPECT_EQ(r.frame(read, channels, h), frame.coupling);
                ASSERT_EQ(r.position(), written) << "frame " << f << " rate " << rate << " channels " << channels << " coupled " << frame.coupling << " kind " << kind << " res " << res << " header " << frame.sendHeader << " harm " << frame.channel[0].addHarmonicFlag << frame.channel[1].addHarmonicFlag;
                for (int c = 0; c < channels; ++c) {
                    const SbrChannelData& d = frame.channel[c];
                    EXPECT_EQ(read[c].grid.numEnvelopes, g.numEnvelopes);
                    EXPECT_TRUE(std::equal(g.borders, g.borders + g.numEnvelopes + 1, read[c].grid.borders));
                    EXPECT_EQ(read[c].grid.pointer, g.pointer);
                    for (int l = 0; l < g.numEnvelopes; ++l)
                        for (int k = 0; k < t.numBands[res]; ++k) ASSERT_EQ(read[c].envelope[l][k], d.envelope[l][k]) << l << " " << k << " df " << read[c].df[l] << " n " << t.numBands[res] << " env " << g.numEnvelopes;
                    for (int l = 0; l < g.numNoise; ++l)
                        for (int k = 0; k < t.numNoise; ++k) ASSERT_EQ(read[c].noise[l][k], d.noise[l][k]);
                    EXPECT_EQ(read[c].harmonic, d.addHarmonicFlag);
                }
            }
        }
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// Input whose high band jumps by tens of dB from one slot and band to the next in two unrelated
// channels: every frame's data stays within what a fill element carries.
TEST(SbrEncoder, PayloadFitsAFillElementOnExtremeInput) {
    std::mt19937 random(3);
    std::normal_distribution<double> gauss;
    SbrElementEncoder encoder(44100, 2, 64000);
    std::vector<double> input[2] = {std::vector<double>(kSbrFrameLength), std::vector<double>(kSbrFrameLength)};
    std::vector<uint8_t> payload(kMaxSbrPayloadBits / 8 + 16);
    int largest = 0;
    for (int f = 0; f < 30; ++f) {
        for (auto& x : input) {
            // Every 256 samples, tones in 24 regions of the upper band at levels 0 to 90 dB down,
            // or silence.
            std::fill(x.begin(), x.end(), 0.0);
            for (int block = 0; block < kSbrFrameLength / 256; ++block) {
                if (random() % 3 == 0) continue;
                for (int region = 0; region < 24; ++region) {
                    const double freq = (0.13 + 0.015 * region) * 2 * 3.14159265, level = 1500 * std::pow(10, -double(random() % 90) / 20.0);
                    for (int n = 0; n < 256; ++n) x[block * 256 + n] += level * std::sin(freq * n + gauss(random) * 0.01);
                }
            }
        }
        const double* channels[2] = {input[0].data(), input[1].data()};
        const int b = encoder.encodeFrame(channels, payload.data(), int(payload.size()));
        largest = std::max(largest, b);
    }
    EXPECT_LE(largest, kMaxSbrPayloadBits);
    EXPECT_GT(largest, 100);  // the input asks for many envelopes
}

}  // namespace
}  // namespace varnel
