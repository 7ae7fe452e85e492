#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// One end of a pipe (or any readable descriptor), owned: closed when the last reference goes.
//
// Data-available notifications work as the platform's file handles do: each call of
// waitForDataInBackgroundAndNotify() arms one notification, sent to every observer on the main
// run loop once data (or the end of output) can be read, whichever thread armed it.
class FileHandle : public std::enable_shared_from_this<FileHandle> {
public:
    using Observer = std::function<void(FileHandle&)>;
    using ObserverToken = std::uint64_t;

    static std::shared_ptr<FileHandle> create(int descriptor);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int fileDescriptor() const;
    void closeFile();

    // Waits at most `timeout` for data or the end of output; true when either is there.
    bool waitForData(std::chrono::milliseconds timeout);
    // Blocks until some data is there and returns it; empty at the end of output.
    std::string availableData();
    // Whatever can be read right now without waiting; empty when nothing is there.
    std::string readAvailableNow();
    // Blocks until the end of output and returns everything read.
    std::string readDataToEndOfFile();

    void waitForDataInBackgroundAndNotify();
    ObserverToken addDataAvailableObserver(Observer observer);
    void removeDataAvailableObserver(ObserverToken token);

private:
    explicit FileHandle(int descriptor);
    void postDataAvailable();

    mutable std::mutex _mutex;
    int _descriptor;
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
