// Test-side builder of WAV files: lets each test state exactly the bytes it feeds the parser.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace varnel::test {

class WavBuilder {
public:
    WavBuilder& fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
        std::vector<uint8_t> p;
        const uint16_t block = static_cast<uint16_t>(channels * bits / 8);
        le16(p, tag);
        le16(p, channels);
        le32(p, rate);
        le32(p, rate * block);
        le16(p, block);
        le16(p, bits);
        return chunk("fmt ", p);
    }
    // `pad` false leaves out the pad byte after an odd-sized payload, as some writers do.
    WavBuilder& chunk(const char* id, const std::vector<uint8_t>& payload, int64_t sizeField = -1, bool pad = true) {
        bytes_.insert(bytes_.end(), id, id + 4);
        le32(bytes_, sizeField < 0 ? static_cast<uint32_t>(payload.size()) : static_cast<uint32_t>(sizeField));
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        if (payload.size() % 2 && pad) bytes_.push_back(0);
        return *this;
    }
    WavBuilder& data(const std::vector<int16_t>& samples, int64_t sizeField = -1) {
        std::vector<uint8_t> p;
        for (int16_t s : samples) le16(p, static_cast<uint16_t>(s));
        return chunk("data", p, sizeField);
    }
    // The whole file: "RIFF" <size> "WAVE" and the chunks added so far.
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
        le32(out, static_cast<uint32_t>(bytes_.size() + 4));
        out.insert(out.end(), {'W', 'A', 'V', 'E'});
        out.insert(out.end(), bytes_.begin(), bytes_.end());
        return out;
    }

    static void le16(std::vector<uint8_t>& v, uint16_t x) {
        v.push_back(static_cast<uint8_t>(x));
        v.push_back(static_cast<uint8_t>(x >> 8));
    }
    static void le32(std::vector<uint8_t>& v, uint32_t x) {
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    }

private:
    std::vector<uint8_t> bytes_;
};

// A file in the temp directory, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t>& contents, const std::string& name = "input.wav") {
        dir_ = std::filesystem::temp_directory_path() /
               ("varnel-test-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                std::to_string(counter()++));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / name).string();
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        if (!contents.empty()) std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
    }
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& path() const { return path_; }
    std::filesystem::path dir() const { return dir_; }

private:
    static int& counter() {
        static int c = 0;
        return c;
    }
    std::filesystem::path dir_;
    std::string path_;
};

}  // namespace varnel::test
