// Must not build: platform/detail/ is the platform layer's own.
#include "platform/detail/Curl.h"
