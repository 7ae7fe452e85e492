#include "platform/Process.h"

#include "platform/Thread.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <system_error>
#include <typeinfo>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

constexpr const char* invalidArgument = "NSInvalidArgumentException";

// The file actions of one launch; a child that could not be set up as asked is not started.
class FileActions {
public:
    FileActions() { check(::posix_spawn_file_actions_init(&_actions), "file actions"); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&_actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    void duplicate(int descriptor, int target) {
        check(::posix_spawn_file_actions_adddup2(&_actions, descriptor, target), "standard descriptor");
    }
    void closeFrom(int first) { check(::posix_spawn_file_actions_addclosefrom_np(&_actions, first), "closing descriptors"); }
    void changeDirectory(const std::string& path) {
        check(::posix_spawn_file_actions_addchdir_np(&_actions, path.c_str()), "working directory");
    }
    const posix_spawn_file_actions_t* get() const { return &_actions; }

private:
    static void check(int result, const char* what) {
        if (result != 0) {
            throw Exception(invalidArgument, std::string("launch failed: ") + what + ": " + std::strerror(result));
        }
    }
    posix_spawn_file_actions_t _actions;
};

// The descriptor at which the waiting shell holds the locked file.
constexpr int heldDescriptor = 3;
// The waiting shell: runs its arguments without the held file, waits, and ends with their status.
constexpr const char* waiterScript = "\"$@\" 3>&-; exit $?";

// An open description of `path` with a write lock on the whole file, closed with the object.
// Throws Exception when the file cannot be opened or locked.
class HeldFile {
public:
    explicit HeldFile(const std::string& path) : _descriptor(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC)) {
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (_descriptor < 0 || ::fcntl(_descriptor, F_OFD_SETLK, &whole) != 0) {
            const int error = errno;
            if (_descriptor >= 0) {
                ::close(_descriptor);
            }
            throw Exception(invalidArgument, "cannot lock " + path + ": " + std::strerror(error));
        }
    }
    ~HeldFile() { ::close(_descriptor); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    int descriptor() const { return _descriptor; }

private:
    int _descriptor;
};

// Spawn attributes: a session of its own, or nothing.
class Attributes {
public:
    explicit Attributes(bool ownSession) {
        ::posix_spawnattr_init(&_attributes);
        if (ownSession) {
            ::posix_spawnattr_setflags(&_attributes, POSIX_SPAWN_SETSID);
        }
    }
    ~Attributes() { ::posix_spawnattr_destroy(&_attributes); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    const posix_spawnattr_t* get() const { return &_attributes; }

private:
    posix_spawnattr_t _attributes;
};

}  // namespace

Exception::Exception(std::string name, std::string reason)
    : std::runtime_error(name + ": " + reason), _name(std::move(name)), _reason(std::move(reason)) {}

std::string Exception::description() const {
    return _reason;
}

Exception Exception::from(const std::exception& exception) {
    if (const auto* platformException = dynamic_cast<const Exception*>(&exception)) {
        return *platformException;
    }
    const char* mangled = typeid(exception).name();
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                                &std::free);
    return Exception(status == 0 && demangled ? demangled.get() : mangled, exception.what());
}

// What the child's reaper shares with the process object; outlives either of them as needed.
struct Process::State {
    std::mutex mutex;
    std::condition_variable ended;
    std::condition_variable spawned;
    pid_t child = 0;  // set once the spawn is done: the child's id, or -1 when none was started
    bool launched = false;
    bool terminateAtLaunch = false;  // asked to end before it was started
    bool exited = false;
    int status = 0;
    int pidfd = -1;  // readable once the child has ended; names no other process later
    TerminationHandler handler;
    ~State() {
        if (pidfd >= 0) {
            ::close(pidfd);
        }
    }
};

std::shared_ptr<Process> Process::create() {
    return std::shared_ptr<Process>(new Process());
}

Process::Process() : _state(std::make_shared<State>()) {}

Process::~Process() = default;

void Process::setTerminationHandler(TerminationHandler handler) {
    std::lock_guard lock(_state->mutex);
    _state->handler = std::move(handler);
}

void Process::launch() {
    {
        std::lock_guard lock(_state->mutex);
        if (_state->launched) {
            throw Exception(invalidArgument, "task already launched");
        }
    }
    struct stat info {};
    if (_launchPath.empty() || ::stat(_launchPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(_launchPath.c_str(), X_OK) != 0) {
        throw Exception(invalidArgument, "launch path not accessible");
    }
    if (_currentDirectory &&
        (::stat(_currentDirectory->c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        throw Exception(invalidArgument, "working directory doesn't exist.");
    }

    // With a held file the child is the waiting shell, which gets the file's locked description
    // as descriptor 3 and runs the program without it; this process's copy closes after the spawn.
    std::optional<HeldFile> held;
    std::vector<std::string> waiter;
    if (_ownSession && !_ownSession->empty()) {
        held.emplace(*_ownSession);
        waiter = {"/bin/sh", "-c", waiterScript, "sh"};
    }
    std::vector<char*> argv;
    for (auto& word : waiter) {
        argv.push_back(word.data());
    }
    argv.push_back(_launchPath.data());
    for (auto& argument : _arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> environment;
    if (_environment) {
        for (auto& entry : *_environment) {
            environment.push_back(entry.data());
        }
        environment.push_back(nullptr);
    }

    FileActions actions;
    if (_standardOutput) {
        actions.duplicate(_standardOutput->fileHandleForWriting()->fileDescriptor(), STDOUT_FILENO);
    }
    if (_standardError) {
        actions.duplicate(_standardError->fileHandleForWriting()->fileDescriptor(), STDERR_FILENO);
    }
    if (held) {
        actions.duplicate(held->descriptor(), heldDescriptor);
    }
    // Whatever else the installer holds open (its log, sockets, other pipes) stays with it, even
    // a descriptor that a library opened without close-on-exec.
    actions.closeFrom(held ? heldDescriptor + 1 : STDERR_FILENO + 1);
    if (_currentDirectory) {
        actions.changeDirectory(*_currentDirectory);
    }
    const Attributes attributes(_ownSession.has_value());

    // The reaper starts before the child: when no thread can be started, no child is left running
    // that nobody waits for. It learns the child's id, or that there is none, from the spawn.
    std::weak_ptr<Process> weakSelf = weak_from_this();
    try {
        startDetachedThread([state = _state, weakSelf] {
            pid_t pid = 0;
            {
                std::unique_lock lock(state->mutex);
                state->spawned.wait(lock, [&] { return state->child != 0; });
                pid = state->child;
            }
            if (pid > 0) {
                reap(state, pid, weakSelf);
            }
        });
    } catch (const std::system_error& error) {
        throw Exception(invalidArgument, std::string("launch failed: no thread to wait for the child: ") + error.what());
    }
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, argv.front(), actions.get(), attributes.get(), argv.data(),
                                     _environment ? environment.data() : environ);
    {
        // Opened before the reaper runs: the id still names this child.
        std::lock_guard lock(_state->mutex);
        _state->child = failed != 0 ? -1 : pid;
        if (failed == 0) {
            _state->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
            _state->launched = true;
            _pid = pid;
            if (_state->terminateAtLaunch) {
                signalChild(SIGTERM);
            }
        }
    }
    _state->spawned.notify_all();
    if (failed != 0) {
        throw Exception(invalidArgument, std::string("launch failed: ") + std::strerror(failed));
    }
    // Only the child writes now: the reader sees the end of output once the child is done.
    if (_standardOutput) {
        _standardOutput->fileHandleForWriting()->closeFile();
    }
    if (_standardError) {
        _standardError->fileHandleForWriting()->closeFile();
    }
}

void Process::reap(const std::shared_ptr<State>& state, pid_t pid, const std::weak_ptr<Process>& weakSelf) {
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    TerminationHandler handler;
    {
        std::lock_guard lock(state->mutex);
        state->exited = true;
        state->status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? WTERMSIG(raw) : raw;
        handler = std::move(state->handler);
    }
    state->ended.notify_all();
    if (handler) {
        if (auto self = weakSelf.lock()) {
            handler(*self);
        }
    }
}

void Process::terminate() {
    std::lock_guard lock(_state->mutex);
    if (_state->exited) {
        return;
    }
    if (!_state->launched) {
        // Whoever is about to launch it (another thread) must not start what was asked to end.
        _state->terminateAtLaunch = true;
        return;
    }
    signalChild(SIGTERM);
}

void Process::signalChild(int signal) {
    // Without a pidfd (none could be opened) the id is all there is, as it was.
    if (_state->pidfd < 0) {
        ::kill(_pid, signal);
        return;
    }
    ::syscall(SYS_pidfd_send_signal, _state->pidfd, signal, nullptr, 0);
}

void Process::waitUntilExit() {
    std::unique_lock lock(_state->mutex);
    _state->ended.wait(lock, [this] { return !_state->launched || _state->exited; });
}

Process::Output Process::launchAndReadToEnd(bool captureStandardError) {
    try {
        setStandardOutput(Pipe::create());
        if (captureStandardError) {
            setStandardError(Pipe::create());
        }
    } catch (const std::system_error& error) {
        throw Exception("NSFileHandleOperationException", error.what());
    }
    launch();
    Output output;
    const std::shared_ptr<FileHandle> readers[] = {
        _standardOutput->fileHandleForReading(),
        captureStandardError ? _standardError->fileHandleForReading() : nullptr};
    std::string* targets[] = {&output.standardOutput, &output.standardError};
    bool open[] = {true, captureStandardError};
    // A pipe that cannot be read is closed, so that the child is not stuck writing into it, and
    // the run fails once the child has ended.
    std::optional<std::string> readError;
    auto read = [&](int index, const std::function<std::string()>& reading) -> std::string {
        try {
            return reading();
        } catch (const std::system_error& error) {
            readError = error.what();
            open[index] = false;
            readers[index]->closeFile();
            return {};
        }
    };
    // Readable once the child has ended, so the wait needs no timer; without it, look every 50 ms.
    const int ended = _state->pidfd;
    bool running = true;
    while (running && (open[0] || open[1])) {
        pollfd entries[3];
        for (int index = 0; index < 2; ++index) {
            entries[index] = {open[index] ? readers[index]->fileDescriptor() : -1, POLLIN, 0};
        }
        entries[2] = {ended, POLLIN, 0};
        const int ready = ::poll(entries, 3, ended >= 0 ? -1 : 50);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        running = ended >= 0 ? entries[2].revents == 0 : (ready != 0 || isRunning());
        for (int index = 0; index < 2; ++index) {
            if (open[index] && (entries[index].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
                const std::string chunk = read(index, [&] { return readers[index]->availableData(); });
                open[index] = open[index] && !chunk.empty();
                *targets[index] += chunk;
            }
        }
    }
    // The child has ended; a descendant may still hold the pipes: take what is there now and go.
    for (int index = 0; index < 2; ++index) {
        if (open[index]) {
            *targets[index] += read(index, [&] { return readers[index]->readAvailableNow(); });
        }
    }
    waitUntilExit();
    if (readError) {
        throw Exception("NSFileHandleOperationException", *readError);
    }
    return output;
}

bool Process::isRunning() const {
    std::lock_guard lock(_state->mutex);
    return _state->launched && !_state->exited;
}

int Process::terminationStatus() const {
    std::lock_guard lock(_state->mutex);
    return _state->status;
}

}  // namespace platform
