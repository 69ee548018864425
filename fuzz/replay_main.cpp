// Replays fuzz inputs without libFuzzer: every file named on the command line, and every file
// in the folders named there, goes once through the target's LLVMFuzzerTestOneInput. Linked
// with a fuzz target, this makes its corpus and its saved regressions an ordinary test that
// runs in any build (and under the sanitizers when the build has them).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot be read\n", path.string().c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s (%zu bytes)\n", path.string().c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
        } else if (std::filesystem::exists(arg, ec)) {
            files.push_back(arg);
        }
        // A folder that does not exist (no regressions saved yet) holds nothing to replay.
    }
    std::sort(files.begin(), files.end());
    size_t replayed = 0;
    for (const auto& f : files) replayed += replay(f) ? 1 : 0;
    std::printf("replayed %zu inputs\n", replayed);
    if (replayed != files.size()) return 1;
    return replayed > 0 ? 0 : 1;
}
