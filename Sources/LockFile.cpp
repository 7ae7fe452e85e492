#include "LockFile.h"

#include "platform/ProcessName.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
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

int lockFileFlock(FILE* stream, bool wait) {
    if (flock(fileno(stream), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        perror(kCannotLock);
        return kLockFileCannotLock;
    }
    return kLockFileOk;
}

int lockFileWriteRecord(FILE* stream, const char* description) {
    pid_t self = getpid();
    return fprintf(stream, "%d\n%s\n%s", static_cast<int>(self), platform::processName(self).c_str(),
                   description != nullptr ? description : "");
}

int lockFileRewrite(FILE* stream, const char* description) {
    // Emptied in place rather than reopened by name: the flock stays held until the record is
    // complete, and no other file can take the place of the one that was locked.
    fflush(stream);
    bool written = ftruncate(fileno(stream), 0) == 0;
    rewind(stream);
    written = written && lockFileWriteRecord(stream, description) >= 0 && fflush(stream) == 0;
    if (!written) {
        // A record cut short (a full file system) would read as free; an empty file says so.
        perror(kCannotOpen);
        [[maybe_unused]] const int emptied = ftruncate(fileno(stream), 0);
    }
    written = fclose(stream) == 0 && written;
    return written ? kLockFileOk : kLockFileCannotOpenForWriting;
}

bool lockFileHolderIsGone(FILE* stream, char* holderDescription) {
    char idLine[20];
    if (fgets(idLine, sizeof idLine, stream) == nullptr) {
        return true;
    }
    char* end = nullptr;
    long long id = strtoll(idLine, &end, 10);
    // Without a positive id there is no holder to ask about; kill() would probe a whole
    // process group (0, negative ids) and always find something alive.
    if (end == idLine || id <= 0 || id > INT_MAX) {
        return true;
    }
    pid_t holder = static_cast<pid_t>(id);
    const bool holderRuns = !(kill(holder, 0) != 0 && errno == ESRCH);
    const bool holderBatchRuns = batchRuns(stream);
    if (!holderRuns && !holderBatchRuns) {
        return true;
    }

    char name[100] = {};
    if (fgets(name, sizeof name, stream) == nullptr) {
        return true;
    }
    std::size_t length = strlen(name);
    if (length > 0 && name[length - 1] == '\n') {
        name[length - 1] = '\0';
    }
    if (!holderBatchRuns && strncmp(name, platform::processName(holder).c_str(), sizeof name) != 0) {
        return true;
    }

    if (holderDescription != nullptr) {
        std::size_t count = fread(holderDescription, 1, kLockFileDescriptionSize - 1, stream);
        holderDescription[count] = '\0';
    }
    return false;
}

namespace {

// Opens the lock file and takes its flock. On failure the cause is reported, the stream is
// closed and `failure` holds the caller's code.
FILE* openLocked(const char* path, int flags, bool wait, int cannotOpen, int& failure) {
    FILE* stream = openLockStream(path, flags);
    if (stream == nullptr) {
        perror(kCannotOpen);
        failure = cannotOpen;
        return nullptr;
    }
    if (lockFileFlock(stream, wait) != kLockFileOk) {
        fclose(stream);
        failure = kLockFileCannotLock;
        return nullptr;
    }
    return stream;
}

// An empty record, or one whose holder is gone, leaves the lock free.
bool lockFileIsFree(FILE* stream, char* holderDescription) {
    return lockFileSize(stream) == 0 || lockFileHolderIsGone(stream, holderDescription);
}

}  // namespace

int lockFileTryAcquire(const char* path, const char* description, char* holderDescription) {
    int failure = kLockFileOk;
    FILE* stream = openLocked(path, O_RDWR | O_CREAT, false, kLockFileCannotOpenForWriting, failure);
    if (stream == nullptr) {
        return failure;
    }
    if (lockFileIsFree(stream, holderDescription)) {
        return lockFileRewrite(stream, description);
    }
    fclose(stream);
    return kLockFileHeld;
}

int lockFileRelease(const char* path) {
    if (lockFileIsAbsent(path)) {
        return kLockFileOk;
    }
    int failure = kLockFileOk;
    FILE* stream = openLocked(path, O_RDWR, false, kLockFileCannotOpenForRelease, failure);
    if (stream == nullptr) {
        return failure;
    }
    if (ftruncate(fileno(stream), 0) != 0) {
        perror(kCannotOpen);
        fclose(stream);
        return kLockFileCannotOpenForRelease;
    }
    fclose(stream);
    return kLockFileOk;
}

int lockFileCheck(const char* path, char* holderDescription) {
    if (lockFileIsAbsent(path)) {
        return kLockFileFree;
    }
    int failure = kLockFileOk;
    FILE* stream = openLocked(path, O_RDONLY, false, kLockFileCannotOpenForReading, failure);
    if (stream == nullptr) {
        return failure;
    }
    bool free = lockFileIsFree(stream, holderDescription);
    fclose(stream);
    return free ? kLockFileFree : kLockFileHeld;
}

int lockFileAcquireWait(const char* path, const char* description) {
    for (;;) {
        // Created when absent, and tested under the flock like an existing file: a record that
        // another process wrote in the meantime is never overwritten.
        int failure = kLockFileOk;
        FILE* stream = openLocked(path, O_RDWR | O_CREAT, true, kLockFileCannotOpenForWriting, failure);
        if (stream == nullptr) {
            return failure;
        }
        if (lockFileIsFree(stream, nullptr)) {
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
