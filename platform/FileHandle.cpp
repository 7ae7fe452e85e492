#include "platform/FileHandle.h"

#include "platform/Dispatch.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t readChunk = 64 * 1024;

// Waits until the descriptor can be read (data or end of output); false on a real error.
bool waitReadable(int descriptor, int timeoutMs) {
    pollfd entry{descriptor, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready >= 0) {
            return ready > 0;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// One read; 0 at the end of output or on an error.
ssize_t readOnce(int descriptor, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, size);
        if (got >= 0 || errno != EINTR) {
            return got < 0 ? 0 : got;
        }
    }
}

}  // namespace

std::shared_ptr<FileHandle> FileHandle::create(int descriptor) {
    return std::shared_ptr<FileHandle>(new FileHandle(descriptor));
}

FileHandle::FileHandle(int descriptor) : _descriptor(descriptor) {}

FileHandle::~FileHandle() {
    closeFile();
}

int FileHandle::fileDescriptor() const {
    std::lock_guard lock(_mutex);
    return _descriptor;
}

void FileHandle::closeFile() {
    std::lock_guard lock(_mutex);
    if (_descriptor >= 0) {
        ::close(_descriptor);
        _descriptor = -1;
    }
}

bool FileHandle::waitForData(std::chrono::milliseconds timeout) {
    const int descriptor = fileDescriptor();
    return descriptor >= 0 && waitReadable(descriptor, static_cast<int>(timeout.count()));
}

std::string FileHandle::availableData() {
    const int descriptor = fileDescriptor();
    if (descriptor < 0 || !waitReadable(descriptor, -1)) {
        return {};
    }
    std::string data(readChunk, '\0');
    data.resize(static_cast<std::size_t>(readOnce(descriptor, data.data(), data.size())));
    return data;
}

std::string FileHandle::readAvailableNow() {
    const int descriptor = fileDescriptor();
    std::string data;
    char buffer[readChunk];
    while (descriptor >= 0 && waitReadable(descriptor, 0)) {
        const ssize_t got = readOnce(descriptor, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

std::string FileHandle::readDataToEndOfFile() {
    const int descriptor = fileDescriptor();
    std::string data;
    char buffer[readChunk];
    while (descriptor >= 0) {
        const ssize_t got = readOnce(descriptor, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

void FileHandle::waitForDataInBackgroundAndNotify() {
    // The waiting thread holds the handle, so the descriptor stays open until it has posted.
    std::thread([self = shared_from_this()] {
        waitReadable(self->fileDescriptor(), -1);
        dispatch::asyncMain([self] { self->postDataAvailable(); });
    }).detach();
}

FileHandle::ObserverToken FileHandle::addDataAvailableObserver(Observer observer) {
    std::lock_guard lock(_mutex);
    const ObserverToken token = _nextToken++;
    _observers.emplace_back(token, std::move(observer));
    return token;
}

void FileHandle::removeDataAvailableObserver(ObserverToken token) {
    std::lock_guard lock(_mutex);
    std::erase_if(_observers, [token](const auto& entry) { return entry.first == token; });
}

void FileHandle::postDataAvailable() {
    std::vector<ObserverToken> tokens;
    {
        std::lock_guard lock(_mutex);
        for (const auto& entry : _observers) {
            tokens.push_back(entry.first);
        }
    }
    // An observer may remove itself or others while it runs: each one is looked up afresh.
    for (const ObserverToken token : tokens) {
        Observer observer;
        {
            std::lock_guard lock(_mutex);
            for (const auto& entry : _observers) {
                if (entry.first == token) {
                    observer = entry.second;
                }
            }
        }
        if (observer) {
            observer(*this);
        }
    }
}

std::shared_ptr<Pipe> Pipe::create() {
    int descriptors[2];
    // Close-on-exec keeps other children from holding this pipe open.
    if (::pipe2(descriptors, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    return std::shared_ptr<Pipe>(new Pipe(FileHandle::create(descriptors[0]), FileHandle::create(descriptors[1])));
}

Pipe::Pipe(std::shared_ptr<FileHandle> reading, std::shared_ptr<FileHandle> writing)
    : _reading(std::move(reading)), _writing(std::move(writing)) {}

}  // namespace platform
