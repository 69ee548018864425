// Test-only reader of ISO base media files: splits a file into its box tree so that tests can
// check sizes, order and fields of what the writer produced. Every box must lie within its
// parent and the children of a container must exactly fill it, so a wrong declared size
// anywhere makes the parse throw.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnel::mp4_test {

inline uint32_t be32(const std::vector<uint8_t>& d, size_t at) {
    return (uint32_t{d.at(at)} << 24) | (uint32_t{d.at(at + 1)} << 16) | (uint32_t{d.at(at + 2)} << 8) | d.at(at + 3);
}
inline uint16_t be16(const std::vector<uint8_t>& d, size_t at) {
    return static_cast<uint16_t>(d.at(at) << 8 | d.at(at + 1));
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Box {
    std::string type;
    size_t offset = 0;  // of the header in the file
    uint32_t size = 0;
    std::vector<Box> children;
    const std::vector<uint8_t>* data = nullptr;

    // Fields at offsets within the payload (after the 8-byte header).
    uint32_t u32(size_t at) const { return be32(*data, offset + 8 + at); }
    uint16_t u16(size_t at) const { return be16(*data, offset + 8 + at); }
    // The box's bytes from `from` (0: its header) to its end.
    std::vector<uint8_t> bytes(size_t from = 0) const {
        return {data->begin() + static_cast<long>(offset + from), data->begin() + static_cast<long>(offset + size)};
    }
    std::vector<std::string> childTypes() const {
        std::vector<std::string> types;
        for (const Box& c : children) types.push_back(c.type);
        return types;
    }
    // The first box along a path of child types such as "mdia/minf/stbl", or null.
    const Box* find(const std::string& path) const {
        const Box* at = this;
        std::istringstream parts(path);
        for (std::string part; at && std::getline(parts, part, '/');) {
            const Box* next = nullptr;
            for (const Box& c : at->children)
                if (!next && c.type == part) next = &c;
            at = next;
        }
        return at;
    }
};

// Where the children of a box begin within its payload; boxes not listed are leaves.
inline const std::map<std::string, size_t> kChildrenAt = {
    {"moov", 0}, {"trak", 0}, {"mdia", 0}, {"minf", 0}, {"dinf", 0}, {"stbl", 0}, {"edts", 0}, {"tref", 0},
    {"stsd", 8}, {"dref", 8}, {"mp4a", 28}, {"samr", 28}, {"mp4v", 78}, {"mp4s", 8}};

inline std::vector<Box> parseBoxes(const std::vector<uint8_t>& d, size_t begin, size_t end) {
    std::vector<Box> boxes;
    for (size_t pos = begin; pos < end; pos += boxes.back().size) {
        if (pos + 8 > end) throw std::runtime_error("truncated box header at " + std::to_string(pos));
        Box b;
        b.data = &d;
        b.offset = pos;
        b.size = be32(d, pos);
        b.type.assign(reinterpret_cast<const char*>(&d[pos + 4]), 4);
        if (b.size == 0) b.size = static_cast<uint32_t>(end - pos);  // a box that extends to the end
        if (b.size < 8 || pos + b.size > end)
            throw std::runtime_error("bad size " + std::to_string(b.size) + " of '" + b.type + "' at " +
                                     std::to_string(pos));
        if (auto it = kChildrenAt.find(b.type); it != kChildrenAt.end())
            b.children = parseBoxes(d, pos + 8 + it->second, pos + b.size);
        boxes.push_back(std::move(b));
    }
    return boxes;
}

struct ParsedFile {
    std::vector<uint8_t> data;
    std::vector<Box> top;

    explicit ParsedFile(const std::string& path) : data(readFile(path)) { parse(); }
    // A file whose mdat size was left 0 after a failure (a reader would take that mdat to run
    // to the end of the file): checks the 0, then parses as if the size were `mdat_size`.
    ParsedFile(const std::string& path, uint32_t mdat_size) : data(readFile(path)) {
        if (be32(data, 28) != 0) throw std::runtime_error("mdat size was patched");
        for (int i = 0; i < 4; ++i) data.at(28 + i) = static_cast<uint8_t>(mdat_size >> (24 - 8 * i));
        parse();
    }
    ParsedFile(const ParsedFile&) = delete;

    const Box& box(const std::string& type) const {
        for (const Box& b : top)
            if (b.type == type) return b;
        throw std::runtime_error("no top-level '" + type + "'");
    }
    const Box& moov() const { return box("moov"); }
    std::vector<const Box*> traks() const {
        std::vector<const Box*> t;
        for (const Box& c : moov().children)
            if (c.type == "trak") t.push_back(&c);
        return t;
    }
    const Box& trak(size_t i) const { return *traks().at(i); }

private:
    void parse() { top = parseBoxes(data, 0, data.size()); }
};

// Entries of a table box of `width` 32-bit fields each (stts, ctts 2; stsc 3; stco, stss 1).
inline std::vector<std::vector<uint32_t>> tableEntries(const Box& table, uint32_t width) {
    const uint32_t count = table.u32(4);
    if (table.size != 16 + 4 * width * count) throw std::runtime_error(table.type + " size disagrees with its count");
    std::vector<std::vector<uint32_t>> entries(count);
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t f = 0; f < width; ++f) entries[i].push_back(table.u32(8 + 4 * (i * width + f)));
    return entries;
}

inline std::vector<uint32_t> sampleSizes(const Box& stsz) {
    const uint32_t count = stsz.u32(8);
    if (stsz.size != 20 + 4 * count) throw std::runtime_error("stsz size disagrees with sample_count");
    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < count; ++i) sizes.push_back(stsz.u32(12 + 4 * i));
    return sizes;
}

// A track's samples read back through stsc, stco and stsz, as an independent reader would.
inline std::vector<std::vector<uint8_t>> trackSamples(const std::vector<uint8_t>& media, const Box& trak) {
    const Box& stbl = *trak.find("mdia/minf/stbl");
    const auto sizes = sampleSizes(*stbl.find("stsz"));
    const auto offsets = tableEntries(*stbl.find("stco"), 1);
    const auto stsc = tableEntries(*stbl.find("stsc"), 3);
    std::vector<std::vector<uint8_t>> samples;
    for (size_t chunk = 0; chunk < offsets.size(); ++chunk) {
        uint32_t per_chunk = 0;
        for (const auto& e : stsc)
            if (e[0] <= chunk + 1) per_chunk = e[1];
        for (size_t at = offsets[chunk][0], i = 0; i < per_chunk && samples.size() < sizes.size(); ++i) {
            const uint32_t size = sizes[samples.size()];
            samples.emplace_back(media.begin() + static_cast<long>(at), media.begin() + static_cast<long>(at + size));
            at += size;
        }
    }
    return samples;
}

}  // namespace varnel::mp4_test
