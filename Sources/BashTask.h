#pragma once

#include "BashTaskDelegate.h"
#include "Task.h"
#include "platform/FileHandle.h"
#include "platform/Process.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One child program as an installation step: runs it, splits its standard output into lines
// for the line observer and reports its end. Create it with std::make_shared: the child's
// reports find the step through a weak reference. execute (checked in debug builds) and invalidate
// belong to the main thread, where every report arrives: lines, then exactly one end
// report (from inside execute when the child cannot be started; otherwise at its exit, followed
// by onTerminate).
class BashTask : public Task {
public:
    // Stores the path and the arguments after the quoting rule made for the batch's shell text:
    // an argument already in double quotes, or one starting with a hyphen, stays as it is;
    // every other one gets a double quote before and after. Nothing inside is escaped.
    BashTask(const std::string& launchPath, const std::vector<std::string>& arguments);

    // Runs a child to its end and returns all of its standard output (nullopt when it cannot be
    // started). The arguments go unchanged; the exit status is not looked at.
    static std::optional<std::string> executeWithPath(const std::string& path, const std::vector<std::string>& arguments,
                                                      const std::optional<std::string>& currentDirectory = std::nullopt);
    // The same for a child configured but not yet launched.
    static std::optional<std::string> executeToEnd(const std::shared_ptr<platform::Process>& process);

    // Task
    void execute() override;
    void invalidate() override;
    double totalProgress() override { return _estimated; }
    std::string status() override { return "Executing script..."; }
    bool knownRemainingTime() override { return false; }

    const std::string& name() const { return _name; }
    void setName(const std::string& name) { _name = name; }
    const std::string& path() const { return _path; }
    void setPath(const std::string& path) { _path = path; }
    const std::vector<std::string>& arguments() const { return _arguments; }
    // Stored unchanged: no quoting.
    void setArguments(const std::vector<std::string>& arguments) { _arguments = arguments; }
    double estimated() const { return _estimated; }
    void setEstimated(double estimated) { _estimated = estimated; }
    BashTaskDelegate* bashDelegate() const { return _bashDelegate; }
    void setBashDelegate(BashTaskDelegate* delegate) { _bashDelegate = delegate; }
    const std::shared_ptr<platform::Process>& task() const { return _task; }

protected:
    // The integer at the start of the text after white space, or nullopt.
    static std::optional<long long> leadingInteger(const std::string& text);

private:
    std::string joinedArguments() const;
    std::string readOutput(const std::function<std::string()>& read);
    void handleDataAvailable(platform::FileHandle& handle);
    void splitIntoLines(const std::string& data);
    void handleTermination(int status);

    std::string lastDataReceived;
    std::shared_ptr<platform::Process> _task;
    std::string _name;
    std::string _path;
    std::vector<std::string> _arguments;
    double _estimated = 0;
    BashTaskDelegate* _bashDelegate = nullptr;
    std::shared_ptr<platform::FileHandle> _output;
    std::optional<platform::FileHandle::ObserverToken> _observer;
};
