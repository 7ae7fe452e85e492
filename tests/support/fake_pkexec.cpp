#include "support/fake_pkexec.h"

#include "platform/AppleScript.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

FakePkexec::FakePkexec(Behaviour behaviour) {
    const std::filesystem::path log = _dir.path() / "calls";
    std::string script = "#!/bin/sh\n(IFS='|'; printf '%s\\n' \"$*\") >> '" + log.string() + "'\n";
    switch (behaviour) {
        case Behaviour::Dismiss: script += "exit 126\n"; break;
        case Behaviour::Refuse: script += "echo 'Error executing command as another user: Not authorized' >&2\nexit 127\n"; break;
        case Behaviour::Authorise: script += "exec \"$@\"\n"; break;
        case Behaviour::AuthoriseWithoutRunning: script += "exec \"$1\" \"$2\" \"$3\" \"$4\" true \"$6\"\n"; break;
    }
    const std::filesystem::path program = _dir.path() / "pkexec";
    writeFile(program, script);
    ::chmod(program.c_str(), 0755);
    if (const char* path = std::getenv("PATH")) {
        _previousPath = path;
    }
    setenv("PATH", (_dir.path().string() + ":" + _previousPath.value_or("/usr/bin:/bin")).c_str(), 1);
    platform::AppleScript::setElevationForced(true);
}

FakePkexec::~FakePkexec() {
    platform::AppleScript::setElevationForced(std::nullopt);
    if (_previousPath) {
        setenv("PATH", _previousPath->c_str(), 1);
    } else {
        unsetenv("PATH");
    }
}

std::string FakePkexec::calls() const {
    return readFile(_dir.path() / "calls");
}

void PrintTo(Road road, std::ostream* out) {
    *out << (road == Road::Pkexec ? "Pkexec" : "Root");
}

std::optional<std::string> takeRoad(std::optional<FakePkexec>& pkexec, Road road, FakePkexec::Behaviour behaviour) {
    pkexec.reset();
    if (road == Road::Pkexec) {
        pkexec.emplace(behaviour);
    } else if (::geteuid() != 0) {
        return "only root runs administrator scripts directly";
    }
    return std::nullopt;
}

}  // namespace testing_support
