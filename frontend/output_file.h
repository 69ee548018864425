// Where the MP4 file is written, so that the output path is written and never replaced:
//
// - a path that does not exist, or an existing regular file: the file is written to a
//   temporary file beside it and renamed over the path only when it is complete, so a failed
//   or interrupted run leaves an earlier file as it was. An existing file keeps its owner and
//   mode (when the owner cannot be given to the new file, the finished file is copied into the
//   existing one instead of renamed);
// - a symbolic link: the same for the file it leads to (a dangling link's target is created);
//   the link itself stays;
// - a character or block device (/dev/null): written in place, nothing is renamed;
// - a FIFO: refused for an MP4 file, since the MP4 writer seeks back to patch sizes; written
//   in place for a stream written front to back (ADTS);
// - a socket or a directory: refused.
//
// While a temporary file exists, SIGINT, SIGTERM and SIGHUP remove it before the signal ends
// the process as it would have without the handler. The handlers serve one OutputFile at a
// time per process, as the program has.
#pragma once

#include <memory>
#include <string>
#include <sys/stat.h>

namespace varnel {

class OutputFile {
public:
    // Decides how `target` is written and creates the temporary file if one is needed. Null
    // with a one-line reason (without the path) when the output cannot be written. `sequential`:
    // the output is written front to back without seeks, so a FIFO is written too.
    static std::unique_ptr<OutputFile> prepare(const std::string& target, std::string* reason,
                                               bool sequential = false);

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless the output was committed.
    ~OutputFile();

    // The path the output is written to: the temporary file, or the device, FIFO or socket itself.
    const std::string& writePath() const { return writePath_; }

    // Puts the finished file in place of the output. False with a reason on failure; the
    // temporary file is then removed and an earlier output is as it was.
    bool commit(std::string* reason);

private:
    OutputFile() = default;

    std::string destination_;  // the output with symbolic links followed
    std::string writePath_;
    bool temporary_ = false;   // writePath_ is a temporary file beside destination_
    bool existing_ = false;    // destination_ is an existing regular file
    struct stat existingStat_ {};
    bool committed_ = false;
};

// The temporary file's name for an output named `base` in a folder whose names take at most
// `nameMax` bytes: ".BASE.XXXXXXXX.partial" with the 8 hex digits of `tag`, BASE shortened as
// far as needed to fit.
std::string temporaryName(const std::string& base, unsigned tag, long nameMax);

}  // namespace varnel
