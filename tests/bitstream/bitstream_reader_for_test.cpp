#include "tests/bitstream/bitstream_reader_for_test.h"

#include <cstdlib>

#include "bitstream/codebook_tables.h"
#include "records/band_tables.h"

namespace varnel::test {
namespace {

using namespace varnel::codebook_data;

struct Book {
    const uint32_t* codes;
    const int8_t* lengths;
    int size;
    bool isUnsigned;
    int dimension;
    int lav;
};

// The standard's codebook parameters, restated here independently of the writer's table.
const Book kBooks[12] = {
    {scalefactorCodes, scalefactorLengths, 121, true, 1, 0},
    {book1Codes, book1Lengths, 81, false, 4, 1},
    {book2Codes, book2Lengths, 81, false, 4, 1},
    {book3Codes, book3Lengths, 81, true, 4, 2},
    {book4Codes, book4Lengths, 81, true, 4, 2},
    {book5Codes, book5Lengths, 81, false, 2, 4},
    {book6Codes, book6Lengths, 81, false, 2, 4},
    {book7Codes, book7Lengths, 64, true, 2, 7},
    {book8Codes, book8Lengths, 64, true, 2, 7},
    {book9Codes, book9Lengths, 169, true, 2, 12},
    {book10Codes, book10Lengths, 169, true, 2, 12},
    {book11Codes, book11Lengths, 289, true, 2, 16},
};

constexpr int kEightShort = 2;

bool isShort(const DecodedChannel& ch) { return ch.windowSequence == kEightShort; }

const uint16_t* offsetsOf(const BandLayout& layout, const DecodedChannel& ch) {
    return isShort(ch) ? layout.shortOffsets : layout.longOffsets;
}
int bandsOf(const BandLayout& layout, const DecodedChannel& ch) {
    return isShort(ch) ? layout.shortBands : layout.longBands;
}

void readIcsInfo(TestBitReader& r, DecodedChannel& ch) {
    r.read(1);  // ics_reserved_bit
    ch.windowSequence = static_cast<int>(r.read(2));
    ch.windowShape = static_cast<int>(r.read(1));
    if (isShort(ch)) {
        ch.maxSfb = static_cast<int>(r.read(4));
        const uint32_t grouping = r.read(7);
        ch.numWindowGroups = 1;
        ch.windowGroupLength[0] = 1;
        for (int i = 6; i >= 0; --i) {
            if (grouping & (1u << i)) {
                ++ch.windowGroupLength[ch.numWindowGroups - 1];
            } else {
                ch.windowGroupLength[ch.numWindowGroups++] = 1;
            }
        }
    } else {
        ch.maxSfb = static_cast<int>(r.read(6));
        r.read(1);  // predictor_data_present
        ch.numWindowGroups = 1;
        ch.windowGroupLength[0] = 1;
    }
}

bool readSections(TestBitReader& r, const BandLayout& layout, DecodedChannel& ch) {
    const int lengthBits = isShort(ch) ? 3 : 5;
    const int escape = (1 << lengthBits) - 1;
    const int numSwb = bandsOf(layout, ch);
    ch.sections.assign(ch.numWindowGroups, {});
    for (int g = 0; g < ch.numWindowGroups; ++g) {
        int k = 0;
        while (k < ch.maxSfb) {
            const int cb = static_cast<int>(r.read(4));
            int length = 0;
            int increment;
            while ((increment = static_cast<int>(r.read(lengthBits))) == escape) {
                length += escape;
                if (r.overrun()) return false;
            }
            length += increment;
            if (length == 0 || k + length > ch.maxSfb || cb == 12) return false;
            ch.sections[g].push_back({cb, k, length});
            for (int i = 0; i < length; ++i) ch.codebook[g * numSwb + k + i] = cb;
            k += length;
        }
    }
    return !r.overrun();
}

bool readScalefactors(TestBitReader& r, const BandLayout& layout, bool noiseSubstitution,
                      DecodedChannel& ch) {
    const int numSwb = bandsOf(layout, ch);
    int scalefactor = ch.globalGain;
    int position = 0;
    int noiseEnergy = ch.globalGain - 90;
    bool firstNoise = true;
    for (int g = 0; g < ch.numWindowGroups; ++g) {
        for (int b = 0; b < ch.maxSfb; ++b) {
            const int band = g * numSwb + b;
            const int cb = ch.codebook[band];
            if (cb == 0) continue;
            if (cb == 13 && noiseSubstitution && firstNoise) {
                noiseEnergy += static_cast<int>(r.read(9)) - 256;
                firstNoise = false;
                ch.scalefactor[band] = noiseEnergy;
                continue;
            }
            const int index = decodeCodeword(r, 0);
            if (index < 0) return false;
            const int difference = index - 60;
            if (cb == 14 || cb == 15) {
                position += difference;
                ch.scalefactor[band] = position;
            } else if (cb == 13 && noiseSubstitution) {
                noiseEnergy += difference;
                ch.scalefactor[band] = noiseEnergy;
            } else {
                scalefactor += difference;
                ch.scalefactor[band] = scalefactor;
            }
        }
    }
    return !r.overrun();
}

// Reads `count` values of one band segment in codebook cb into out.
bool readValues(TestBitReader& r, int cb, int count, int* out) {
    const Book& book = kBooks[cb];
    const int base = book.isUnsigned ? book.lav + 1 : 2 * book.lav + 1;
    for (int i = 0; i < count; i += book.dimension) {
        int index = decodeCodeword(r, cb);
        if (index < 0) return false;
        int* v = out + i;
        for (int j = book.dimension - 1; j >= 0; --j) {
            const int digit = index % base;
            index /= base;
            v[j] = book.isUnsigned ? digit : digit - book.lav;
        }
        if (book.isUnsigned)
            for (int j = 0; j < book.dimension; ++j)
                if (v[j] != 0 && r.read(1)) v[j] = -v[j];
        if (cb == 11) {
            for (int j = 0; j < 2; ++j) {
                if (std::abs(v[j]) != 16) continue;
                int n = 0;
                while (r.read(1)) {
                    if (++n > 8 || r.overrun()) return false;  // beyond 8191
                }
                const int magnitude = (1 << (n + 4)) + static_cast<int>(r.read(n + 4));
                v[j] = v[j] < 0 ? -magnitude : magnitude;
            }
        }
    }
    return !r.overrun();
}

bool readSpectral(TestBitReader& r, const BandLayout& layout, DecodedChannel& ch) {
    const uint16_t* offsets = offsetsOf(layout, ch);
    const int numSwb = bandsOf(layout, ch);
    int firstWindow = 0;
    for (int g = 0; g < ch.numWindowGroups; ++g) {
        for (int b = 0; b < ch.maxSfb; ++b) {
            const int cb = ch.codebook[g * numSwb + b];
            if (cb < 1 || cb > 11) continue;
            const int width = offsets[b + 1] - offsets[b];
            for (int w = firstWindow; w < firstWindow + ch.windowGroupLength[g]; ++w)
                if (!readValues(r, cb, width, ch.quant + 128 * w + offsets[b])) return false;
        }
        firstWindow += ch.windowGroupLength[g];
    }
    return true;
}

void readTns(TestBitReader& r, DecodedChannel& ch) {
    DecodedTns& t = ch.tns;
    const bool shortBlock = isShort(ch);
    const int windows = shortBlock ? 8 : 1;
    for (int w = 0; w < windows; ++w) {
        t.numFilters[w] = static_cast<int>(r.read(shortBlock ? 1 : 2));
        if (t.numFilters[w] == 0) continue;
        t.coefRes[w] = static_cast<int>(r.read(1));
        for (int f = 0; f < t.numFilters[w]; ++f) {
            const int slot = shortBlock ? w : f;
            t.length[slot] = static_cast<int>(r.read(shortBlock ? 4 : 6));
            t.order[slot] = static_cast<int>(r.read(shortBlock ? 3 : 5));
            if (t.order[slot] == 0) continue;
            t.direction[slot] = static_cast<int>(r.read(1));
            t.coefCompress[slot] = static_cast<int>(r.read(1));
            const int bits = 3 + t.coefRes[w] - t.coefCompress[slot];
            for (int k = 0; k < t.order[slot]; ++k) t.coef[slot][k] = static_cast<int>(r.read(bits));
        }
    }
}

bool readIndividualChannelStream(TestBitReader& r, const BandLayout& layout, bool commonWindow,
                                 bool noiseSubstitution, DecodedChannel& ch) {
    ch.globalGain = static_cast<int>(r.read(8));
    if (!commonWindow) readIcsInfo(r, ch);
    if (ch.maxSfb > bandsOf(layout, ch)) return false;
    if (!readSections(r, layout, ch)) return false;
    if (!readScalefactors(r, layout, noiseSubstitution, ch)) return false;
    if (r.read(1) != 0) return false;  // pulse_data_present
    ch.tnsPresent = r.read(1) != 0;
    if (ch.tnsPresent) readTns(r, ch);
    if (r.read(1) != 0) return false;  // gain_control_data_present
    return readSpectral(r, layout, ch);
}

}  // namespace

uint32_t TestBitReader::read(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
        uint32_t bit = 0;
        if (position_ < bits_) {
            bit = (data_[position_ >> 3] >> (7 - (position_ & 7))) & 1u;
        } else {
            overrun_ = true;
        }
        ++position_;
        value = (value << 1) | bit;
    }
    return value;
}

int decodeCodeword(TestBitReader& reader, int codebook) {
    const Book& book = kBooks[codebook];
    uint32_t code = 0;
    for (int length = 1; length <= 19; ++length) {
        code = (code << 1) | reader.read(1);
        for (int i = 0; i < book.size; ++i)
            if (book.lengths[i] == length && book.codes[i] == code) return i;
        if (reader.overrun()) return -1;
    }
    return -1;
}

BandLayout bandLayoutForRate(int sampleRateIndex) {
    return {swbOffsetLong[sampleRateIndex], numSwbLong[sampleRateIndex],
            swbOffsetShort[sampleRateIndex], numSwbShort[sampleRateIndex]};
}

bool parseSectionScalefactorSpectral(TestBitReader& reader, const BandLayout& layout,
                                     bool noiseSubstitution, DecodedChannel& channel) {
    return readSections(reader, layout, channel) &&
           readScalefactors(reader, layout, noiseSubstitution, channel) &&
           readSpectral(reader, layout, channel);
}

DecodedBlock parseRawDataBlock(const uint8_t* data, int bits, const BandLayout& layout,
                               bool noiseSubstitution) {
    DecodedBlock block;
    TestBitReader r(data, bits);
    block.elementId = static_cast<int>(r.read(3));
    block.elementTag = static_cast<int>(r.read(4));
    if (block.elementId == 0) {
        block.channels = 1;
        block.wellFormed =
            readIndividualChannelStream(r, layout, false, noiseSubstitution, block.channel[0]);
    } else if (block.elementId == 1) {
        block.channels = 2;
        block.commonWindow = r.read(1) != 0;
        if (block.commonWindow) {
            readIcsInfo(r, block.channel[0]);
            block.msMaskPresent = static_cast<int>(r.read(2));
            if (block.msMaskPresent == 1) {
                const int numSwb = bandsOf(layout, block.channel[0]);
                for (int g = 0; g < block.channel[0].numWindowGroups; ++g)
                    for (int b = 0; b < block.channel[0].maxSfb; ++b)
                        block.msUsed[g * numSwb + b] = static_cast<int>(r.read(1));
            }
            DecodedChannel& second = block.channel[1];
            const DecodedChannel& first = block.channel[0];
            second.windowSequence = first.windowSequence;
            second.windowShape = first.windowShape;
            second.maxSfb = first.maxSfb;
            second.numWindowGroups = first.numWindowGroups;
            for (int g = 0; g < 8; ++g) second.windowGroupLength[g] = first.windowGroupLength[g];
        }
        for (int c = 0; c < 2 && block.wellFormed; ++c)
            block.wellFormed = readIndividualChannelStream(r, layout, block.commonWindow,
                                                           noiseSubstitution, block.channel[c]);
    } else {
        block.wellFormed = false;
    }
    if (block.wellFormed) block.endId = static_cast<int>(r.read(3));
    block.overrun = r.overrun();
    block.bitsRead = r.position();
    return block;
}

}  // namespace varnel::test
