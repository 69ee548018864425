#include "frontend/tags.h"

#include <algorithm>

namespace varnel {
namespace {

// Whether `s` is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        uint32_t code = n == 1 ? c : c & (0x7Fu >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            code = (code << 6) | (d & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

void setText(const std::optional<std::string>& given, std::string* tag) {
    if (given) *tag = asUtf8(*given);
}

}  // namespace

std::string asUtf8(const std::string& bytes) {
    if (validUtf8(bytes)) return bytes;
    std::string out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Tags tagsFromWavInfo(const std::vector<std::pair<std::string, std::string>>& info) {
    Tags tags;
    std::string track, part;
    for (const auto& [id, value] : info) {
        const std::string text = asUtf8(value);
        if (id == "INAM") tags.title = text;
        else if (id == "IART") tags.artist = text;
        else if (id == "IPRD") tags.album = text;
        else if (id == "ICRD") tags.date = text;
        else if (id == "IGNR") tags.genre = text;
        else if (id == "ICMT") tags.comment = text;
        else if (id == "ITRK") track = text;
        else if (id == "IPRT") part = text;
    }
    const std::string& number = track.empty() ? part : track;
    if (!number.empty() && !parseTrack(number, &tags.track, &tags.trackTotal)) tags.track = tags.trackTotal = 0;
    return tags;
}

void applyTagOptions(const TagOptions& options, Tags* tags) {
    setText(options.title, &tags->title);
    setText(options.artist, &tags->artist);
    setText(options.album, &tags->album);
    setText(options.date, &tags->date);
    setText(options.genre, &tags->genre);
    setText(options.comment, &tags->comment);
    if (options.track != 0) {
        tags->track = options.track;
        tags->trackTotal = options.trackTotal;
    }
    for (const auto& [name, value] : options.freeform) tags->freeform.emplace_back(asUtf8(name), asUtf8(value));
}

CoverFormat coverFormatOf(const std::vector<uint8_t>& image) {
    static constexpr uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
    static constexpr uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const auto startsWith = [&image](const uint8_t* magic, size_t n) {
        return image.size() > n && std::equal(magic, magic + n, image.begin());
    };
    if (startsWith(kJpeg, sizeof kJpeg)) return CoverFormat::Jpeg;
    if (startsWith(kPng, sizeof kPng)) return CoverFormat::Png;
    return CoverFormat::None;
}

}  // namespace varnel
