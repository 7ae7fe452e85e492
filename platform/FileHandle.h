#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// One end of a pipe, or a file opened for reading (or any readable descriptor), owned: closed
// when the last reference goes.
//
// Data-available notifications: each call of waitForDataInBackgroundAndNotify() arms one
// notification, sent to every observer on the main run loop, whichever thread armed it. A pipe
// notifies when data arrive, and once more at its end; after a read has met the end, arming
// does nothing. A regular file notifies only when it grew (or shrank) past the read position, so
// following a quiet file costs nothing. One long-lived watcher thread serves every handle; a
// handle that goes away (or is closed) while armed is never notified.
//
// Reads tell the end of output (empty data) from an error: a failed read throws
// std::system_error, and whoever reads decides what the failure ends.
class FileHandle : public std::enable_shared_from_this<FileHandle> {
public:
    using Observer = std::function<void(FileHandle&)>;
    using ObserverToken = std::uint64_t;

    static std::shared_ptr<FileHandle> create(int descriptor);
    // Opens the file for reading from its start (close-on-exec); null when it cannot be opened.
    // Opening never waits: a FIFO without a writer opens at once.
    static std::shared_ptr<FileHandle> fileHandleForReadingAtPath(const std::filesystem::path& path);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int fileDescriptor() const;
    void closeFile();
    // True for a regular file (not a pipe, FIFO or device), as the handle was opened.
    bool isRegularFile() const { return _regularFile; }
    // A regular file read up to its current size, or a pipe read up to its end of output.
    bool atEndOfFile() const;

    // Waits at most `timeout` for data or the end of output; true when either is there.
    bool waitForData(std::chrono::milliseconds timeout);
    // Blocks until some data is there and returns it (at most 64 KiB a call); empty at the end
    // of output. A regular file is never waited for: what lies past the read position (empty
    // when nothing does); a file that shrank below the read position is read again from its start.
    std::string availableData();
    // What is there right now, without waiting: at most the bytes queued when it is called, so a
    // writer that keeps writing does not keep the reader; empty when nothing is there.
    std::string readAvailableNow();
    // Blocks until the end of output and returns everything read.
    std::string readDataToEndOfFile();

    void waitForDataInBackgroundAndNotify();
    ObserverToken addDataAvailableObserver(Observer observer);
    void removeDataAvailableObserver(ObserverToken token);

    // Notifications delivered to observers so far, by all handles (figures for benchmarks).
    static std::uint64_t deliveredNotificationCount();

private:
    friend class FileWatcher;
    explicit FileHandle(int descriptor);
    void postDataAvailable();
    // Notes that a read met the end of a pipe: no later notification is delivered.
    void noteRead(ssize_t got);
    // Reads to the end of output or, with `onlyWhatIsThere`, as long as reading does not wait.
    std::string readChunks(bool onlyWhatIsThere);

    mutable std::mutex _mutex;
    int _descriptor;
    const std::uint64_t _identity;
    const bool _regularFile;
    std::atomic<bool> _atEnd = false;
    std::atomic<bool> _armedOnce = false;  // only then has the watcher anything to forget
    ObserverToken _nextToken = 1;
    std::vector<std::pair<ObserverToken, Observer>> _observers;
};

// A unidirectional pipe: what is written to the writing end can be read from the reading end.
class Pipe {
public:
    // Throws std::system_error when the system has no descriptors left.
    static std::shared_ptr<Pipe> create();

    const std::shared_ptr<FileHandle>& fileHandleForReading() const { return _reading; }
    const std::shared_ptr<FileHandle>& fileHandleForWriting() const { return _writing; }

private:
    Pipe(std::shared_ptr<FileHandle> reading, std::shared_ptr<FileHandle> writing);
    std::shared_ptr<FileHandle> _reading;
    std::shared_ptr<FileHandle> _writing;
};

}  // namespace platform
