// The fuzz input as a file that openInputStream can open by name. The WAV reader takes a path,
// so the bytes go into an anonymous in-memory file (memfd) reached through /proc/self/fd; where
// that is not available, into a temporary file that is removed afterwards.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace varnel::fuzz {

class InputFile {
public:
    InputFile(const uint8_t* data, size_t size) {
        fd_ = memfd_create("varnel-fuzz", 0);
        if (fd_ >= 0) {
            path_ = "/proc/self/fd/" + std::to_string(fd_);
        } else {
            std::string pattern = (std::filesystem::temp_directory_path() / "varnel-fuzz-XXXXXX").string();
            fd_ = mkstemp(pattern.data());
            if (fd_ < 0) {
                std::perror("varnel fuzz: no temporary file");
                std::abort();
            }
            path_ = pattern;
            removeOnClose_ = true;
        }
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) {
                std::perror("varnel fuzz: cannot write the input");
                std::abort();
            }
            done += static_cast<size_t>(n);
        }
    }
    ~InputFile() {
        close(fd_);
        if (removeOnClose_) std::remove(path_.c_str());
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
    bool removeOnClose_ = false;
};

// Stops the run with a message: a broken invariant is a finding, like a sanitizer report.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "varnel fuzz: %s\n", what);
    std::abort();
}

}  // namespace varnel::fuzz
