// The tags of the output file: the WAV file's own LIST/INFO items, overridden by the tags
// given on the command line, all as UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frontend/command_line.h"

namespace varnel {

// Cover art formats: the image's own first bytes say which it is.
enum class CoverFormat { None, Jpeg, Png };
CoverFormat coverFormatOf(const std::vector<uint8_t>& image);

struct Tags {
    std::string title, artist, album, date, genre, comment;  // empty: no such tag
    uint16_t track = 0;                                      // 0: no track number
    uint16_t trackTotal = 0;                                 // 0: not known
    std::vector<std::pair<std::string, std::string>> freeform;  // --tag NAME=VALUE, in order
    std::vector<uint8_t> cover;                                // --cover: a JPEG or PNG image

    bool empty() const {
        return title.empty() && artist.empty() && album.empty() && date.empty() && genre.empty() &&
               comment.empty() && track == 0 && freeform.empty() && cover.empty();
    }
};

// The tags of a WAV file's INFO items: INAM title, IART artist, IPRD album, ICRD date, IGNR
// genre, ICMT comment, ITRK (or, without it, IPRT) "N" or "N/M" track. A later item of the
// same id wins; other ids are not tags.
Tags tagsFromWavInfo(const std::vector<std::pair<std::string, std::string>>& info);

// The command line's tags over `tags`: a given tag replaces the file's, and a tag given
// empty removes it.
void applyTagOptions(const TagOptions& options, Tags* tags);

// `bytes` as UTF-8: kept when they are valid UTF-8, otherwise read as Latin-1 (the older
// WAV writers' and terminals' encoding).
std::string asUtf8(const std::string& bytes);

}  // namespace varnel
