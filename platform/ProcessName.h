#pragma once

#include <string>
#include <sys/types.h>

namespace platform {

// The short name the kernel keeps for a running process (what `ps -o comm` shows), at most
// 99 bytes; empty when no such process exists or its name cannot be read.
std::string processName(pid_t pid);

}  // namespace platform
