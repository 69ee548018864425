// MP4 file writer: turns a sequence of track, sample and descriptor calls into one ISO base
// media file (ISO/IEC 14496-12 with the MP4 extensions of ISO/IEC 14496-14).
//
// File layout: `ftyp` (28 bytes) at offset 0, one `mdat` at offset 28 whose payload is every
// sample of every track in the order mp4_write_sample was called, and the `moov` box written
// directly after the media data by mp4_close_file, which also patches the `mdat` size.
//
// Long and large files: media data beyond 4 GiB continues in a second `mdat` with a 64-bit
// size, and chunk offsets beyond 32 bits go into a co64 table; durations beyond 32 bits are
// written in version 1 mvhd, tkhd, mdhd and elst boxes. Files that need none of this are laid
// out as before, with 32-bit fields only. Decoding times are taken as differences modulo 2^32,
// so a time stamp may wrap.
//
// Calling order:
//   mp4_build_iod -> mp4_create_file -> per track: mp4_add_track, mp4_add_track_reference,
//   mp4_build_es_box + mp4_set_sample_description, mp4_write_sample (any number, interleaved
//   between tracks in any order), mp4_set_edit_list, mp4_finish_track -> mp4_close_file.
// A track may be added after other tracks have been finished.
//
// Every operation returns 0 on success and -1 on failure (bad argument, null object, limit
// reached, allocation failure, short write); creators and builders hand their result back
// through an out-parameter that is null on failure. A failure after shared state was touched
// marks the file failed: later calls still proceed, but the `mdat` size is never patched and
// mp4_close_file returns -1, so a caller that checks the close result learns of any earlier
// failure. The writer prints nothing.
//
// Threads: different tracks of one file may be written from different threads; the track
// table, the media-file table and each media file's write position are guarded by locks.
#pragma once

#include <cstdint>

namespace varnel {

// Track kinds (Mp4TrackParams::kind).
inline constexpr int32_t MP4_TRACK_VIDEO = 0;  // "vide", vmhd, "mp4v"
inline constexpr int32_t MP4_TRACK_AUDIO = 1;  // "soun", smhd, "mp4a"
inline constexpr int32_t MP4_TRACK_HINT = 2;   // "hint", hmhd, "rtp "
inline constexpr int32_t MP4_TRACK_SCENE = 3;  // "sdsm", nmhd, "mp4s"
inline constexpr int32_t MP4_TRACK_OD = 4;     // "odsm", nmhd, "mp4s"
inline constexpr int32_t MP4_TRACK_AMR = 5;    // "soun", smhd, "samr"

// Track reference kinds (Mp4TrackReference::reference_kind).
inline constexpr int32_t MP4_REF_HINT = 10;  // "hint"
inline constexpr int32_t MP4_REF_DPND = 11;  // "dpnd"
inline constexpr int32_t MP4_REF_MPOD = 12;  // "mpod"
inline constexpr int32_t MP4_REF_SYNC = 13;  // "sync"

// Mp4Sample::sync_code: SYNC records the sample in the sync-sample table, any other value
// (PLAIN by convention) does not.
inline constexpr int32_t MP4_SAMPLE_SYNC = 21;
inline constexpr int32_t MP4_SAMPLE_PLAIN = 22;

// Limits.
inline constexpr uint32_t MP4_MAX_TRACKS = 100;          // tracks per file
inline constexpr uint32_t MP4_MAX_MEDIA_FILES = 10;      // distinct media files per file
inline constexpr uint32_t MP4_MAX_ENTRIES = 10;          // data references / sample descriptions per track
inline constexpr uint32_t MP4_MAX_REFERENCE_TYPES = 10;  // reference types per track
inline constexpr uint32_t MP4_MAX_REFERENCE_IDS = 10;    // track IDs per reference type
inline constexpr uint32_t MP4_MAX_IOD_ES_IDS = 30;       // ES_ID_Inc entries in Mp4IodParams
inline constexpr uint32_t MP4_PROFILE_LEVEL_COUNT = 5;   // OD, scene, audio, visual, graphics
// Samples per track: one stsz entry of 4 bytes each must leave the moov within its 32-bit size
// (2^30 - 2^20 samples keep stsz 4 MiB below 4 GiB).
inline constexpr uint32_t MP4_MAX_SAMPLES_PER_TRACK = (1u << 30) - (1u << 20);

// Descriptor tags of the MP4 file forms (ISO/IEC 14496-14, 3.1.2).
inline constexpr uint8_t MP4_IOD = 0x10;  // MP4_IOD_Tag
inline constexpr uint8_t MP4_OD = 0x11;   // MP4_OD_Tag

struct Mp4File;   // one output file
struct Mp4Track;  // one track of an Mp4File, usable until mp4_finish_track

// The file's brands (ftyp): 3GPP ("3gp5"; "3gp5", "3gp4", "mp41"), or the audio-only file of
// music players and libraries ("M4A "; "M4A ", "mp42", "isom").
enum Mp4Brands { MP4_BRANDS_3GP5 = 0, MP4_BRANDS_M4A = 1 };

struct Mp4FileParams {
    uint32_t time_scale = 0;         // movie time scale (mvhd)
    int32_t brands = MP4_BRANDS_3GP5;  // one of Mp4Brands
    const uint8_t* iod = nullptr;    // InitialObjectDescriptor bytes; null or size 0: no iods box
    uint32_t iod_size = 0;
    const char* file_name = nullptr; // output path; media files with this name share its mdat
};

struct Mp4TrackParams {
    int32_t kind = MP4_TRACK_AUDIO;        // one of MP4_TRACK_*
    uint32_t time_scale = 0;               // media time scale (mdhd)
    uint32_t track_id = 0;                 // tkhd track_ID, chosen by the caller
    const char* media_file_name = nullptr; // file that receives this track's samples
};

// hmhd fields of a hint track.
struct Mp4HintParams {
    uint16_t max_pdu_size = 0;
    uint16_t avg_pdu_size = 0;
    uint32_t max_bitrate = 0;
    uint32_t avg_bitrate = 0;
};

struct Mp4TrackReference {
    uint32_t track_id = 0;      // the referenced track
    int32_t reference_kind = 0; // one of MP4_REF_*
};

struct Mp4Sample {
    const uint8_t* data = nullptr;
    uint32_t size = 0;                    // bytes
    int32_t sync_code = MP4_SAMPLE_PLAIN; // MP4_SAMPLE_SYNC adds an stss entry
    int32_t has_composition_time = 0;     // non-zero: composition_time is valid
    uint32_t decoding_time = 0;           // media time scale units
    uint32_t composition_time = 0;        // media time scale units
};

// The stsd entry of a track. Which fields are used depends on the track kind.
struct Mp4SampleDescription {
    uint32_t index = 0;               // 0-based stsd entry; a track has one entry, so 0
    const uint8_t* es_box = nullptr;  // esds box from mp4_build_es_box (not used by "rtp ")
    uint32_t es_box_size = 0;
    uint16_t height = 0;              // video
    uint16_t width = 0;               // video
    uint32_t time_scale = 0;          // hint: "tims" value, 0 omits the box
    uint16_t channel_count = 0;       // audio
    uint32_t tsro_offset = 0;         // hint: "tsro" value, 0 omits the box
    uint32_t snro_offset = 0;         // hint: "snro" value, 0 omits the box
};

struct Mp4IodParams {
    uint8_t profile_levels[MP4_PROFILE_LEVEL_COUNT] = {};  // OD, scene, audio, visual, graphics
    uint32_t es_ids[MP4_MAX_IOD_ES_IDS] = {};              // track IDs for ES_ID_Inc, in order
    uint32_t es_id_count = 0;                              // 0 to MP4_MAX_IOD_ES_IDS
};

struct Mp4EsParams {
    uint16_t es_id = 0;
    uint32_t object_type = 0;                       // objectTypeIndication (low 8 bits)
    uint32_t stream_type = 0;                       // streamType (6 bits)
    const uint8_t* decoder_specific_info = nullptr; // DecoderSpecificInfo payload
    uint32_t buffer_size_db = 0;                    // bufferSizeDB (low 24 bits)
    uint32_t max_bitrate = 0;
    uint32_t avg_bitrate = 0;
    uint32_t decoder_specific_info_size = 0;        // 0 omits the DecoderSpecificInfo
    const uint8_t* sl_config = nullptr;             // SLConfigDescriptor payload
    uint32_t sl_config_size = 0;
};

// A text tag: `size` bytes of UTF-8 at `text`, not terminated; size 0 leaves the tag out.
struct Mp4Text {
    const char* text = nullptr;
    uint32_t size = 0;
};

// The movie's tags by name. Each one that is set becomes an item of the iTunes-style metadata
// list (moov/udta/meta/ilst) and, where 3GPP has one, a 3GPP asset box.
// A free-form item ("----"): its name under the "com.apple.iTunes" mean, and its UTF-8 value.
struct Mp4FreeformTag {
    Mp4Text name, value;
};

// Cover art formats, as the covr item's data type states them.
enum Mp4CoverFormat { MP4_COVER_JPEG = 13, MP4_COVER_PNG = 14 };

struct Mp4Tags {
    Mp4Text title, artist, album, date, genre, comment;
    Mp4Text encoding_tool;      // the program that wrote the file
    uint16_t track_number = 0;  // 0: no track number
    uint16_t track_total = 0;   // count of tracks, 0 for unknown
    const Mp4FreeformTag* freeform = nullptr;  // free-form items, in this order after the others
    uint32_t freeform_count = 0;
    const uint8_t* cover = nullptr;  // cover art (covr), `cover_size` bytes; null: none
    uint32_t cover_size = 0;
    int32_t cover_format = MP4_COVER_JPEG;  // one of Mp4CoverFormat
};

// Largest metadata list the file takes, in bytes of item values (cover art counted apart).
inline constexpr uint32_t MP4_MAX_TAG_BYTES = 1u << 20;
// Largest cover art the file takes.
inline constexpr uint32_t MP4_MAX_COVER_BYTES = 16u << 20;

// Creates the output file with its ftyp and an mdat header whose size reads 0 until close.
[[nodiscard]] int mp4_create_file(Mp4File** file, const Mp4FileParams* params);

// Adds a track; `hint` is used for MP4_TRACK_HINT only and may be null. Fails on an unknown
// kind, the 101st track and the 11th distinct media file.
[[nodiscard]] int mp4_add_track(Mp4File* file, const Mp4TrackParams* params, Mp4Track** track,
                                const Mp4HintParams* hint);

// Adds a tref entry. The same kind twice appends the ID to one entry; an unknown kind discards
// all of the track's references.
[[nodiscard]] int mp4_add_track_reference(Mp4Track* track, const Mp4TrackReference* reference);

// Fills stsd entry `index` around the esds box. Setting an entry again replaces it.
[[nodiscard]] int mp4_set_sample_description(Mp4Track* track, const Mp4SampleDescription* description);

// Appends the sample bytes to the track's media file and records them in the sample tables.
// Refuses (without marking the file failed) a sample beyond MP4_MAX_SAMPLES_PER_TRACK.
[[nodiscard]] int mp4_write_sample(Mp4Track* track, const Mp4Sample* sample);

// Gives the track an edit list of one edit (media_rate 1.0): `segment_duration` in the movie
// time scale presents the media from `media_time` (media time scale) on, which hides a coding
// delay for gapless playback. The track's tkhd duration then becomes `segment_duration`.
// Must be called before mp4_finish_track. Fails for a media_time beyond INT64_MAX.
[[nodiscard]] int mp4_set_edit_list(Mp4Track* track, uint64_t segment_duration, uint64_t media_time);

// Gives the movie its tags (replacing earlier ones), written as moov/udta/meta with an "mdir"
// handler and an ilst holding, in this order, the title (\251nam), artist (\251ART), album
// (\251alb), date (\251day), genre (\251gen), track number (trkn), comment (\251cmt) and encoding
// tool (\251too) that are set, then the free-form items and the cover art (covr). Since the file's brands are 3GPP ones, whose readers look for
// 3GPP asset boxes instead (3GPP TS 26.244, 8), the udta holds those too, before the meta box:
// titl, perf, albm (with a track number up to 255), yrrc (for a date that starts with a
// four-digit year), gnre and dscp. With no tag set the moov has no udta. Fails beyond
// MP4_MAX_TAG_BYTES of values.
[[nodiscard]] int mp4_set_tags(Mp4File* file, const Mp4Tags* tags);

// Rewrites the closed file at `path` in place with its moov box right after the ftyp (so that
// a player can start before it has the media data), every chunk offset moved by the moov's
// size; the boxes are otherwise unchanged. Fails (errno EFBIG) when a 32-bit chunk offset would
// overflow, before changing anything, and on a read or write failure (errno says why), which
// may leave the file half moved: write to a file that is put in place only on success.
[[nodiscard]] int mp4_place_moov_first(const char* path);

// Closes the track's sample tables and computes its durations. The handle must not be used
// afterwards except that further calls on it return -1 until the file is closed.
[[nodiscard]] int mp4_finish_track(Mp4Track* track);

// Writes the moov box, patches the mdat size and releases the file with all its tracks. Every
// track must have been finished: closing with an unfinished track writes no moov and returns
// -1 (the memory is still released). Returns -1 as well when any earlier operation marked the
// file failed. The file object is released in every case.
int mp4_close_file(Mp4File* file);

// Builds the InitialObjectDescriptor (9 * es_id_count + 12 bytes). Release with mp4_free_buffer.
[[nodiscard]] int mp4_build_iod(uint8_t** bytes, uint32_t* size, const Mp4IodParams* params);

// Builds a complete esds box around an ES_Descriptor. Release with mp4_free_buffer.
[[nodiscard]] int mp4_build_es_box(uint8_t** bytes, uint32_t* size, const Mp4EsParams* params);

// Releases a buffer returned by mp4_build_iod or mp4_build_es_box; null is allowed.
void mp4_free_buffer(uint8_t* bytes);

// The 4-byte expandable size field (ISO/IEC 14496-1, 8.3.3) for payload length n < 2^28, as
// one big-endian value: 0x80 | n>>21, 0x80 | n>>14, 0x80 | n>>7, n & 0x7F.
uint32_t mp4_descriptor_size_field(uint32_t n);

}  // namespace varnel
