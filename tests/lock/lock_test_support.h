#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace lock_testing {

// A child process started from PATH; killed and reaped when the object goes away.
class Child {
public:
    explicit Child(const std::vector<std::string>& command);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return _pid; }
    // Kills the child and waits for it; its id names no process afterwards.
    void end();
    // Waits until the child ends by itself.
    void waitForExit();

private:
    pid_t _pid = -1;
};

// The id of a process that has just ended.
pid_t goneProcessId();

// "%d\n%s\n%s", as the lock functions write a record.
std::string record(pid_t pid, const std::string& name, const std::string& description);

}  // namespace lock_testing
