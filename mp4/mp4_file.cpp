// Creating and closing the output file.

#include <cstdio>
#include <limits>

#include <sys/types.h>

#include "mp4/box_writer.h"
#include "mp4/mp4_file.h"

namespace varnel {
namespace {

// Whether every track's tree is complete: finished, and every sample entry filled.
bool treeComplete(const Mp4File& file) {
    for (const auto& t : file.tracks) {
        if (!t->finished) return false;
        for (const mp4::SampleEntry& e : t->sample_entries)
            if (!e.filled) return false;
    }
    return true;
}

// Writes the moov box at the end of the media data. Returns false on any failure.
bool writeMoov(Mp4File& file) {
    uint64_t moov_offset = 0;
    if (file.media_files->currentEnd(file.file_name, &moov_offset) != 0) return false;
    file.mvhd.duration = 0;
    for (const auto& t : file.tracks)
        if (t->track_duration > file.mvhd.duration) file.mvhd.duration = t->track_duration;
    // Container boxes have 32-bit sizes; a moov beyond them is not written at all.
    if (mp4::moovSize(file) > std::numeric_limits<uint32_t>::max()) return false;
    mp4::FilePtr out(std::fopen(file.file_name.c_str(), "r+b"));
    if (!out) return false;
    if (moov_offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
        fseeko(out.get(), static_cast<off_t>(moov_offset), SEEK_SET) != 0)
        return false;
    if (!mp4::writeMoov(file, out.get())) return false;
    return std::fclose(out.release()) == 0;
}

}  // namespace

int mp4_create_file(Mp4File** file, const Mp4FileParams* params) {
    if (file) *file = nullptr;
    if (!file || !params || !params->file_name) return -1;
    if (params->iod && params->iod_size > std::numeric_limits<uint32_t>::max() - mp4::kFullBoxHeaderSize) return -1;
    try {
        auto f = std::make_unique<Mp4File>();
        f->mvhd.time_scale = params->time_scale;
        f->file_name = params->file_name;
        if (params->iod && params->iod_size > 0) {
            f->has_iods = true;
            f->iod.assign(params->iod, params->iod + params->iod_size);
        }
        f->media_files = std::make_unique<mp4::MediaFileSet>(MP4_MAX_MEDIA_FILES);
        // Creates the file: ftyp at 0, an mdat header at 28 whose size is patched on close.
        const std::vector<uint8_t> ftyp = mp4::serialiseFtyp();
        mp4::MediaFileHandle handle;
        if (f->media_files->attach(f->file_name, ftyp.data(), static_cast<uint32_t>(ftyp.size()), &handle) != 0)
            return -1;
        handle.detach();
        f->mdat_offset = ftyp.size();
        *file = f.release();
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

namespace {

// The 3GPP asset boxes for the metadata items that have one.
std::vector<mp4::AssetBox> assetBoxes(const std::vector<mp4::TagItem>& items) {
    constexpr uint16_t kUndetermined = ('u' - 0x60) << 10 | ('n' - 0x60) << 5 | ('d' - 0x60);  // ISO 639-2 "und"
    const auto text = [](mp4::FourCC type, const std::vector<uint8_t>& value) {
        mp4::AssetBox box;
        box.type = type;
        box.body.reserve(value.size() + 4);
        box.body.push_back(static_cast<uint8_t>(kUndetermined >> 8));  // pad, language
        box.body.push_back(static_cast<uint8_t>(kUndetermined));
        for (uint8_t b : value) box.body.push_back(b);
        box.body.push_back(0);  // the string's terminator
        return box;
    };
    uint16_t track = 0;
    for (const mp4::TagItem& item : items)
        if (item.type == mp4::fourcc("trkn")) track = static_cast<uint16_t>(item.value[2] << 8 | item.value[3]);
    std::vector<mp4::AssetBox> boxes;
    for (const mp4::TagItem& item : items) {
        switch (item.type) {
        case 0xA96E616D: boxes.push_back(text(mp4::fourcc("titl"), item.value)); break;  // \251nam
        case 0xA9415254: boxes.push_back(text(mp4::fourcc("perf"), item.value)); break;  // \251ART
        case 0xA967656E: boxes.push_back(text(mp4::fourcc("gnre"), item.value)); break;  // \251gen
        case 0xA9636D74: boxes.push_back(text(mp4::fourcc("dscp"), item.value)); break;  // \251cmt
        case 0xA9616C62:                                                                  // \251alb
            boxes.push_back(text(mp4::fourcc("albm"), item.value));
            if (track > 0 && track <= 255) boxes.back().body.push_back(static_cast<uint8_t>(track));  // trackNumber
            break;
        case 0xA9646179: {  // \251day
            const auto digit = [&item](size_t i) { return item.value.size() > i && item.value[i] >= '0' && item.value[i] <= '9'; };
            if (!(digit(0) && digit(1) && digit(2) && digit(3)) || digit(4)) break;
            mp4::AssetBox box;
            box.type = mp4::fourcc("yrrc");
            box.body.resize(2);
            uint16_t year = 0;
            for (size_t i = 0; i < 4; ++i) year = static_cast<uint16_t>(year * 10 + (item.value[i] - '0'));
            mp4::storeU16(box.body.data(), year);  // recording year
            boxes.push_back(std::move(box));
            break;
        }
        default: break;
        }
    }
    return boxes;
}

}  // namespace

int mp4_set_tags(Mp4File* file, const Mp4Tag* tags, uint32_t count) {
    if (!file || (count > 0 && !tags)) return -1;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!tags[i].text && tags[i].text_size > 0) return -1;
        bytes += tags[i].text_size;
    }
    if (bytes > MP4_MAX_TAG_BYTES) return -1;
    try {
        std::vector<mp4::TagItem> items;
        for (uint32_t i = 0; i < count; ++i) {
            mp4::TagItem item;
            item.type = tags[i].type;
            if (tags[i].text) {
                item.data_type = mp4::kTagDataUtf8;
                item.value.assign(tags[i].text, tags[i].text + tags[i].text_size);
            } else {
                item.data_type = mp4::kTagDataImplicit;
                // trkn: reserved 16 bits, track number, track count, reserved 16 bits.
                item.value.resize(8);
                mp4::storeU16(item.value.data() + 2, tags[i].track_number);
                mp4::storeU16(item.value.data() + 4, tags[i].track_total);
            }
            items.push_back(std::move(item));
        }
        file->assets = assetBoxes(items);
        file->tags = std::move(items);
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int mp4_close_file(Mp4File* file) {
    if (!file) return -1;
    std::unique_ptr<Mp4File> owner(file);  // released on every path
    mp4::MediaFileSet& media = *file->media_files;
    try {
        // Without every track finished the tables and durations are incomplete: no moov, and
        // the mdat keeps size 0.
        if (!treeComplete(*file) || !writeMoov(*file)) media.markFailed();
    } catch (const std::exception&) {
        media.markFailed();
    }
    return media.finalize();
}

}  // namespace varnel
