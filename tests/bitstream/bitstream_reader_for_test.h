// Test-only reference reader of AAC raw data blocks: an MSB-first bit reader, a Huffman
// decoder that matches codewords bit by bit against the codeword tables, and a parser of the
// single channel / channel pair element syntax (ISO/IEC 14496-3, 4.4.2) that recovers
// sections, scalefactors and quantised values. It shares no code with the writer beyond the
// generated codeword tables, so a writer fault in codeword, sign or escape order shows up as a
// mismatch.
#pragma once

#include <cstdint>
#include <vector>

namespace varnel::test {

class TestBitReader {
public:
    TestBitReader(const uint8_t* data, int bits) : data_(data), bits_(bits) {}

    // Reads n (0..32) bits MSB first; past the end it returns zero bits and sets overrun().
    uint32_t read(int n);
    int position() const { return position_; }
    int remaining() const { return bits_ - position_; }
    bool overrun() const { return overrun_; }

private:
    const uint8_t* data_;
    int bits_;
    int position_ = 0;
    bool overrun_ = false;
};

// Decodes one codeword of codebook 0..11 and returns its index; -1 when no codeword matches.
int decodeCodeword(TestBitReader& reader, int codebook);

// One section of a window group.
struct DecodedSection {
    int codebook;
    int start;
    int length;
};

struct DecodedTns {
    int numFilters[8] = {};
    int coefRes[8] = {};
    int length[32] = {};
    int order[32] = {};
    int direction[32] = {};
    int coefCompress[32] = {};
    int coef[8][32] = {};
};

struct DecodedChannel {
    int globalGain = 0;  // the 8-bit field
    // ics_info (copied from channel 0 under a common window).
    int windowSequence = 0;
    int windowShape = 0;
    int maxSfb = 0;
    int numWindowGroups = 1;
    int windowGroupLength[8] = {1};
    std::vector<std::vector<DecodedSection>> sections;  // per group
    int codebook[120] = {};     // per group * numSwb + band, from the sections
    // Per band: the scalefactor (ordinary bands), is_position (14, 15) or noise energy (13).
    int scalefactor[120] = {};
    bool tnsPresent = false;
    DecodedTns tns;
    int quant[1024] = {};       // 128 * window + line for eight short windows
};

struct DecodedBlock {
    int elementId = -1;
    int elementTag = -1;
    bool commonWindow = false;
    int msMaskPresent = 0;
    int msUsed[120] = {};
    int channels = 0;
    DecodedChannel channel[2];
    int endId = -1;
    bool overrun = false;
    bool wellFormed = true;  // sections add up to max_sfb, every codeword decodes
    int bitsRead = 0;
};

// Band layout the parser needs: rows of band offsets for long and short windows.
struct BandLayout {
    const uint16_t* longOffsets;
    int longBands;
    const uint16_t* shortOffsets;
    int shortBands;
};

BandLayout bandLayoutForRate(int sampleRateIndex);

// Parses one element and the END element. noiseSubstitution selects whether codebook 13 bands
// carry noise energies (the encoder's option bit 2).
DecodedBlock parseRawDataBlock(const uint8_t* data, int bits, const BandLayout& layout,
                               bool noiseSubstitution);

// Parses section_data, scale_factor_data and spectral_data of one channel whose ics_info is
// already in `channel` (maxSfb, window sequence and grouping), with the individual channel
// stream's global gain. Returns false when the data is malformed.
bool parseSectionScalefactorSpectral(TestBitReader& reader, const BandLayout& layout,
                                     bool noiseSubstitution, DecodedChannel& channel);

}  // namespace varnel::test
