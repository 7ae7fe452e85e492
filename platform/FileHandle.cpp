#include "platform/FileHandle.h"

#include "platform/Dispatch.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t readChunk = 64 * 1024;
// How often a file that cannot be watched through inotify is looked at.
constexpr int fallbackPollMs = 250;

std::atomic<std::uint64_t> nextIdentity{1};
std::atomic<std::uint64_t> deliveredNotifications{0};

// Waits until the descriptor can be read (data, end of output or an error to read): 1, or 0
// when the time ran out, or -1 with errno when the wait itself failed.
int waitReadable(int descriptor, int timeoutMs) {
    pollfd entry{descriptor, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready >= 0 || errno != EINTR) {
            return ready > 0 ? 1 : ready;
        }
    }
}

// One read: the bytes read, 0 at the end of output, -1 with errno on an error.
ssize_t readOnce(int descriptor, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

[[noreturn]] void throwReadError(int error) {
    throw std::system_error(error, std::generic_category(), "read");
}

bool isRegularFileDescriptor(int descriptor) {
    struct stat info {};
    return descriptor >= 0 && ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

// True when a regular file's size differs from the read position: appended or truncated.
bool fileChanged(int descriptor) {
    struct stat info {};
    const off_t position = ::lseek(descriptor, 0, SEEK_CUR);
    return ::fstat(descriptor, &info) == 0 && position >= 0 && info.st_size != position;
}

// The bytes that can be read now: a regular file's bytes past the read position, what a pipe
// holds; nullopt when the system cannot tell.
std::optional<std::size_t> queuedBytes(int descriptor, bool regularFile) {
    if (regularFile) {
        struct stat info {};
        const off_t position = ::lseek(descriptor, 0, SEEK_CUR);
        if (::fstat(descriptor, &info) != 0 || position < 0) {
            return std::nullopt;
        }
        return info.st_size > position ? static_cast<std::size_t>(info.st_size - position) : 0;
    }
    int queued = 0;
    if (::ioctl(descriptor, FIONREAD, &queued) != 0 || queued < 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(queued);
}

}  // namespace

// The one thread that waits for every armed handle: epoll for pipes and other pollable
// descriptors, inotify for regular files. Each arming fires once and is then forgotten; the
// notification itself is posted to the main queue. Never destroyed.
class FileWatcher {
public:
    static FileWatcher& shared() {
        static auto* watcher = new FileWatcher;
        return *watcher;
    }

    void arm(const std::shared_ptr<FileHandle>& handle, int descriptor) {
        std::unique_lock lock(_mutex);
        const std::uint64_t id = handle->_identity;
        if (_entries.contains(id)) {
            return;  // already armed: one notification serves both
        }
        Entry entry{handle, descriptor, handle->_regularFile, -1};
        if (entry.regularFile) {
            // Watch first, then look: a write between the two is not missed.
            const std::string procPath = "/proc/self/fd/" + std::to_string(descriptor);
            entry.watch = ::inotify_add_watch(_inotify, procPath.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE);
            if (entry.watch >= 0) {
                _watched[entry.watch].insert(id);
            } else {
                _polled.insert(id);
            }
            _entries.emplace(id, entry);
            if (fileChanged(descriptor)) {
                fire(id, lock);
            } else if (entry.watch < 0) {
                wake();
            }
            return;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLONESHOT;
        event.data.u64 = id;
        entry.registered = ::epoll_ctl(_epoll, EPOLL_CTL_ADD, descriptor, &event) == 0;
        const int error = errno;
        _entries.emplace(id, entry);
        if (entry.registered) {
            return;
        }
        if (error == EPERM) {
            // Not pollable by epoll (a device that is always readable): notify at once.
            fire(id, lock);
        } else {
            // No room for another watch: it is looked at with the files that inotify cannot watch.
            _polled.insert(id);
            wake();
        }
    }

    // Forgets the handle's arming; called before its descriptor is closed.
    void disarm(std::uint64_t id) {
        std::unique_lock lock(_mutex);
        forget(id);
    }

private:
    struct Entry {
        std::weak_ptr<FileHandle> handle;
        int descriptor;
        bool regularFile;
        int watch;  // inotify watch, -1 when none
        bool registered = false;  // added to the epoll set
    };

    FileWatcher() {
        _epoll = ::epoll_create1(EPOLL_CLOEXEC);
        _inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        _wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (_epoll < 0 || _wake < 0) {
            throw std::system_error(errno, std::generic_category(), "file watcher");
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = wakeId;
        if (::epoll_ctl(_epoll, EPOLL_CTL_ADD, _wake, &event) != 0) {
            throw std::system_error(errno, std::generic_category(), "file watcher");
        }
        event.data.u64 = inotifyId;
        if (_inotify >= 0 && ::epoll_ctl(_epoll, EPOLL_CTL_ADD, _inotify, &event) != 0) {
            // Without inotify every followed file is looked at from time to time instead.
            ::close(_inotify);
            _inotify = -1;
        }
        std::thread([this] { run(); }).detach();
    }

    static constexpr std::uint64_t wakeId = 0;
    static constexpr std::uint64_t inotifyId = ~std::uint64_t{0};

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(_wake, &one, sizeof one);
    }

    void run() {
        epoll_event events[32];
        for (;;) {
            int timeout = -1;
            {
                std::lock_guard lock(_mutex);
                if (!_polled.empty()) {
                    timeout = fallbackPollMs;
                }
            }
            const int count = ::epoll_wait(_epoll, events, 32, timeout);
            std::unique_lock lock(_mutex);
            for (int index = 0; index < count; ++index) {
                const std::uint64_t id = events[index].data.u64;
                if (id == wakeId) {
                    std::uint64_t value = 0;
                    [[maybe_unused]] const auto got = ::read(_wake, &value, sizeof value);
                } else if (id == inotifyId) {
                    drainInotify(lock);
                } else if (_entries.contains(id)) {
                    fire(id, lock);
                }
            }
            for (const std::uint64_t id : std::set<std::uint64_t>(_polled)) {
                const auto found = _entries.find(id);
                if (found == _entries.end()) {
                    continue;
                }
                const Entry& entry = found->second;
                if (entry.regularFile ? fileChanged(entry.descriptor) : waitReadable(entry.descriptor, 0) != 0) {
                    fire(id, lock);
                }
            }
        }
    }

    void drainInotify(std::unique_lock<std::mutex>& lock) {
        alignas(inotify_event) char buffer[4096];
        std::set<int> touched;
        for (;;) {
            const ssize_t got = ::read(_inotify, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                touched.insert(event->wd);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        for (const int watch : touched) {
            const auto found = _watched.find(watch);
            if (found == _watched.end()) {
                continue;
            }
            for (const std::uint64_t id : std::set<std::uint64_t>(found->second)) {
                const auto entry = _entries.find(id);
                if (entry != _entries.end() && fileChanged(entry->second.descriptor)) {
                    fire(id, lock);
                }
            }
        }
    }

    // Ends the arming and posts its notification to the main queue.
    void fire(std::uint64_t id, std::unique_lock<std::mutex>&) {
        const auto found = _entries.find(id);
        if (found == _entries.end()) {
            return;
        }
        std::weak_ptr<FileHandle> handle = found->second.handle;
        forget(id);
        dispatch::asyncMain([handle] {
            if (auto alive = handle.lock()) {
                alive->postDataAvailable();
            }
        });
    }

    void forget(std::uint64_t id) {
        const auto found = _entries.find(id);
        if (found == _entries.end()) {
            return;
        }
        const Entry& entry = found->second;
        _polled.erase(id);
        if (entry.regularFile) {
            if (entry.watch >= 0) {
                auto& ids = _watched[entry.watch];
                ids.erase(id);
                if (ids.empty()) {
                    // Several handles on one file share one watch: it goes with the last of them.
                    ::inotify_rm_watch(_inotify, entry.watch);
                    _watched.erase(entry.watch);
                }
            }
        } else if (entry.registered) {
            // The descriptor is still open (handles disarm before they close), so this cannot fail.
            [[maybe_unused]] const int removed = ::epoll_ctl(_epoll, EPOLL_CTL_DEL, entry.descriptor, nullptr);
            assert(removed == 0);
        }
        _entries.erase(found);
    }

    std::mutex _mutex;
    int _epoll = -1;
    int _inotify = -1;
    int _wake = -1;
    std::map<std::uint64_t, Entry> _entries;
    std::map<int, std::set<std::uint64_t>> _watched;
    std::set<std::uint64_t> _polled;
};

std::shared_ptr<FileHandle> FileHandle::create(int descriptor) {
    return std::shared_ptr<FileHandle>(new FileHandle(descriptor));
}

std::shared_ptr<FileHandle> FileHandle::fileHandleForReadingAtPath(const std::filesystem::path& path) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer; reads wait as they always do.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        return nullptr;
    }
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(descriptor);
        return nullptr;
    }
    return create(descriptor);
}

FileHandle::FileHandle(int descriptor)
    : _descriptor(descriptor), _identity(nextIdentity++), _regularFile(isRegularFileDescriptor(descriptor)) {}

FileHandle::~FileHandle() {
    closeFile();
}

int FileHandle::fileDescriptor() const {
    std::lock_guard lock(_mutex);
    return _descriptor;
}

void FileHandle::closeFile() {
    int descriptor = -1;
    {
        std::lock_guard lock(_mutex);
        std::swap(descriptor, _descriptor);
    }
    if (descriptor >= 0) {
        if (_armedOnce) {
            FileWatcher::shared().disarm(_identity);
        }
        ::close(descriptor);
    }
}

void FileHandle::noteRead(ssize_t got) {
    if (got == 0 && !_regularFile) {
        _atEnd = true;
    }
}

bool FileHandle::atEndOfFile() const {
    const int descriptor = fileDescriptor();
    if (descriptor < 0) {
        return true;
    }
    if (!_regularFile) {
        return _atEnd;
    }
    const auto queued = queuedBytes(descriptor, true);
    return queued && *queued == 0;
}

bool FileHandle::waitForData(std::chrono::milliseconds timeout) {
    const int descriptor = fileDescriptor();
    return descriptor >= 0 && waitReadable(descriptor, static_cast<int>(timeout.count())) > 0;
}

std::string FileHandle::availableData() {
    const int descriptor = fileDescriptor();
    if (descriptor < 0) {
        return {};
    }
    std::string data(readChunk, '\0');
    for (;;) {
        if (waitReadable(descriptor, -1) < 0) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        ssize_t got = readOnce(descriptor, data.data(), data.size());
        if (got == 0 && _regularFile && fileChanged(descriptor)) {
            ::lseek(descriptor, 0, SEEK_SET);  // the file shrank: start again
            got = readOnce(descriptor, data.data(), data.size());
        }
        if (got < 0) {
            if (wouldBlock(errno)) {
                continue;  // another reader took the bytes: wait again
            }
            throwReadError(errno);
        }
        noteRead(got);
        data.resize(static_cast<std::size_t>(got));
        return data;
    }
}

std::string FileHandle::readChunks(bool onlyWhatIsThere) {
    const int descriptor = fileDescriptor();
    std::string data;
    if (descriptor < 0) {
        return data;
    }
    // What is queued now bounds the read, when the system tells it.
    std::optional<std::size_t> left;
    if (onlyWhatIsThere) {
        left = queuedBytes(descriptor, _regularFile);
    }
    char buffer[readChunk];
    while (!left || *left > 0) {
        if (onlyWhatIsThere && !left && waitReadable(descriptor, 0) <= 0) {
            break;
        }
        const ssize_t got = readOnce(descriptor, buffer, left ? std::min(*left, sizeof buffer) : sizeof buffer);
        if (got < 0) {
            if (!wouldBlock(errno)) {
                throwReadError(errno);
            }
            if (onlyWhatIsThere) {
                break;
            }
            if (waitReadable(descriptor, -1) < 0) {
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            continue;
        }
        noteRead(got);
        if (got == 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(got));
        if (left) {
            *left -= static_cast<std::size_t>(got);
        }
    }
    return data;
}

std::string FileHandle::readAvailableNow() {
    return readChunks(true);
}

std::string FileHandle::readDataToEndOfFile() {
    return readChunks(false);
}

void FileHandle::waitForDataInBackgroundAndNotify() {
    const int descriptor = fileDescriptor();
    if (descriptor < 0 || _atEnd) {
        return;  // the end of a pipe is told once
    }
    _armedOnce = true;
    FileWatcher::shared().arm(shared_from_this(), descriptor);
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

std::uint64_t FileHandle::deliveredNotificationCount() {
    return deliveredNotifications.load();
}

void FileHandle::postDataAvailable() {
    if (_atEnd) {
        return;  // armed again before the end was read: the end was told already
    }
    // An observer that arms before it reads was armed while bytes were still unread, which it
    // then read itself: when nothing is there by now, the arming stands until something is.
    const int descriptor = fileDescriptor();
    if (descriptor < 0) {
        return;
    }
    if (_regularFile ? !fileChanged(descriptor) : waitReadable(descriptor, 0) == 0) {
        FileWatcher::shared().arm(shared_from_this(), descriptor);
        return;
    }
    ++deliveredNotifications;
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
