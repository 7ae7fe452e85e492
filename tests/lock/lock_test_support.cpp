#include "lock_test_support.h"

#include <csignal>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

extern char** environ;

namespace lock_testing {

Child::Child(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (posix_spawnp(&_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + command.front());
    }
}

Child::~Child() { end(); }

void Child::end() {
    if (_pid > 0) {
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
        _pid = -1;
    }
}

void Child::waitForExit() {
    if (_pid > 0) {
        waitpid(_pid, nullptr, 0);
        _pid = -1;
    }
}

pid_t goneProcessId() {
    Child child({"true"});
    pid_t pid = child.pid();
    child.waitForExit();
    return pid;
}

std::string record(pid_t pid, const std::string& name, const std::string& description) {
    return std::to_string(pid) + "\n" + name + "\n" + description;
}

}  // namespace lock_testing
