#pragma once

#include "support/temp_home.h"

#include <gtest/gtest.h>

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

// The two roads of an administrator script: through pkexec, which every user can test with the
// fake one, and as root directly, which only root can take.
enum class Road { Pkexec, Root };

// Names the test instances (testing::PrintToStringParamName()).
void PrintTo(Road road, std::ostream* out);
// Administrator scripts take `road` while `pkexec` holds what it needs: the fake pkexec with
// `behaviour`, or nothing for root. Returns why this user cannot take the road, when it cannot.
std::optional<std::string> takeRoad(std::optional<FakePkexec>& pkexec, Road road,
                                    FakePkexec::Behaviour behaviour = FakePkexec::Behaviour::Authorise);

// A test run on each road, through the fake pkexec or as root; for any other user the root road
// is skipped with its reason.
class OnEachRoad : public testing::TestWithParam<Road> {
protected:
    void SetUp() override {
        if (const auto reason = takeRoad(pkexec, GetParam())) {
            GTEST_SKIP() << *reason;
        }
    }
    std::optional<FakePkexec> pkexec;
};

}  // namespace testing_support
