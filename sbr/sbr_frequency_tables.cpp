#include "sbr/sbr_frequency_tables.h"

#include <algorithm>
#include <cmath>

#include "sbr/sbr_tables_data.h"

namespace varnel {
namespace {

// Nearest integer, halves rounded up.
int nint(double x) { return static_cast<int>(std::floor(x + 0.5)); }

// Row of the start-frequency offsets for the output rate.
int offsetRow(int32_t rate) {
    if (rate < 22050) return 0;
    if (rate < 24000) return 1;
    if (rate < 32000) return 2;
    if (rate < 44100) return 3;
    if (rate <= 64000) return 4;
    return 5;
}

// The lowest start frequency of the rate class, in Hz (the stop frequency's is twice it).
int startMinHz(int32_t rate) { return rate < 32000 ? 3000 : rate < 64000 ? 4000 : 5000; }

// Rounded division of a frequency in Hz scaled by 128 by the rate: its subband.
int subbandOf(int hz128, int32_t rate) { return (hz128 + rate / 2) / rate; }

// `count` band widths from `start` to `stop` on a geometric scale: the differences of the
// rounded points start * (stop / start)^(k / count).
void geometricWidths(int start, int stop, int count, int* widths) {
    const double base = std::pow(static_cast<double>(stop) / start, 1.0 / count);
    double product = start;
    int previous = start;
    for (int k = 0; k < count - 1; ++k) {
        product *= base;
        const int present = nint(product);
        widths[k] = present - previous;
        previous = present;
    }
    widths[count - 1] = stop - previous;
}

// Most subbands the replicated range may span at an output rate.
int maxReplicatedSubbands(int32_t rate) { return rate <= 32000 ? 48 : rate <= 44100 ? 35 : 32; }

bool fail(const char** why, const char* text) {
    if (why) *why = text;
    return false;
}

bool masterTable(const SbrHeader& h, int k0, int k2, SbrFrequencyTables& t, const char** why) {
    int* master = t.master;
    if (h.freqScale == 0) {
        // Steps of one subband (an even count of them, rounded down), or of two (rounded to the
        // nearest even count).
        const int dk = h.alterScale ? 2 : 1;
        const int count = h.alterScale ? 2 * ((k2 - k0 + 2) / 4) : 2 * ((k2 - k0) / 2);
        if (count <= 0 || count > kSbrMaxMasterBands) return fail(why, "no master bands");
        int widths[kSbrMaxMasterBands];
        std::fill_n(widths, count, dk);
        int diff = k2 - (k0 + count * dk);
        // What the even steps miss is taken from the lowest or added to the highest bands.
        int k = diff < 0 ? 0 : count - 1;
        const int step = diff < 0 ? 1 : -1;
        while (diff != 0) {
            widths[k] -= step;
            k += step;
            diff += step;
        }
        master[0] = k0;
        for (int i = 1; i <= count; ++i) master[i] = master[i - 1] + widths[i - 1];
        t.numMaster = count;
        return true;
    }
    static constexpr int kBandsPerOctave[3] = {12, 10, 8};
    const int bands = kBandsPerOctave[h.freqScale - 1];
    const double warp = h.alterScale ? 1.3 : 1.0;
    const bool twoRegions = static_cast<double>(k2) / k0 > 2.2449;
    const int k1 = twoRegions ? 2 * k0 : k2;
    const int count0 = 2 * nint(bands * std::log2(static_cast<double>(k1) / k0) / 2.0);
    if (count0 <= 0 || count0 > kSbrMaxMasterBands) return fail(why, "no master bands in the first region");
    int widths0[kSbrMaxMasterBands];
    geometricWidths(k0, k1, count0, widths0);
    std::sort(widths0, widths0 + count0);
    if (widths0[0] <= 0) return fail(why, "an empty master band");
    master[0] = k0;
    for (int i = 1; i <= count0; ++i) master[i] = master[i - 1] + widths0[i - 1];
    t.numMaster = count0;
    if (!twoRegions) return true;
    const int count1 = 2 * nint(bands * std::log2(static_cast<double>(k2) / k1) / (2.0 * warp));
    if (count1 <= 0 || count0 + count1 > kSbrMaxMasterBands) return fail(why, "no master bands in the second region");
    int widths1[kSbrMaxMasterBands];
    geometricWidths(k1, k2, count1, widths1);
    // The upper region's bands are no narrower than the lower region's widest.
    if (*std::min_element(widths1, widths1 + count1) < widths0[count0 - 1]) {
        std::sort(widths1, widths1 + count1);
        const int change = widths0[count0 - 1] - widths1[0];
        widths1[0] += change;
        widths1[count1 - 1] -= change;
    }
    std::sort(widths1, widths1 + count1);
    if (widths1[0] <= 0) return fail(why, "an empty master band");
    for (int i = 1; i <= count1; ++i) master[count0 + i] = master[count0 + i - 1] + widths1[i - 1];
    t.numMaster = count0 + count1;
    return true;
}

// The patches that copy the low band (from subband 1 up to kx) into the replicated range,
// each starting on an even distance so that the copied subbands keep their spectral
// orientation.
bool buildPatches(SbrFrequencyTables& t, int32_t rate, const char** why) {
    const int goal = nint(2.048e6 / rate);
    int k = t.numMaster;
    if (goal < t.kx + t.m) {
        k = 0;
        for (int i = 0; t.master[i] < goal; ++i) k = i + 1;
    }
    int msb = t.k0, usb = t.kx, count = 0, sb = 0;
    do {
        int j = k + 1, odd = 0;
        do {
            --j;
            sb = t.master[j];
            odd = (sb - 2 + t.k0) % 2;
        } while (sb > t.k0 - 1 + msb - odd);
        const int width = std::max(sb - usb, 0);
        if (count >= kSbrMaxPatches && width > 0) return fail(why, "more than five patches");
        if (width > 0) {
            t.patchWidth[count] = width;
            t.patchStart[count] = t.k0 - odd - width;
            usb = sb;
            msb = sb;
            ++count;
        } else {
            msb = t.kx;
        }
        if (t.master[k] - sb < 3) k = t.numMaster;
    } while (sb != t.kx + t.m);
    if (count > 1 && t.patchWidth[count - 1] < 3) --count;
    t.numPatches = count;
    return count > 0 || fail(why, "no patch");
}

}  // namespace

int startSubband(int32_t outputRate, int startFreq) {
    return subbandOf(startMinHz(outputRate) * 128, outputRate) +
           sbr_data::startFrequencyOffsets[offsetRow(outputRate)][startFreq];
}

int stopSubband(int32_t outputRate, int stopFreq, int k0) {
    int k2;
    if (stopFreq < 14) {
        const int stopMin = subbandOf(startMinHz(outputRate) * 256, outputRate);
        int widths[13];
        geometricWidths(stopMin, 64, 13, widths);
        std::sort(widths, widths + 13);
        k2 = stopMin;
        for (int k = 0; k < stopFreq; ++k) k2 += widths[k];
    } else {
        k2 = (stopFreq == 14 ? 2 : 3) * k0;
    }
    return std::min(k2, 64);
}

bool deriveFrequencyTables(const SbrHeader& h, int32_t rate, SbrFrequencyTables* out, const char** why) {
    SbrFrequencyTables t;
    t.k0 = startSubband(rate, h.startFreq);
    t.k2 = stopSubband(rate, h.stopFreq, t.k0);
    if (t.k2 <= t.k0) return fail(why, "the stop band is not above the start band");
    if (t.k2 - t.k0 > maxReplicatedSubbands(rate)) return fail(why, "too many subbands for the rate");
    if (!masterTable(h, t.k0, t.k2, t, why)) return false;
    if (h.xoverBand >= t.numMaster) return fail(why, "the crossover is past the master table");
    const int high = t.numMaster - h.xoverBand;
    t.numBands[1] = high;
    for (int i = 0; i <= high; ++i) t.bands[1][i] = t.master[i + h.xoverBand];
    // The low resolution takes every second border of the high one, from the first.
    const int low = (high + 1) / 2;
    t.numBands[0] = low;
    t.bands[0][0] = t.bands[1][0];
    for (int i = 1; i <= low; ++i) t.bands[0][i] = t.bands[1][2 * i - (high & 1)];
    t.kx = t.bands[1][0];
    t.m = t.bands[1][high] - t.kx;
    if (t.kx > 32) return fail(why, "the crossover is above the core's half of the subbands");
    if (t.kx + t.m > 64) return fail(why, "the stop band is past the top");
    t.numNoise = h.noiseBands == 0
                     ? 1
                     : std::max(1, nint(h.noiseBands * std::log2(static_cast<double>(t.k2) / t.kx)));
    if (t.numNoise > kSbrMaxNoiseBands) return fail(why, "more than five noise bands");
    int index = 0;
    t.noise[0] = t.bands[0][0];
    for (int k = 1; k <= t.numNoise; ++k) {
        index += (low - index) / (t.numNoise + 1 - k);
        t.noise[k] = t.bands[0][index];
    }
    if (!buildPatches(t, rate, why)) return false;
    *out = t;
    return true;
}

}  // namespace varnel
