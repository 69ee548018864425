#include "mp4/track_boxes.h"

namespace varnel::mp4 {

uint32_t TrackBoxes::trefSize() const {
    uint32_t size = kBoxHeaderSize;
    for (const TrackReferenceType& r : references) size += r.size();
    return size;
}

// Full box header, pre_defined, handler_type, reserved[3], then the name and its zero byte.
uint32_t TrackBoxes::hdlrSize() const {
    return kFullBoxHeaderSize + 4 + 4 + 12 + static_cast<uint32_t>(handler_name.size()) + 1;
}

uint32_t TrackBoxes::drefSize() const {
    uint32_t size = kTableBoxSize;
    for (const DataEntry& e : data_entries) size += e.size;
    return size;
}

uint32_t TrackBoxes::stsdSize() const {
    uint32_t size = kTableBoxSize;
    for (const SampleEntry& e : sample_entries) size += e.size;
    return size;
}

}  // namespace varnel::mp4
