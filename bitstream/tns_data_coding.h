// The fields of tns_data (ISO/IEC 14496-3, 4.4.2.7, Table 4.48) in stream order, shared by the
// syntax writer and the bit count of rate control: both walk the side information through
// codeTnsData, so the bits counted are the bits written.
#pragma once

#include <cassert>
#include <cstdint>

#include "records/channel_records.h"

namespace varnel {

// Calls emit(bits, value) for every tns_data field of the channel, in stream order. Long
// blocks carry their filter count and coefficient resolution at index 0 and one entry per
// filter; eight short windows one entry per window with at most one filter each.
template <class Emit>
void codeTnsData(const IcsInfo& ics, const ChannelSideInfo& side, Emit&& emit) {
    auto filter = [&emit](int coefRes, int length, int lengthBits, int order, int orderBits,
                          int direction, int coefCompress, const uint8_t* coef) {
        emit(lengthBits, static_cast<uint32_t>(length));  // length
        emit(orderBits, static_cast<uint32_t>(order));    // order
        if (order == 0) return;
        emit(kTnsDirectionBits, static_cast<uint32_t>(direction));        // direction
        emit(kTnsCoefCompressBits, static_cast<uint32_t>(coefCompress));  // coef_compress
        const int coefBits = kTnsCoefBaseBits + coefRes - coefCompress;
        for (int k = 0; k < order; ++k) emit(coefBits, coef[k]);  // coef
    };
    if (isShort(ics)) {
        for (int win = 0; win < kShortWindows; ++win) {
            const int filters = side.tnsNumFilters[win];
            assert(filters <= 1);
            emit(kTnsNumFiltBitsShort, static_cast<uint32_t>(filters));  // n_filt
            if (filters == 0) continue;
            emit(kTnsCoefResBits, side.tnsCoefRes[win]);  // coef_res
            filter(side.tnsCoefRes[win], side.tnsLength[win], kTnsLengthBitsShort, side.tnsOrder[win],
                   kTnsOrderBitsShort, side.tnsDirection[win], side.tnsCoefCompress[win], side.tnsCoef[win]);
        }
        return;
    }
    const int filters = side.tnsNumFilters[0];
    assert(filters < (1 << kTnsNumFiltBitsLong));
    emit(kTnsNumFiltBitsLong, static_cast<uint32_t>(filters));  // n_filt
    if (filters == 0) return;
    emit(kTnsCoefResBits, side.tnsCoefRes[0]);  // coef_res
    for (int f = 0; f < filters; ++f)
        filter(side.tnsCoefRes[0], side.tnsLength[f], kTnsLengthBitsLong, side.tnsOrder[f], kTnsOrderBitsLong,
               side.tnsDirection[f], side.tnsCoefCompress[f], side.tnsCoef[f]);
}

// Bits of tns_data as the writer writes it; 0 when tnsDataPresent is not set.
inline int tnsDataBits(const IcsInfo& ics, const ChannelSideInfo& side) {
    if (!side.tnsDataPresent) return 0;
    int bits = 0;
    codeTnsData(ics, side, [&bits](int n, uint32_t) { bits += n; });
    return bits;
}

}  // namespace varnel
