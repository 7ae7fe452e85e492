#pragma once

#include "platform/FileHandle.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// What the platform raises when a child cannot be started: a name and a reason.
class Exception : public std::runtime_error {
public:
    Exception(std::string name, std::string reason);
    const std::string& name() const { return _name; }
    const std::string& reason() const { return _reason; }
    // The reason, as the platform prints an exception.
    std::string description() const;
    // Any exception in this form: an Exception as it is, any other named by its type (such as
    // "std::system_error") with its message as the reason.
    static Exception from(const std::exception& exception);

private:
    std::string _name;
    std::string _reason;
};

// A child process, configured and then launched once. Whatever is not set is inherited from
// the installer: environment, working directory, standard input, output and error. No other
// descriptor of the installer reaches the child: it gets descriptors 0, 1 and 2 only. Signals go
// through the child's pidfd, so they never reach a process that took its id after its end.
class Process : public std::enable_shared_from_this<Process> {
public:
    using TerminationHandler = std::function<void(Process&)>;

    // What a child wrote to its standard output and error.
    struct Output {
        std::string standardOutput;
        std::string standardError;
    };

    static std::shared_ptr<Process> create();
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void setLaunchPath(std::string path) { _launchPath = std::move(path); }
    const std::string& launchPath() const { return _launchPath; }
    void setArguments(std::vector<std::string> arguments) { _arguments = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return _arguments; }
    void setCurrentDirectoryPath(std::string path) { _currentDirectory = std::move(path); }
    // The child's standard output goes into the pipe; the installer's copy of the writing end
    // is closed at launch, so the reading end sees the end of output when the child is done.
    void setStandardOutput(std::shared_ptr<Pipe> pipe) { _standardOutput = std::move(pipe); }
    // The same for standard error; it may be the standard output's pipe.
    void setStandardError(std::shared_ptr<Pipe> pipe) { _standardError = std::move(pipe); }
    // Entries "NAME=value"; unset, the installer's environment is inherited.
    void setEnvironment(std::vector<std::string> environment) { _environment = std::move(environment); }
    // The child starts in a session of its own: no terminal, none of the installer's process
    // group, so it goes on when the installer ends. When `heldFile` is named, the process
    // launched is a waiting /bin/sh in that session, which holds an open-file-description write
    // lock (F_OFD_SETLK) on the file while it runs the child (without that descriptor, so the
    // child's descendants never hold it) and ends with the child's exit status (128 + the
    // signal's number when a signal ended it). launch() throws Exception when it cannot lock the file.
    void setSessionOfItsOwn(std::string heldFile) { _ownSession = std::move(heldFile); }
    // Called once, on a background thread, when the child has ended.
    void setTerminationHandler(TerminationHandler handler);

    // Starts the child. Throws Exception when the launch path cannot be run, when the working
    // directory does not exist, when no thread can be started to wait for the child (none is
    // started then), or when the process is launched twice.
    void launch();
    // Sends SIGTERM to the child (with a held file: to its waiting shell); does nothing after its
    // end. Before launch (from another thread, say, while this one is about to launch it), the
    // child gets SIGTERM as soon as it has been started.
    void terminate();
    void waitUntilExit();
    // Launches the child with a new pipe as standard output (and one as standard error when
    // asked; otherwise standard error is inherited), reads them while it runs and waits for its
    // end, blocking the caller. Once the child has ended, what is left in the pipes is taken and
    // a descendant still holding them open is not waited for. Throws Exception as launch() does,
    // when no pipe can be made, and (after the child's end) when a pipe could not be read.
    Output launchAndReadToEnd(bool captureStandardError);

    bool isRunning() const;
    pid_t processIdentifier() const { return _pid; }
    // The exit status, or the number of the signal that ended the child.
    int terminationStatus() const;

private:
    struct State;
    Process();
    // On the reaper's thread: waits for the child's end, notes it and calls the handler.
    static void reap(const std::shared_ptr<State>& state, pid_t pid, const std::weak_ptr<Process>& weakSelf);
    // Signals the launched child; with the state's lock held.
    void signalChild(int signal);

    std::string _launchPath;
    std::vector<std::string> _arguments;
    std::optional<std::string> _currentDirectory;
    std::shared_ptr<Pipe> _standardOutput;
    std::shared_ptr<Pipe> _standardError;
    std::optional<std::vector<std::string>> _environment;
    std::optional<std::string> _ownSession;
    pid_t _pid = 0;
    std::shared_ptr<State> _state;
};

}  // namespace platform
