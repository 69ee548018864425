#include "frontend/output_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <random>
#include <vector>
#include <unistd.h>

namespace varnel {
namespace {

constexpr const char* kTemporarySuffix = ".partial";
constexpr int kTagDigits = 8;
constexpr long kDefaultNameMax = 255;
constexpr int kMaxSymlinkHops = 40;  // as the kernel's own limit
constexpr int kCreateAttempts = 16;

// ---------------------------------------------------------------- signal clean-up

// Every signal whose default action ends the process and that a handler can catch. SIGPIPE is
// among them for a caller that has not ignored it; the program itself ignores it, so that a
// console reader that goes away does not end the run.
constexpr int kCleanupSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1,
                                   SIGUSR2, SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,
                                   SIGSYS,  SIGSTKFLT, SIGTRAP, SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,
                                   SIGILL};
constexpr size_t kRealTimeSignals = 64;  // room for SIGRTMIN..SIGRTMAX, which glibc sets at run time
constexpr size_t kMaxHandled = std::size(kCleanupSignals) + kRealTimeSignals;

// The temporary file's path while it exists; read by the handler, so only a pointer swap.
const char* volatile gTemporaryPath = nullptr;
int gHandled[kMaxHandled];
struct sigaction gPreviousActions[kMaxHandled];
size_t gHandledCount = 0;

// The signals handled, in a fixed order: the list above, then the real-time ones.
size_t cleanupSignals(int* out) {
    size_t n = 0;
    for (int s : kCleanupSignals) out[n++] = s;
    for (int s = SIGRTMIN; s <= SIGRTMAX && n < kMaxHandled; ++s) out[n++] = s;
    return n;
}

extern "C" void removeTemporaryAndReraise(int signal) {
    const char* path = gTemporaryPath;
    if (path) unlink(path);  // async-signal-safe
    // Give the signal back to whoever had it before (the default action, or a sanitizer's
    // handler) and let it act: a fault returns to the faulting instruction, which faults
    // again; any other signal is raised again, unblocked by SA_NODEFER.
    for (size_t i = 0; i < gHandledCount; ++i) {
        if (gHandled[i] == signal) sigaction(signal, &gPreviousActions[i], nullptr);
    }
    if (signal != SIGSEGV && signal != SIGBUS && signal != SIGFPE && signal != SIGILL) raise(signal);
}

void armCleanup(const char* path) {
    gTemporaryPath = path;
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndReraise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NODEFER;
    gHandledCount = cleanupSignals(gHandled);
    for (size_t i = 0; i < gHandledCount; ++i) {
        sigaction(gHandled[i], nullptr, &gPreviousActions[i]);
        // A signal the caller ignores (nohup) stays ignored.
        if (gPreviousActions[i].sa_handler != SIG_IGN) sigaction(gHandled[i], &action, nullptr);
    }
}

void disarmCleanup() {
    for (size_t i = 0; i < gHandledCount; ++i) sigaction(gHandled[i], &gPreviousActions[i], nullptr);
    gHandledCount = 0;
    gTemporaryPath = nullptr;
}

// Blocks every signal that can be blocked for a scope, so that the rename and the disarming,
// or the copy into an existing file, happen without a handler running between them. A
// signal that comes meanwhile acts when the scope ends.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigfillset(&set);
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

// ---------------------------------------------------------------- paths

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string errorText(int error) { return std::strerror(error); }

// Follows symbolic links to the path that is written: the first path along the chain that is
// not a link, whether it exists or not. False with a reason for a loop or an unreadable link.
bool followLinks(const std::string& path, std::string* resolved, std::string* reason) {
    std::string at = path;
    for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
        struct stat st {};
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *resolved = at;
            return true;
        }
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = readlink(at.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size()) {
            *reason = "the symbolic link cannot be read";
            return false;
        }
        target.resize(static_cast<size_t>(n));
        at = target.front() == '/' ? target : directoryOf(at) + "/" + target;
    }
    *reason = "too many levels of symbolic links";
    return false;
}

// Writes all of `size` bytes at `offset`; false with errno set on failure.
bool writeAllAt(int fd, const char* data, size_t size, off_t offset) {
    for (size_t done = 0; done < size;) {
        const ssize_t w = pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

// Copies bytes [from, to) of `in` to the same offsets of `out`; false with errno set.
bool copyRange(int in, int out, off_t from, off_t to) {
    std::vector<char> buffer(64 * 1024);
    for (off_t at = from; at < to;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(to - at, static_cast<off_t>(buffer.size())));
        const ssize_t n = pread(in, buffer.data(), want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the finished file is shorter than it was a moment ago
            return false;
        }
        if (!writeAllAt(out, buffer.data(), static_cast<size_t>(n), at)) return false;
        at += n;
    }
    return true;
}

// Makes room for `size` bytes in `fd`, whose old length is `oldSize`, without changing any of
// its first `oldSize` bytes: blocks are reserved where the file system can, else the part past
// the old end is written first (from `in`). On failure the file is cut back to its old length.
bool reserveRoom(int in, int fd, off_t oldSize, off_t size) {
    if (size == 0) return true;
#if defined(__linux__)
    const int reserved = fallocate(fd, 0, 0, size);
#else
    errno = EOPNOTSUPP;
    const int reserved = -1;
#endif
    if (reserved == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) {
        const int error = errno;
        if (ftruncate(fd, oldSize) != 0) {}  // the length may have grown before the failure
        errno = error;
        return false;
    }
    if (size <= oldSize || copyRange(in, fd, oldSize, size)) return true;
    const int error = errno;
    if (ftruncate(fd, oldSize) != 0) {}
    errno = error;
    return false;
}

// Copies the finished file at `from` into the existing file `to`, which keeps its inode,
// owner, mode and other names. The old content is overwritten only once the room for the new
// one is secured, so that a full disk or a file size limit leaves the old file as it was.
// Signals wait until the copy is over, so none can stop it half way.
bool copyInto(const std::string& from, const std::string& to, std::string* reason) {
    SignalsBlocked blocked;
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = in < 0 ? -1 : open(to.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat inStat {}, outStat {};
    bool ok = in >= 0 && out >= 0 && fstat(in, &inStat) == 0 && fstat(out, &outStat) == 0;
    ok = ok && reserveRoom(in, out, outStat.st_size, inStat.st_size);
    ok = ok && copyRange(in, out, 0, inStat.st_size);
    ok = ok && (inStat.st_size >= outStat.st_size || ftruncate(out, inStat.st_size) == 0);
    if (!ok) *reason = errorText(errno);
    if (out >= 0 && close(out) != 0 && ok) {
        ok = false;
        *reason = errorText(errno);
    }
    if (in >= 0) close(in);
    return ok;
}

// Whether the character device at `path` is a terminal, which is never sent binary data.
bool isTerminal(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool terminal = isatty(fd) != 0;
    close(fd);
    return terminal;
}

}  // namespace

std::string temporaryName(const std::string& base, unsigned tag, long nameMax) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%0*x%s", kTagDigits, tag, kTemporarySuffix);
    const size_t fixed = 1 + std::strlen(suffix);  // the leading dot and the suffix
    const size_t room = nameMax > static_cast<long>(fixed) ? static_cast<size_t>(nameMax) - fixed : 0;
    std::string name(1, '.');
    name.append(base, 0, std::min(room, base.size()));
    name.append(suffix);
    return name;
}

std::unique_ptr<OutputFile> OutputFile::prepare(const std::string& target, std::string* reason, bool sequential) {
    std::unique_ptr<OutputFile> out(new OutputFile());
    // The kind of output is that of what the path leads to, links followed by the kernel (so
    // that /dev/stdout and other links under /proc count as what they point at).
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) && isTerminal(target)) {
            *reason = "is a terminal: send the audio to a file or a pipe";
            return nullptr;
        }
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || (sequential && S_ISFIFO(st.st_mode))) {
            out->destination_ = target;
            out->writePath_ = target;  // a device or a stream is written where it is
            return out;
        }
        if (S_ISDIR(st.st_mode)) {
            *reason = "is a directory";
            return nullptr;
        }
        if (sequential && S_ISSOCK(st.st_mode)) {
            *reason = "is a socket, which cannot be opened as a file";
            return nullptr;
        }
        if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
            *reason = std::string("is a ") + (S_ISFIFO(st.st_mode) ? "FIFO" : "socket") +
                      ": the MP4 file is written with seeks and needs a regular file or a device";
            return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
            *reason = "is not a regular file";
            return nullptr;
        }
        out->existing_ = true;
        out->existingStat_ = st;
    } else if (errno != ENOENT) {
        *reason = errorText(errno);
        return nullptr;
    }
    // The name to put the file under: a symbolic link stays and its target is replaced (or
    // created, for a dangling link).
    if (!followLinks(target, &out->destination_, reason)) return nullptr;

    const std::string folder = directoryOf(out->destination_);
    errno = 0;
    long nameMax = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0) nameMax = kDefaultNameMax;
    std::random_device random;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const std::string name = temporaryName(baseOf(out->destination_), static_cast<unsigned>(random()), nameMax);
        const std::string path = folder == "/" ? "/" + name : folder + "/" + name;
        // Created here, exclusively, so that the name is this run's own; the MP4 writer then
        // writes it from the start. The clean-up is armed before a signal can come between.
        SignalsBlocked blocked;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            *reason = "cannot be created: " + errorText(errno);
            return nullptr;
        }
        out->writePath_ = path;
        out->temporary_ = true;
        armCleanup(out->writePath_.c_str());
        close(fd);
        return out;
    }
    *reason = "cannot be created: no free temporary name";
    return nullptr;
}

OutputFile::~OutputFile() {
    if (!temporary_) return;
    SignalsBlocked blocked;
    if (!committed_) unlink(writePath_.c_str());
    disarmCleanup();
}

bool OutputFile::commit(std::string* reason) {
    if (!temporary_) {
        committed_ = true;
        return true;
    }
    if (existing_) {
        const struct stat& old = existingStat_;
        const bool owned = old.st_uid == geteuid() && old.st_gid == getegid();
        const bool ownerKept = owned || chown(writePath_.c_str(), old.st_uid, old.st_gid) == 0;
        if (!ownerKept || old.st_nlink > 1) {
            // Renaming would hand the file to this user, or part it from its other names:
            // write the existing file instead.
            if (!copyInto(writePath_, destination_, reason)) return false;
            return true;  // the destructor removes the temporary file
        }
        if (chmod(writePath_.c_str(), old.st_mode & 07777) != 0) {
            *reason = errorText(errno);
            return false;
        }
    }
    SignalsBlocked blocked;
    if (rename(writePath_.c_str(), destination_.c_str()) != 0) {
        *reason = errorText(errno);
        return false;
    }
    committed_ = true;
    disarmCleanup();
    temporary_ = false;
    return true;
}

}  // namespace varnel
