#include "Logger/Cpp/mdc_parameter.h"

namespace Cpp {

const std::map<MdcParameter, std::string> mdcParameterNames = {
    {MdcParameter::UNDEFINED, "UNDEFINED"},
    {MdcParameter::emulatorId, "emulatorId"},
    {MdcParameter::installationId, "installationId"},
    {MdcParameter::version, "version"},
    {MdcParameter::process, "process"},
};

}  // namespace Cpp
