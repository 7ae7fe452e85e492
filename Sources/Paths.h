#pragma once

#include <string>

// The path relative to the anchor: the leading components both share are dropped, then one ".."
// per remaining component of the anchor, then the path's remaining components.
// "/a/b/c" relative to "/a/d" is "../b/c".
std::string stringWithPathRelativeTo(const std::string& path, const std::string& anchor);
