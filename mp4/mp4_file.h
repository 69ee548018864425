// The writer's two objects behind the opaque handles of mp4_writer.h.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mp4/byte_order.h"
#include "mp4/media_files.h"
#include "mp4/mp4_writer.h"
#include "mp4/track_boxes.h"

namespace varnel {

namespace mp4 {

// ftyp: the 3GPP release 5 brand, compatible with 3GPP release 4 and MP4 version 1.
inline constexpr uint32_t kFtypSize = 28;
inline constexpr uint32_t kMinorVersion = 0x00000100;

// Well-known types of a metadata data box.
inline constexpr uint32_t kTagDataImplicit = 0;
inline constexpr uint32_t kTagDataUtf8 = 1;

// One metadata item: its box type and the payload of its data box (after type and locale).
struct TagItem {
    FourCC type = 0;
    uint32_t data_type = 0;  // well-known type of the data box: 1 UTF-8, 0 implicit (trkn)
    std::vector<uint8_t> value;
    std::string name;        // a free-form item ("----"): its name, after the mean
};

// A 3GPP asset box of udta (titl, perf, ...): its type and the payload after version and flags.
struct AssetBox {
    FourCC type = 0;
    std::vector<uint8_t> body;
};

// The movie header values that change (mvhd, ISO/IEC 14496-12, 8.2.2).
struct MovieHeader {
    uint32_t time_scale = 0;
    uint64_t duration = 0;       // largest tkhd duration, set on close
    uint32_t next_track_id = 1;  // one more than the largest track ID added
};

}  // namespace mp4

struct Mp4File {
    std::mutex lock;  // guards tracks, handles and mvhd.next_track_id
    mp4::MovieHeader mvhd;
    int32_t brands = MP4_BRANDS_3GP5;
    bool has_iods = false;
    std::vector<uint8_t> iod;  // InitialObjectDescriptor bytes of the iods box
    std::string file_name;
    std::vector<mp4::TagItem> tags;     // moov/udta/meta/ilst; none: no udta
    std::vector<mp4::AssetBox> assets;  // moov/udta 3GPP asset boxes, beside the meta box
    uint64_t mdat_offset = mp4::kFtypSize;
    // Declared before the tracks and handles: handles hold rows of the set, so it goes last.
    std::unique_ptr<mp4::MediaFileSet> media_files;
    std::vector<std::unique_ptr<mp4::TrackBoxes>> tracks;  // in the order added
    std::vector<std::unique_ptr<Mp4Track>> handles;        // one per track, kept until close
};

struct Mp4Track {
    Mp4File* file = nullptr;
    mp4::TrackBoxes* boxes = nullptr;
    mp4::MediaFileHandle media;
    uint64_t next_offset = 0;  // file offset just past this track's previous sample
};

namespace mp4 {

// Runs an operation that may allocate; an allocation (or lock) failure becomes -1 and marks
// the file's media-file set failed, since it may have happened after shared state was touched.
template <class Operation>
int guarded(Mp4File* file, Operation&& operation) {
    try {
        return operation();
    } catch (const std::exception&) {
        if (file && file->media_files) file->media_files->markFailed();
        return -1;
    }
}

// Whether a handle may still be used: attached to a file and not yet finished.
inline bool usable(const Mp4Track* track) {
    return track && track->file && track->boxes && !track->boxes->finished;
}

}  // namespace mp4
}  // namespace varnel
