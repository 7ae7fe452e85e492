#pragma once

#include <map>
#include <string>

namespace Cpp {

// The identity values of a run that go into the logging context of the main thread.
enum class MdcParameter {
    UNDEFINED = 0,
    emulatorId = 1,
    installationId = 2,
    version = 3,
    process = 4,
};

// The context key of every parameter.
extern const std::map<MdcParameter, std::string> mdcParameterNames;

}  // namespace Cpp
