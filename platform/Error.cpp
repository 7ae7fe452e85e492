#include "platform/Error.h"

#include <cstring>

namespace platform {

Error::Error(std::string domain, long code, Info info)
    : _domain(std::move(domain)), _code(code), _info(std::move(info)) {}

Error Error::posix(int errnum, std::optional<std::string> failureReason) {
    Info info;
    info.localizedDescription = std::string(std::strerror(errnum));
    info.localizedFailureReason = std::move(failureReason);
    return Error("NSPOSIXErrorDomain", errnum, std::move(info));
}

std::string Error::localizedDescription() const {
    if (_info.localizedDescription) {
        return *_info.localizedDescription;
    }
    return "The operation couldn\u2019t be completed. (" + _domain + " error " + std::to_string(_code) + ".)";
}

std::string Error::description() const {
    std::string text = "Error Domain=" + _domain + " Code=" + std::to_string(_code) + " \"" +
                       (_info.localizedDescription ? *_info.localizedDescription : std::string("(null)")) + "\"";
    std::string userInfo;
    auto add = [&userInfo](const char* key, const std::optional<std::string>& value) {
        if (value) {
            userInfo += (userInfo.empty() ? "" : ", ") + std::string(key) + "=" + *value;
        }
    };
    add("NSLocalizedDescription", _info.localizedDescription);
    add("NSLocalizedFailureReason", _info.localizedFailureReason);
    add("NSLocalizedRecoverySuggestion", _info.localizedRecoverySuggestion);
    add("NSUnderlyingError", _info.underlyingError);
    if (!userInfo.empty()) {
        text += " UserInfo={" + userInfo + "}";
    }
    return text;
}

}  // namespace platform
