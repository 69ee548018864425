// Where the MP4 file is written, so that the output path is written and never replaced:
//
// - a path that does not exist, or an existing regular file: the file is written to a
//   temporary file beside it and renamed over the path only when it is complete, so a failed
//   or interrupted run leaves an earlier file as it was. An existing file keeps its owner and
//   mode. When the owner cannot be given to the new file, or the file has other names (hard
//   links), the finished file is copied into the existing one instead of renamed, after room
//   for it is secured, so that a full disk still leaves the old content;
// - a symbolic link: the same for the file it leads to (a dangling link's target is created);
//   the link itself stays;
// - a character or block device (/dev/null): written in place, nothing is renamed; a terminal
//   is refused;
// - a FIFO: refused for an MP4 file, since the MP4 writer seeks back to patch sizes; written
//   in place for a stream written front to back (ADTS);
// - a socket or a directory: refused.
//
// While a temporary file exists, every catchable signal that ends the process (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGXFSZ, the real-time signals, ...)
// removes it before the signal ends the process as it would have without the handler. The handlers serve one OutputFile at a
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
