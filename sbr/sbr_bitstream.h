// The replication data of one frame as a decoder reads it, and its writer: the header, the
// time grid, the envelope and noise-floor values (each delta-coded in time or in frequency,
// whichever is shorter), the inverse-filtering levels and the added sinusoids, for a single
// channel or a channel pair (coupled as level and balance, or independent).
#pragma once

#include <cstdint>

#include "bitstream/bit_writer.h"
#include "sbr/sbr_frequency_tables.h"

namespace varnel {

inline constexpr int kSbrTimeSlots = 16;    // per frame, two filterbank columns each
inline constexpr int kSbrMaxEnvelopes = 4;  // per frame and channel
inline constexpr int kSbrMaxBands = 48;     // high-resolution bands at most (the rates' limit)

enum SbrFrameClass { kFixFix = 0, kFixVar = 1 };

// The time grid of one channel's frame: envelopes between borders (in time slots, from 0 to
// kSbrTimeSlots), one frequency resolution for all of them, and one or two noise-floor
// periods. A FIXVAR grid places its borders by steps of 2 to 8 slots back from the frame's
// end and points at the envelope that starts at a transient.
struct SbrGrid {
    int frameClass = kFixFix;
    int numEnvelopes = 1;
    int borders[kSbrMaxEnvelopes + 1] = {0, kSbrTimeSlots};
    int freqRes = 1;   // 0 low, 1 high
    int pointer = 0;   // FIXVAR: numEnvelopes + 1 - the transient envelope; 0 none
    int numNoise = 1;
    int noiseBorders[3] = {0, kSbrTimeSlots};
};

// A grid of `numEnvelopes` (1, 2 or 4) equal envelopes.
SbrGrid fixedGrid(int numEnvelopes, int freqRes);
// A grid whose envelope starting at `transientSlot` (even, 2 .. 14) is the transient one: an
// envelope before it from slot 0, and after it envelopes of at most 8 slots to the end.
SbrGrid transientGrid(int transientSlot, int freqRes);

// The envelope step of a grid: one FIXFIX envelope always has 1.5 dB steps.
inline int effectiveAmpRes(const SbrGrid& grid, int headerAmpRes) {
    return grid.frameClass == kFixFix && grid.numEnvelopes == 1 ? 0 : headerAmpRes;
}

// What one channel sends in a frame. The values are those a decoder keeps: envelope levels
// (energy 64 * 2^(v / a), a = 2 at 1.5 dB, 1 at 3 dB), noise levels (2^(6 - v)); for the
// second channel of a coupled pair, balances, even numbers (a decoder doubles what it reads).
struct SbrChannelData {
    SbrGrid grid;
    int envelope[kSbrMaxEnvelopes][kSbrMaxBands] = {};
    int noise[2][kSbrMaxNoiseBands] = {};
    int invf[kSbrMaxNoiseBands] = {};
    bool addHarmonicFlag = false;
    uint8_t addHarmonic[kSbrMaxBands] = {};
};

// The values the last frame of a channel left in a decoder, from which time deltas count.
struct SbrChannelMemory {
    bool valid = false;   // false before the first frame: frequency deltas only
    int ampRes = 0;
    bool balance = false; // the values are balances
    int freqRes = 1;
    int envelope[kSbrMaxBands] = {};
    int noise[kSbrMaxNoiseBands] = {};
};

// The largest envelope value at a resolution, and the balance centre.
inline int maxEnvelopeValue(int ampRes) { return ampRes ? 63 : 127; }
inline int balanceCentre(int ampRes) { return ampRes ? 12 : 24; }
inline constexpr int kMaxNoiseValue = 30;
inline constexpr int kNoiseBalanceCentre = 12;

// Keeps neighbouring values of every envelope and noise period within what a frequency delta
// can code, so that frequency coding is always possible (balances stay even).
void limitFrequencySteps(SbrChannelData& data, const SbrFrequencyTables& tables, int headerAmpRes, bool balance);

struct SbrFrame {
    bool sendHeader = false;
    bool coupling = false;  // channel pairs only
    SbrChannelData channel[2];
};

// Writes the replication data of an element's frame (its extension payload without the
// extension type) and moves the memories on. `channels` is 1 or 2. Returns the bits written.
int writeSbrPayload(BitWriter& writer, const SbrHeader& header, const SbrFrequencyTables& tables,
                    const SbrFrame& frame, int channels, SbrChannelMemory memory[2]);

// Writes a fill element carrying `payloadBits` bits from `payload` (most significant bit of
// each byte first) as replication data; returns the bits written.
int writeSbrFillElement(BitWriter& writer, const uint8_t* payload, int payloadBits);
// The bits of that fill element.
int sbrFillElementBits(int payloadBits);
// Largest payload a fill element carries.
inline constexpr int kMaxSbrPayloadBits = 269 * 8 - 4;

}  // namespace varnel
