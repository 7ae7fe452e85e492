#pragma once

#include "support/temp_home.h"

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

// A stand-in "pkexec" first on PATH, with administrator scripts forced through it even as root,
// for its lifetime. Every call is noted in calls().
class FakePkexec {
public:
    enum class Behaviour {
        Dismiss,                  // the prompt is dismissed: exit 126
        Refuse,                   // not authorised: a message and exit 127
        Authorise,                // runs what it is given
        AuthoriseWithoutRunning,  // runs the shell it is given, but with "true" as the text
    };

    explicit FakePkexec(Behaviour behaviour);
    ~FakePkexec();
    FakePkexec(const FakePkexec&) = delete;
    FakePkexec& operator=(const FakePkexec&) = delete;

    // One line per call: the arguments it was given, separated by "|".
    std::string calls() const;

private:
    TempDir _dir;
    std::optional<std::string> _previousPath;
};

}  // namespace testing_support
