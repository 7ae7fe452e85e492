#error "nlohmann-json is used only inside platform/: read JSON through platform/Json.h"
