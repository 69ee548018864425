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
        f->brands = params->brands;
        f->file_name = params->file_name;
        if (params->iod && params->iod_size > 0) {
            f->has_iods = true;
            f->iod.assign(params->iod, params->iod + params->iod_size);
        }
        f->media_files = std::make_unique<mp4::MediaFileSet>(MP4_MAX_MEDIA_FILES);
        // Creates the file: ftyp at 0, an mdat header at 28 whose size is patched on close.
        const std::vector<uint8_t> ftyp = mp4::serialiseFtyp(params->brands);
        mp4::MediaFileHandle handle;
        if (f->media_files->attach(f->file_name, ftyp.data(), static_cast<uint32_t>(ftyp.size()), &handle) != 0)
            return -1;
        if (handle.detach() != 0) return -1;
        f->mdat_offset = ftyp.size();
        *file = f.release();
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

namespace {

constexpr uint16_t kUndetermined = ('u' - 0x60) << 10 | ('n' - 0x60) << 5 | ('d' - 0x60);  // ISO 639-2 "und"

std::vector<uint8_t> bytesOf(const Mp4Text& t) { return std::vector<uint8_t>(t.text, t.text + t.size); }

// A 3GPP asset box of one string: pad and language, the UTF-8 text and its terminator.
mp4::AssetBox assetText(mp4::FourCC type, const Mp4Text& t) {
    mp4::AssetBox box;
    box.type = type;
    box.body.reserve(t.size + 4u);
    box.body.push_back(static_cast<uint8_t>(kUndetermined >> 8));
    box.body.push_back(static_cast<uint8_t>(kUndetermined));
    box.body.insert(box.body.end(), t.text, t.text + t.size);
    box.body.push_back(0);
    return box;
}

// The recording year of a date that starts with exactly four digits, or 0.
uint16_t recordingYear(const Mp4Text& date) {
    const auto digit = [&date](uint32_t i) { return date.size > i && date.text[i] >= '0' && date.text[i] <= '9'; };
    if (!(digit(0) && digit(1) && digit(2) && digit(3)) || digit(4)) return 0;
    uint16_t year = 0;
    for (uint32_t i = 0; i < 4; ++i) year = static_cast<uint16_t>(year * 10 + (date.text[i] - '0'));
    return year;
}

// The 3GPP asset boxes of the tags that have one, in the order of their metadata items.
std::vector<mp4::AssetBox> assetBoxes(const Mp4Tags& tags) {
    std::vector<mp4::AssetBox> boxes;
    if (tags.title.size) boxes.push_back(assetText(mp4::fourcc("titl"), tags.title));
    if (tags.artist.size) boxes.push_back(assetText(mp4::fourcc("perf"), tags.artist));
    if (tags.album.size) {
        boxes.push_back(assetText(mp4::fourcc("albm"), tags.album));
        if (tags.track_number > 0 && tags.track_number <= 255)
            boxes.back().body.push_back(static_cast<uint8_t>(tags.track_number));  // trackNumber
    }
    if (const uint16_t year = tags.date.size ? recordingYear(tags.date) : 0) {
        mp4::AssetBox box;
        box.type = mp4::fourcc("yrrc");
        box.body.resize(2);
        mp4::storeU16(box.body.data(), year);
        boxes.push_back(std::move(box));
    }
    if (tags.genre.size) boxes.push_back(assetText(mp4::fourcc("gnre"), tags.genre));
    if (tags.comment.size) boxes.push_back(assetText(mp4::fourcc("dscp"), tags.comment));
    return boxes;
}

// The metadata list's items: the text tags that are set, each under its item type (the
// copyright sign 0xA9 and three letters, as in "\251nam"), and the track number.
std::vector<mp4::TagItem> tagItems(const Mp4Tags& tags) {
    std::vector<mp4::TagItem> items;
    const auto text = [&items](const char (&name)[5], const Mp4Text& value) {
        if (value.size == 0) return;
        mp4::TagItem item;
        item.type = mp4::fourcc(name);
        item.data_type = mp4::kTagDataUtf8;
        item.value = bytesOf(value);
        items.push_back(std::move(item));
    };
    text("\251nam", tags.title);
    text("\251ART", tags.artist);
    text("\251alb", tags.album);
    text("\251day", tags.date);
    text("\251gen", tags.genre);
    if (tags.track_number != 0) {
        mp4::TagItem item;
        item.type = mp4::fourcc("trkn");
        item.data_type = mp4::kTagDataImplicit;
        // trkn: reserved 16 bits, track number, track count, reserved 16 bits.
        item.value.resize(8);
        mp4::storeU16(item.value.data() + 2, tags.track_number);
        mp4::storeU16(item.value.data() + 4, tags.track_total);
        items.push_back(std::move(item));
    }
    text("\251cmt", tags.comment);
    text("\251too", tags.encoding_tool);
    for (uint32_t i = 0; i < tags.freeform_count; ++i) {
        mp4::TagItem item;
        item.type = mp4::fourcc("----");
        item.data_type = mp4::kTagDataUtf8;
        item.name.assign(tags.freeform[i].name.text, tags.freeform[i].name.size);
        item.value = bytesOf(tags.freeform[i].value);
        items.push_back(std::move(item));
    }
    if (tags.cover_size > 0) {
        mp4::TagItem item;
        item.type = mp4::fourcc("covr");
        item.data_type = static_cast<uint32_t>(tags.cover_format);
        item.value.assign(tags.cover, tags.cover + tags.cover_size);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

int mp4_set_tags(Mp4File* file, const Mp4Tags* tags) {
    if (!file || !tags) return -1;
    const Mp4Text* texts[] = {&tags->title, &tags->artist, &tags->album,        &tags->date,
                              &tags->genre, &tags->comment, &tags->encoding_tool};
    uint64_t bytes = 0;
    for (const Mp4Text* t : texts) {
        if (!t->text && t->size > 0) return -1;
        bytes += t->size;
    }
    if (tags->freeform_count > 0 && !tags->freeform) return -1;
    for (uint32_t i = 0; i < tags->freeform_count; ++i) {
        const Mp4FreeformTag& f = tags->freeform[i];
        if ((!f.name.text && f.name.size > 0) || (!f.value.text && f.value.size > 0) || f.name.size == 0) return -1;
        bytes += uint64_t{f.name.size} + f.value.size;
    }
    if (bytes > MP4_MAX_TAG_BYTES) return -1;
    if ((tags->cover_size > 0 && !tags->cover) || tags->cover_size > MP4_MAX_COVER_BYTES ||
        (tags->cover_format != MP4_COVER_JPEG && tags->cover_format != MP4_COVER_PNG))
        return -1;
    try {
        // 3GPP asset boxes only where the brands are 3GPP ones.
        file->assets = file->brands == MP4_BRANDS_3GP5 ? assetBoxes(*tags) : std::vector<mp4::AssetBox>{};
        file->tags = tagItems(*tags);
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
