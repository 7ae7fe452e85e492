#pragma once

#include <cerrno>
#include <cstdio>
#include <functional>

// A machine-wide lock kept as a small record in a file: "%d\n%s\n%s" with the holder's process
// id, its process name and a description. An absent or empty file is free, and so is a record
// whose holder no longer runs, unless its administrator batch does (the batch's waiting process
// holds an F_OFD_SETLK write lock on the file). A record naming the calling process is no other
// holder: only such a batch keeps it. An exclusive flock is held only for the length of one
// operation, so that testing and writing the record is atomic between processes. A file that
// these functions create is open to every user (0666), so that any user's later run can take it.
//
// The file is never opened through a symbolic link: a link planted at the path is refused as if
// the file could not be opened, so the lock cannot be used to overwrite another file.

// Results of the lock-file functions.
enum LockFileResult : int {
    kLockFileOk = 0,                // taken, or given back
    kLockFileCannotOpenForWriting = 4,
    kLockFileCannotOpenForReading = 5,
    kLockFileHeld = 6,              // held by a live process; its description is copied out
    kLockFileFree = 7,
    kLockFileCannotLock = 8,
    kLockFileCannotOpenForRelease = 10,
    kLockFileHeldForUpdate = 11,
    kLockFileHeldForInstallation = 12,
    kLockFileHeldForGame = 13,
    kLockFileHeldForOther = 14,
};

// The size of every buffer that receives a holder's description, its final zero byte included.
inline constexpr int kLockFileDescriptionSize = 1024;

// What an operation on the lock file met besides its result: the call that failed with its errno,
// and whether the holder that keeps the lock is only the batch of an installer that has gone.
struct LockFileAttempt {
    enum class Failure { None, Open, Lock, Write };
    Failure failure = Failure::None;
    int systemError = 0;
    bool heldByBatchAlone = false;

    // Whether what stopped the operation passes by itself: another process's flock, held for one
    // operation, or a batch whose installer has gone, which gives up in its wait step within about
    // a second (a batch that is installing holds on).
    bool mayPass() const { return (failure == Failure::Lock && systemError == EWOULDBLOCK) || heldByBatchAlone; }
};

// Takes the lock without waiting: 0, 4, 6 or 8. `holderDescription` (1024 bytes, may be null)
// receives the description of a live holder.
int lockFileTryAcquire(const char* path, const char* description, char* holderDescription);
// The same, telling in `attempt` what it met.
int lockFileTryAcquireExplained(const char* path, const char* description, char* holderDescription,
                                LockFileAttempt& attempt);
// Gives the lock back by emptying the file, whoever holds it: 0 (also when absent), 8 or 10.
int lockFileRelease(const char* path);
int lockFileReleaseExplained(const char* path, LockFileAttempt& attempt);
// Tells whether the lock is held, changing nothing: 5, 6, 7 or 8.
int lockFileCheck(const char* path, char* holderDescription);
int lockFileCheckExplained(const char* path, char* holderDescription, LockFileAttempt& attempt);
// Runs one of the explained operations again, every 50 ms, while what stopped it may pass: at most
// 2 seconds for a flock, 5 for a batch alone (time enough for one in its wait step to end). Returns
// the last result, with `attempt` filled by the last try. Blocks: never on the main thread.
int lockFileRetryWhilePassing(const std::function<int(LockFileAttempt&)>& operation, LockFileAttempt& attempt);
// Takes the lock, checking again every second while a live process holds it: 0, 4 or 8.
int lockFileAcquireWait(const char* path, const char* description);
// As lockFileTryAcquire, with 6 replaced by 11 to 14 after the words of the holder's description.
int lockFileTryAcquireKind(const char* path, const char* description);

// Whether the holder recorded in `stream` (positioned at its start) no longer runs: its id names
// no process, the calling process, or a process of another name. A record without a positive id
// or without a name counts as gone. While a process holds a write lock on the file's description
// (the waiter of the holder's administrator batch, which goes on after the installer was killed)
// the record holds, whatever runs under its id. When the holder holds, the description goes into
// `holderDescription`.
bool lockFileHolderIsGone(FILE* stream, char* holderDescription);
// Writes this process's record at the current position; returns the number of characters written.
int lockFileWriteRecord(FILE* stream, const char* description);
// An exclusive flock on the stream's file, waiting for it or not: 0, or 8.
int lockFileFlock(FILE* stream, bool wait);
// Empties the file, writes this process's record and closes the stream; 0, or 4 when the record
// did not reach the file (which is then left empty). The flock stays held until the stream is closed.
int lockFileRewrite(FILE* stream, const char* description);
// The file's size in bytes; the stream is at its start afterwards.
long lockFileSize(FILE* stream);
