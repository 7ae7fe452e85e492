#include "lock_test_support.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace lock_testing {

Child::Child(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int failed = posix_spawnp(&_pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + command.front());
    }
    // The spawn returns once the child has its new program, but the kernel names the process a
    // moment later; a test that reads the holder's name must see the program's, not ours.
    const std::string expected = std::filesystem::path(command.front()).filename().string().substr(0, 15);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string name;
        std::ifstream comm("/proc/" + std::to_string(_pid) + "/comm");
        if (!comm || !std::getline(comm, name) || name == expected) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
