#include "LockFile.h"

#include "platform/ProcessName.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kCannotOpen = "Could not open file";
constexpr const char* kCannotLock = "Could not lock file";

// Opens the lock file as a stream without following a symbolic link at the path. Opened for
// writing, a file of ours is made open to every user, whatever the umask or an earlier version
// left: a run of one user must not lock out the runs of others. An existing file is opened
// without O_CREAT, which a sticky /tmp with protected_regular refuses for another user's file
// even when its mode lets us write.
FILE* openLockStream(const char* path, int flags) {
    const int existing = flags & ~O_CREAT;
    int fd = open(path, existing | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT) != 0) {
        fd = open(path, existing | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) {
            // Made by another run in the meantime.
            fd = open(path, existing | O_NOFOLLOW | O_CLOEXEC);
        }
    }
    if (fd < 0) {
        return nullptr;
    }
    struct stat info;
    if ((flags & O_ACCMODE) != O_RDONLY && fstat(fd, &info) == 0 && info.st_uid == geteuid() &&
        (info.st_mode & 07777) != 0666) {
        fchmod(fd, 0666);
    }
    FILE* stream = fdopen(fd, (flags & O_ACCMODE) == O_RDONLY ? "r" : "r+");
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

// Whether a process holds a write lock on the file's open description: the process that waits
// for an installer's administrator batch does, for as long as the batch's shell runs, also after
// the installer itself has gone. What the batch leaves running does not hold it.
bool batchRuns(FILE* stream) {
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fileno(stream), F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK;
}

bool lockFileIsAbsent(const char* path) {
    struct stat info;
    return lstat(path, &info) != 0 && errno == ENOENT;
}

}  // namespace

long lockFileSize(FILE* stream) {
    fseek(stream, 0, SEEK_END);
    long size = ftell(stream);
    rewind(stream);
    return size;
}

namespace {

// Notes the call that failed and its errno, then reports it on standard error.
void noteFailure(LockFileAttempt* attempt, LockFileAttempt::Failure failure, const char* message) {
    const int error = errno;
    if (attempt != nullptr) {
        attempt->failure = failure;
        attempt->systemError = error;
    }
    perror(message);
}

int flockNoting(FILE* stream, bool wait, LockFileAttempt* attempt) {
    if (flock(fileno(stream), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        noteFailure(attempt, LockFileAttempt::Failure::Lock, kCannotLock);
        return kLockFileCannotLock;
    }
    return kLockFileOk;
}

int rewriteNoting(FILE* stream, const char* description, LockFileAttempt* attempt) {
    // Emptied in place rather than reopened by name: the flock stays held until the record is
    // complete, and no other file can take the place of the one that was locked.
    fflush(stream);
    bool written = ftruncate(fileno(stream), 0) == 0;
    rewind(stream);
    written = written && lockFileWriteRecord(stream, description) >= 0 && fflush(stream) == 0;
    if (!written) {
        // A record cut short (a full file system) would read as free; an empty file says so.
        noteFailure(attempt, LockFileAttempt::Failure::Write, kCannotOpen);
        [[maybe_unused]] const int emptied = ftruncate(fileno(stream), 0);
    }
    if (fclose(stream) != 0 && written) {
        written = false;
        noteFailure(attempt, LockFileAttempt::Failure::Write, kCannotOpen);
    }
    return written ? kLockFileOk : kLockFileCannotOpenForWriting;
}

}  // namespace

int lockFileFlock(FILE* stream, bool wait) {
    return flockNoting(stream, wait, nullptr);
}

int lockFileWriteRecord(FILE* stream, const char* description) {
    pid_t self = getpid();
    return fprintf(stream, "%d\n%s\n%s", static_cast<int>(self), platform::processName(self).c_str(),
                   description != nullptr ? description : "");
}

int lockFileRewrite(FILE* stream, const char* description) {
    return rewriteNoting(stream, description, nullptr);
}

namespace {

enum class Holder { Gone, Runs, BatchAlone };

// Who keeps the lock recorded in `stream`: its installer (a live process of the recorded id and
// name, not the caller), only the batch that installer started, or nobody.
Holder recordedHolder(FILE* stream, char* holderDescription) {
    char idLine[20];
    if (fgets(idLine, sizeof idLine, stream) == nullptr) {
        return Holder::Gone;
    }
    char* end = nullptr;
    long long id = strtoll(idLine, &end, 10);
    // Without a positive id there is no holder to ask about; kill() would probe a whole
    // process group (0, negative ids) and always find something alive.
    if (end == idLine || id <= 0 || id > INT_MAX) {
        return Holder::Gone;
    }
    pid_t holder = static_cast<pid_t>(id);
    // A record of the caller's own id was left by an earlier process that had it (a pid namespace
    // of its own, a wrapped id): the caller is not its own rival.
    const bool holderMayRun = holder != getpid() && !(kill(holder, 0) != 0 && errno == ESRCH);
    const bool holderBatchRuns = batchRuns(stream);
    if (!holderMayRun && !holderBatchRuns) {
        return Holder::Gone;
    }

    char name[100] = {};
    if (fgets(name, sizeof name, stream) == nullptr) {
        return Holder::Gone;
    }
    std::size_t length = strlen(name);
    if (length > 0 && name[length - 1] == '\n') {
        name[length - 1] = '\0';
    }
    const bool holderRuns = holderMayRun && strncmp(name, platform::processName(holder).c_str(), sizeof name) == 0;
    if (!holderRuns && !holderBatchRuns) {
        return Holder::Gone;
    }

    if (holderDescription != nullptr) {
        std::size_t count = fread(holderDescription, 1, kLockFileDescriptionSize - 1, stream);
        holderDescription[count] = '\0';
    }
    return holderRuns ? Holder::Runs : Holder::BatchAlone;
}

}  // namespace

bool lockFileHolderIsGone(FILE* stream, char* holderDescription) {
    return recordedHolder(stream, holderDescription) == Holder::Gone;
}

namespace {

// Opens the lock file and takes its flock. On failure the cause is reported and noted, the stream
// is closed and `failure` holds the caller's code.
FILE* openLocked(const char* path, int flags, bool wait, int cannotOpen, int& failure, LockFileAttempt* attempt) {
    FILE* stream = openLockStream(path, flags);
    if (stream == nullptr) {
        noteFailure(attempt, LockFileAttempt::Failure::Open, kCannotOpen);
        failure = cannotOpen;
        return nullptr;
    }
    if (flockNoting(stream, wait, attempt) != kLockFileOk) {
        fclose(stream);
        failure = kLockFileCannotLock;
        return nullptr;
    }
    return stream;
}

// An empty record, or one whose holder is gone, leaves the lock free.
bool lockFileIsFree(FILE* stream, char* holderDescription, LockFileAttempt* attempt) {
    if (lockFileSize(stream) == 0) {
        return true;
    }
    const Holder holder = recordedHolder(stream, holderDescription);
    if (attempt != nullptr) {
        attempt->heldByBatchAlone = holder == Holder::BatchAlone;
    }
    return holder == Holder::Gone;
}

int tryAcquire(const char* path, const char* description, char* holderDescription, LockFileAttempt* attempt) {
    int failure = kLockFileOk;
    FILE* stream = openLocked(path, O_RDWR | O_CREAT, false, kLockFileCannotOpenForWriting, failure, attempt);
    if (stream == nullptr) {
        return failure;
    }
    if (lockFileIsFree(stream, holderDescription, attempt)) {
        return rewriteNoting(stream, description, attempt);
    }
    fclose(stream);
    return kLockFileHeld;
}

int release(const char* path, LockFileAttempt* attempt) {
    if (lockFileIsAbsent(path)) {
        return kLockFileOk;
    }
    int failure = kLockFileOk;
    FILE* stream = openLocked(path, O_RDWR, false, kLockFileCannotOpenForRelease, failure, attempt);
    if (stream == nullptr) {
        return failure;
    }
    if (ftruncate(fileno(stream), 0) != 0) {
        noteFailure(attempt, LockFileAttempt::Failure::Write, kCannotOpen);
        fclose(stream);
        return kLockFileCannotOpenForRelease;
    }
    fclose(stream);
    return kLockFileOk;
}

int check(const char* path, char* holderDescription, LockFileAttempt* attempt) {
    if (lockFileIsAbsent(path)) {
        return kLockFileFree;
    }
    int failure = kLockFileOk;
    FILE* stream = openLocked(path, O_RDONLY, false, kLockFileCannotOpenForReading, failure, attempt);
    if (stream == nullptr) {
        return failure;
    }
    bool free = lockFileIsFree(stream, holderDescription, attempt);
    fclose(stream);
    return free ? kLockFileFree : kLockFileHeld;
}

}  // namespace

int lockFileTryAcquire(const char* path, const char* description, char* holderDescription) {
    return tryAcquire(path, description, holderDescription, nullptr);
}

int lockFileTryAcquireExplained(const char* path, const char* description, char* holderDescription,
                                LockFileAttempt& attempt) {
    attempt = {};
    return tryAcquire(path, description, holderDescription, &attempt);
}

int lockFileRelease(const char* path) {
    return release(path, nullptr);
}

int lockFileReleaseExplained(const char* path, LockFileAttempt& attempt) {
    attempt = {};
    return release(path, &attempt);
}

int lockFileCheck(const char* path, char* holderDescription) {
    return check(path, holderDescription, nullptr);
}

int lockFileCheckExplained(const char* path, char* holderDescription, LockFileAttempt& attempt) {
    attempt = {};
    return check(path, holderDescription, &attempt);
}

int lockFileRetryWhilePassing(const std::function<int(LockFileAttempt&)>& operation, LockFileAttempt& attempt) {
    using namespace std::chrono_literals;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::seconds bound = 2s;
    for (;;) {
        const int result = operation(attempt);
        // A batch met once keeps its longer bound, whatever flock a later try meets.
        bound = attempt.heldByBatchAlone ? 5s : bound;
        if (!attempt.mayPass() || std::chrono::steady_clock::now() - start >= bound) {
            return result;
        }
        std::this_thread::sleep_for(50ms);
    }
}

int lockFileAcquireWait(const char* path, const char* description) {
    for (;;) {
        // Created when absent, and tested under the flock like an existing file: a record that
        // another process wrote in the meantime is never overwritten.
        int failure = kLockFileOk;
        FILE* stream = openLocked(path, O_RDWR | O_CREAT, true, kLockFileCannotOpenForWriting, failure, nullptr);
        if (stream == nullptr) {
            return failure;
        }
        if (lockFileIsFree(stream, nullptr, nullptr)) {
            return lockFileRewrite(stream, description);
        }
        fclose(stream);
        sleep(1);
    }
}

int lockFileTryAcquireKind(const char* path, const char* description) {
    char holderDescription[kLockFileDescriptionSize] = {};
    int result = lockFileTryAcquire(path, description, holderDescription);
    if (result != kLockFileHeld) {
        return result;
    }
    if (strstr(holderDescription, "Update") != nullptr) {
        return kLockFileHeldForUpdate;
    }
    if (strstr(holderDescription, "Installation") != nullptr) {
        return kLockFileHeldForInstallation;
    }
    if (strstr(holderDescription, "Game") != nullptr) {
        return kLockFileHeldForGame;
    }
    return kLockFileHeldForOther;
}
