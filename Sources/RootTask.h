#pragma once

#include "BashTask.h"
#include "Task.h"
#include "platform/AppleScript.h"
#include "platform/Error.h"
#include "platform/FileHandle.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The administrator batch: its child steps run as one shell text with administrator rights, so
// the password is asked for once, while the scripts' writes to "progress_catcher.log" become the
// step's progress.
//
// execute(), totalProgress() and the progress handler run on the main thread. The batch runs on
// one global-queue worker; its one report (executionFinishedOfTask or taskFinishedWithError) is
// queued to the main queue, and on a failure the worker has sent the statistics action before it
// queues the end handler and the report (execute() does all of it when no worker can be started).
// Exit status 33 reports nothing: it ends the installer. Create with std::make_shared.
class RootTask : public Task {
public:
    using ActionSender = std::function<void(std::int64_t)>;

    RootTask();

    // Steps are added before execute(); the batch only reads their name, path, arguments and weight.
    void addBashTask(std::shared_ptr<BashTask> task) { tasks.push_back(std::move(task)); }
    const std::vector<std::shared_ptr<BashTask>>& bashTasks() const { return tasks; }

    // Task
    void execute() override;
    // A started batch cannot be stopped.
    void invalidate() override {}
    // The sum of the steps' weights, worked out once at the first call that finds it non-zero.
    double totalProgress() override;
    std::string status() override { return "Installing..."; }
    bool knownRemainingTime() override { return false; }

    double estimatedTotal() const { return _estimatedTotal; }
    void setEstimatedTotal(double estimatedTotal) { _estimatedTotal = estimatedTotal; }

    // The script that execute() runs: "do shell script" with the steps' shell text. Values are
    // escaped for the shell and then for the script, so that the shell takes them literally.
    std::string scriptSource() const;

    // "progress_catcher.log" in the logs folder, where the batch's scripts report their progress.
    static std::filesystem::path progressCatcherPath();

    // Handler of the progress file's data notifications.
    void getTaskProggress(platform::FileHandle& handle);

    // The user whose folder holds "progress.log": the batch appends to it with this user's rights
    // alone. The installer's own user unless replaced (tests).
    struct User {
        uid_t uid;
        gid_t gid;
    };
    void setUser(User user) { _user = user; }

    // Where statistics actions go: the statistics facade unless replaced (tests).
    void setActionSender(ActionSender sender) { _sendAction = std::move(sender); }
    // Runs once on the main thread when the batch's shell has ended, before the report (also
    // after status 33, which has none). Set before execute().
    void setEndHandler(std::function<void()> handler) { _onEnd = std::move(handler); }
    // The lock file that the batch's waiting process holds while the shell runs, so that the
    // lock stays taken when the installer has gone and frees when the shell ends. Before execute().
    void setLockFilePath(std::string path) { _lockFilePath = std::move(path); }

private:
    void run(const platform::AppleScript& script);
    // The batch's end, whatever thread saw it: the action, then the end handler and the report.
    void end(const std::optional<std::string>& output, const platform::AppleScript::ErrorInfo& info,
             const std::string& source);
    platform::Error failureFor(const platform::AppleScript::ErrorInfo& info) const;

    std::vector<std::shared_ptr<BashTask>> tasks;
    double _estimatedTotal = 0;
    ActionSender _sendAction;
    User _user;
    std::function<void()> _onEnd;
    std::string _lockFilePath;
    std::shared_ptr<platform::FileHandle> _progressFile;
    std::string _unfinishedProgress;  // the start of a line cut by the previous read
};
