// Adding tracks, their data references and track references (ISO/IEC 14496-12, 8.3).

#include <cstdint>
#include <iterator>
#include <new>

#include "mp4/mp4_file.h"

namespace varnel {
namespace {

using mp4::DataEntry;
using mp4::FourCC;
using mp4::fourcc;
using mp4::TrackBoxes;

constexpr uint16_t kLanguageUndetermined = 0x55C4;  // ISO 639-2 "und", three 5-bit letters - 0x60
constexpr uint16_t kFullVolume = 0x0100;            // 1.0 in 8.8 fixed point
constexpr uint32_t kDefaultVideoWidth = 320 << 16;  // 16.16 fixed point
constexpr uint32_t kDefaultVideoHeight = 240 << 16;
constexpr uint32_t kSelfContained = 0x000001;       // dref entry flag: media in the same file
constexpr uint32_t kDataEntryUrlSize = 12;           // full box header only

struct Handler {
    FourCC type;
    const char* name;
};

// Handler of each track kind, indexed by kind.
constexpr Handler kHandlers[] = {
    {fourcc("vide"), "VideoHandler"},  // MP4_TRACK_VIDEO
    {fourcc("soun"), "SoundHandler"},  // MP4_TRACK_AUDIO
    {fourcc("hint"), "HintHandler"},   // MP4_TRACK_HINT
    {fourcc("sdsm"), "OdsmHandler"},   // MP4_TRACK_SCENE
    {fourcc("odsm"), "OdsmHandler"},   // MP4_TRACK_OD
    {fourcc("soun"), "SoundHandler"},  // MP4_TRACK_AMR
};
static_assert(std::size(kHandlers) == MP4_TRACK_AMR + 1);

FourCC referenceType(int32_t kind) {
    switch (kind) {
    case MP4_REF_HINT: return fourcc("hint");
    case MP4_REF_DPND: return fourcc("dpnd");
    case MP4_REF_MPOD: return fourcc("mpod");
    case MP4_REF_SYNC: return fourcc("sync");
    default: return 0;
    }
}

std::unique_ptr<TrackBoxes> makeTrackBoxes(const Mp4TrackParams& params, const Mp4HintParams* hint) {
    auto t = std::make_unique<TrackBoxes>();
    t->kind = params.kind;
    t->track_id = params.track_id;
    if (params.kind == MP4_TRACK_VIDEO) {
        t->width = kDefaultVideoWidth;
        t->height = kDefaultVideoHeight;
    }
    if (params.kind == MP4_TRACK_AUDIO || params.kind == MP4_TRACK_AMR) t->volume = kFullVolume;
    t->time_scale = params.time_scale;
    t->language = kLanguageUndetermined;
    t->handler_type = kHandlers[params.kind].type;
    t->handler_name = kHandlers[params.kind].name;
    if (params.kind == MP4_TRACK_HINT && hint) {
        t->max_pdu_size = hint->max_pdu_size;
        t->avg_pdu_size = hint->avg_pdu_size;
        t->max_bitrate = hint->max_bitrate;
        t->avg_bitrate = hint->avg_bitrate;
    }
    return t;
}

// Adds the dref entry for the track's media file and claims the sample description slot that
// refers to it. Media in the output file itself is a self-contained "url " entry; media in
// another file is a "urn " entry carrying the file name.
int addDataReference(TrackBoxes& t, const std::string& media_name, const std::string& file_name) {
    if (t.data_entries.size() >= MP4_MAX_ENTRIES || t.sample_entries.size() >= MP4_MAX_ENTRIES) return -1;
    DataEntry entry;
    if (media_name == file_name) {
        entry.type = fourcc("url ");
        entry.flags = kSelfContained;
        entry.size = kDataEntryUrlSize;
    } else {
        entry.type = fourcc("urn ");
        entry.flags = 0;
        entry.name = media_name;
        entry.size = kDataEntryUrlSize + static_cast<uint32_t>(media_name.size()) + 1;
    }
    mp4::SampleEntry slot;
    slot.data_reference_index = static_cast<uint16_t>(t.next_data_reference_index++);
    t.data_entries.push_back(std::move(entry));
    t.sample_entries.push_back(std::move(slot));
    return 0;
}

}  // namespace

int mp4_add_track(Mp4File* file, const Mp4TrackParams* params, Mp4Track** track, const Mp4HintParams* hint) {
    if (track) *track = nullptr;
    if (!file || !params || !track || !params->media_file_name) return -1;
    return mp4::guarded(file, [&] {
        if (params->kind < MP4_TRACK_VIDEO || params->kind > MP4_TRACK_AMR) {
            file->media_files->markFailed();
            return -1;
        }
        const std::string media_name = params->media_file_name;
        std::unique_ptr<TrackBoxes> boxes = makeTrackBoxes(*params, hint);
        if (addDataReference(*boxes, media_name, file->file_name) != 0) {
            file->media_files->markFailed();
            return -1;
        }
        auto handle = std::make_unique<Mp4Track>();
        handle->file = file;
        handle->boxes = boxes.get();

        // The count check, the slot and the media attach happen in one hold of the lock.
        std::lock_guard<std::mutex> hold(file->lock);
        if (file->tracks.size() >= MP4_MAX_TRACKS) {
            file->media_files->markFailed();
            return -1;
        }
        file->tracks.reserve(file->tracks.size() + 1);  // the stores below then cannot fail
        file->handles.reserve(file->handles.size() + 1);
        if (file->media_files->attach(media_name, nullptr, 0, &handle->media) != 0) return -1;
        file->tracks.push_back(std::move(boxes));
        if (file->mvhd.next_track_id <= params->track_id) file->mvhd.next_track_id = params->track_id + 1;
        *track = handle.get();
        file->handles.push_back(std::move(handle));
        return 0;
    });
}

int mp4_add_track_reference(Mp4Track* track, const Mp4TrackReference* reference) {
    if (!mp4::usable(track) || !reference) return -1;
    TrackBoxes& t = *track->boxes;
    // An unknown kind or an allocation failure discards the whole tref.
    auto discard = [&] {
        t.references.clear();
        track->file->media_files->markFailed();
        return -1;
    };
    const FourCC type = referenceType(reference->reference_kind);
    if (type == 0) return discard();
    try {
        for (mp4::TrackReferenceType& r : t.references) {
            if (r.type != type) continue;
            if (r.track_ids.size() >= MP4_MAX_REFERENCE_IDS) {
                // The references made so far stay; the file lacks the one asked for.
                track->file->media_files->markFailed();
                return -1;
            }
            r.track_ids.push_back(reference->track_id);
            return 0;
        }
        if (t.references.size() >= MP4_MAX_REFERENCE_TYPES) {
            track->file->media_files->markFailed();
            return -1;
        }
        t.references.push_back({type, {reference->track_id}});
        return 0;
    } catch (const std::bad_alloc&) {
        return discard();
    }
}

int mp4_set_edit_list(Mp4Track* track, uint64_t segment_duration, uint64_t media_time) {
    if (!mp4::usable(track) || media_time > static_cast<uint64_t>(INT64_MAX)) return -1;
    mp4::TrackBoxes& t = *track->boxes;
    t.has_edit_list = true;
    t.segment_duration = segment_duration;
    t.media_time = media_time;
    return 0;
}

}  // namespace varnel
