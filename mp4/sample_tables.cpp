// Recording samples: media data placement, chunking and timing tables (ISO/IEC 14496-12, 8.6
// and 8.7).
//
// Timing: an stts run counts the gaps between consecutive decoding times that share one delta;
// a run is flushed when the gap changes, and finishing the track counts its last sample in the
// last run, so the last sample lasts as long as the gap before it. ctts runs likewise hold the
// composition offset (composition - decoding time) of consecutive samples.
//
// Chunking: a chunk is a maximal run of one track's samples lying back to back in the media
// file. All tracks append at the file's common end in call order, so a sample of another track
// in between starts a new chunk. stsc entries are emitted one chunk late, and only when the
// pair (samples per chunk, sample description index) changes; finishing adds the last chunk's.

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "mp4/mp4_file.h"

namespace varnel {
namespace {

using mp4::TableBox;

// Appends one entry of 32-bit fields to a table, keeping its size and entry count current.
int appendEntry(TableBox& table, std::initializer_list<uint32_t> fields) {
    uint8_t entry[12];
    uint32_t length = 0;
    for (uint32_t v : fields) {
        mp4::storeU32(entry + length, v);
        length += 4;
    }
    if (table.entries.append(entry, length) != 0) return -1;
    table.size += length;
    ++table.entry_count;
    return 0;
}

// Media time in the movie time scale, truncated toward zero and computed exactly in integers
// (quotient and remainder apart, so nothing overflows 64 bits for 32-bit time scales).
uint64_t movieDuration(uint64_t media_duration, uint32_t media_time_scale, uint32_t movie_time_scale) {
    if (media_time_scale == 0) return 0;
    const uint64_t whole = media_duration / media_time_scale;
    const uint64_t rest = media_duration % media_time_scale;
    return whole * movie_time_scale + rest * movie_time_scale / media_time_scale;
}

// Sum of sample_count * sample_delta over the stts entries, read back block by block; 64-bit,
// since a track may last longer than 2^32 ticks of its time scale.
uint64_t sumOfDeltas(mp4::BlockList& stts) {
    std::vector<uint8_t> block(static_cast<size_t>(stts.blockBytes(mp4::BlockList::kLargestBlock)));
    uint64_t total = 0;
    uint32_t bytes = 0;
    while (stts.nextBlock(block.data(), &bytes) == 0) {
        for (uint32_t at = 0; at < bytes; at += 8)
            total += uint64_t{mp4::loadU32(&block[at])} * mp4::loadU32(&block[at + 4]);
    }
    stts.rewind();
    return total;
}

// Appends a chunk offset. The first offset past 32 bits turns the table into co64: the
// entries so far move to 8-byte entries and all later ones are 8 bytes.
int appendChunkOffset(mp4::ChunkOffsetBox& stco, uint64_t offset) {
    if (!stco.large && offset > std::numeric_limits<uint32_t>::max()) {
        std::vector<uint8_t> block(static_cast<size_t>(stco.entries.blockBytes(mp4::BlockList::kLargestBlock)));
        uint32_t bytes = 0;
        while (stco.entries.nextBlock(block.data(), &bytes) == 0) {
            for (uint32_t at = 0; at < bytes; at += 4) {
                uint8_t entry[8] = {0, 0, 0, 0};
                std::memcpy(entry + 4, &block[at], 4);
                if (stco.large_entries.append(entry, sizeof entry) != 0) return -1;
            }
        }
        stco.entries.rewind();
        stco.large = true;
        stco.size = mp4::kTableBoxSize + 8 * stco.entry_count;
    }
    if (!stco.large) return appendEntry(stco, {static_cast<uint32_t>(offset)});
    uint8_t entry[8];
    mp4::storeU32(entry, static_cast<uint32_t>(offset >> 32));
    mp4::storeU32(entry + 4, static_cast<uint32_t>(offset));
    if (stco.large_entries.append(entry, sizeof entry) != 0) return -1;
    stco.size += 8;
    ++stco.entry_count;
    return 0;
}

// A sample that does not follow the previous one in the media data starts a chunk: its
// offset, and the previous chunk's run in stsc when that run differs from the one before.
int startChunk(mp4::TrackBoxes& t, uint64_t offset) {
    if (appendChunkOffset(t.stco, offset) != 0) return -1;
    if (!t.stsc.chunk_open) return 0;
    if (t.stsc.samples_in_chunk != t.last_stsc_samples ||
        t.stco.sample_description_index != t.last_stsc_description) {
        if (appendEntry(t.stsc, {t.stco.chunk_number, t.stsc.samples_in_chunk, t.stco.sample_description_index}) != 0)
            return -1;
        t.last_stsc_samples = t.stsc.samples_in_chunk;
        t.last_stsc_description = t.stco.sample_description_index;
    }
    ++t.stco.chunk_number;
    t.stsc.samples_in_chunk = 0;
    return 0;
}

// The sample's decoding-time delta (stts) and composition offset (ctts), as runs.
int recordTiming(mp4::TrackBoxes& t, const Mp4Sample& sample) {
    const uint32_t composition_offset = sample.composition_time - sample.decoding_time;
    if (!t.ctts.started) {
        t.stts.last_decoding_time = sample.decoding_time;
        if (sample.has_composition_time != 0) {
            t.ctts_needed = true;
            t.ctts.run_offset = composition_offset;
        }
        return 0;
    }
    if (sample.has_composition_time != 0 && composition_offset != t.ctts.run_offset) {
        t.ctts_needed = true;
        if (appendEntry(t.ctts, {t.ctts.run_count, t.ctts.run_offset}) != 0) return -1;
        t.ctts.run_count = 0;
        t.ctts.run_offset = composition_offset;
    }
    const uint32_t delta = sample.decoding_time - t.stts.last_decoding_time;
    if (!t.stts.have_delta) {
        t.stts.run_delta = delta;
        t.stts.have_delta = true;
    } else if (delta != t.stts.run_delta) {
        if (appendEntry(t.stts, {t.stts.run_count, t.stts.run_delta}) != 0) return -1;
        t.stts.run_count = 0;
        t.stts.run_delta = delta;
    }
    t.stts.last_decoding_time = sample.decoding_time;
    ++t.stts.run_count;
    return 0;
}

}  // namespace

int mp4_write_sample(Mp4Track* track, const Mp4Sample* sample) {
    if (!mp4::usable(track) || !sample || (sample->size > 0 && !sample->data)) return -1;
    Mp4File* file = track->file;
    return mp4::guarded(file, [&] {
        mp4::TrackBoxes& t = *track->boxes;
        auto fail = [&] {
            file->media_files->markFailed();
            return -1;
        };
        // Refused, not recorded: the file stays complete up to the samples before.
        if (t.stsz.sample_count >= MP4_MAX_SAMPLES_PER_TRACK) return -1;

        // stsz
        uint8_t size_bytes[4];
        mp4::storeU32(size_bytes, sample->size);
        if (t.stsz.entries.append(size_bytes, sizeof size_bytes) != 0) return fail();
        t.stsz.size += 4;
        ++t.stsz.sample_count;

        // stss
        if (sample->sync_code == MP4_SAMPLE_SYNC && appendEntry(t.stss, {t.next_sample_number}) != 0) return fail();

        // media data
        uint64_t offset = 0;
        if (track->media.append(sample->data, sample->size, &offset) != 0) return fail();

        if (offset != track->next_offset && startChunk(t, offset) != 0) return fail();
        track->next_offset = offset + sample->size;

        if (recordTiming(t, *sample) != 0) return fail();

        ++t.next_sample_number;
        ++t.ctts.run_count;
        ++t.stsc.samples_in_chunk;
        t.stsc.chunk_open = true;
        t.ctts.started = true;
        return 0;
    });
}

int mp4_finish_track(Mp4Track* track) {
    if (!mp4::usable(track)) return -1;
    Mp4File* file = track->file;
    return mp4::guarded(file, [&] {
        mp4::TrackBoxes& t = *track->boxes;
        auto fail = [&] {
            file->media_files->markFailed();
            return -1;
        };
        // A track without samples keeps empty stts and stsc tables.
        const bool has_samples = t.stsz.sample_count > 0;
        if (has_samples) {
            ++t.stts.run_count;  // the last sample, counted with the gap before it
            if (appendEntry(t.stts, {t.stts.run_count, t.stts.run_delta}) != 0) return fail();
        }
        t.media_duration = 0;
        if (t.ctts_needed && appendEntry(t.ctts, {t.ctts.run_count, t.ctts.run_offset}) != 0) return fail();
        if (has_samples) {
            if (appendEntry(t.stsc, {t.stco.chunk_number, t.stsc.samples_in_chunk, t.stco.sample_description_index}) != 0)
                return fail();
            t.stsc.samples_in_chunk = 0;
        }
        t.media_duration = sumOfDeltas(t.stts.entries);
        t.track_duration = t.has_edit_list ? t.segment_duration
                                           : movieDuration(t.media_duration, t.time_scale, file->mvhd.time_scale);
        if (track->media.detach() != 0) return fail();
        t.finished = true;
        return 0;
    });
}

}  // namespace varnel
