// The frequency band tables of spectral band replication, derived from the header values
// exactly as a decoder derives them: the master table from the start and stop bands, the high
// and low resolution tables from the crossover, the noise-floor bands, and the patches that
// copy the low band up. Bands are counted in the 64 subbands of the filterbank at the output
// rate, each fs / 128 wide.
#pragma once

#include <cstdint>

namespace varnel {

inline constexpr int kSbrMaxMasterBands = 64;
inline constexpr int kSbrMaxNoiseBands = 5;
inline constexpr int kSbrMaxPatches = 5;

// The header fields that decide the tables and what the data means. The defaults are the
// values a header without its optional parts states.
struct SbrHeader {
    int ampRes = 1;        // envelope step: 0 = 1.5 dB, 1 = 3 dB
    int startFreq = 0;     // bs_start_freq 0..15
    int stopFreq = 0;      // bs_stop_freq 0..15
    int xoverBand = 0;     // master bands below the crossover
    int freqScale = 2;     // 0 linear, 1..3: 12, 10 or 8 bands per octave
    int alterScale = 1;    // linear: 2-subband steps; else a wider upper region
    int noiseBands = 2;    // noise-floor bands per octave
    int limiterBands = 2;
    int limiterGains = 2;
    int interpolFreq = 1;
    int smoothingMode = 1;
};

// The tables one header gives at one output rate.
struct SbrFrequencyTables {
    int k0 = 0, k2 = 0;   // first and last+1 subband of the master table
    int kx = 0;           // first subband the replication writes (the crossover)
    int m = 0;            // subbands from kx to the top
    int numMaster = 0;
    int master[kSbrMaxMasterBands + 1] = {};
    int numBands[2] = {};  // [0] low resolution, [1] high resolution
    int bands[2][kSbrMaxMasterBands + 1] = {};  // band borders by resolution
    int numNoise = 0;
    int noise[kSbrMaxNoiseBands + 1] = {};
    int numPatches = 0;
    int patchStart[kSbrMaxPatches] = {};  // first source subband of each patch
    int patchWidth[kSbrMaxPatches] = {};  // subbands each patch copies
};

// Derives the tables of `header` at `outputRate` (32000 .. 48000 Hz are what the encoder uses).
// False, with `why` set when given, when a decoder would refuse the header: a stop band not
// above the start band, more bands than the rate allows, a crossover past the core's half or
// past the master table, too many noise bands or patches.
bool deriveFrequencyTables(const SbrHeader& header, int32_t outputRate, SbrFrequencyTables* tables,
                           const char** why = nullptr);

// The subband at which bs_start_freq `startFreq` begins (k0), and the subband at which
// bs_stop_freq `stopFreq` ends (k2) for that start, at `outputRate`.
int startSubband(int32_t outputRate, int startFreq);
int stopSubband(int32_t outputRate, int stopFreq, int k0);

}  // namespace varnel
