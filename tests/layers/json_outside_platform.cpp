// Must not build: the installer reads JSON only through platform/Json.h.
#include <nlohmann/json.hpp>
