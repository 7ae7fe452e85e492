#pragma once

#include "platform/Error.h"

#include <filesystem>
#include <optional>

namespace platform {

// Moves a file into place: a rename where both lie on one file system, else a copy to a
// temporary name beside the target, a rename over the target and the removal of the source.
// Runs on the calling thread; returns the error when the file did not arrive whole.
std::optional<Error> moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes the regular file or the link (not what it points to) at `path`; a folder is never
// removed. False when there was no file or link there; `error` is set when the removal failed.
bool removeFileOrLink(const std::filesystem::path& path, std::optional<Error>& error);

// Makes sure `folder` is a folder of the calling user's own that no one else may enter: created
// with mode 0700 when missing; refused, and left as it is, when it is a link, someone else's,
// grants any right to group or others, or holds anything that is not the user's. With `narrow`,
// a folder of the user's own that grants such rights is narrowed to 0700 (through the opened
// folder, so the one checked is the one narrowed) instead of refused.
bool ensurePrivateDirectory(const std::filesystem::path& folder, bool narrow = false);

// True when no one but the calling user and root can rename or replace the absolute `folder` or
// any folder on its way from "/": each is a folder (not a link) of one of them, and a folder that
// others may write to keeps its entries to their owners (the sticky bit).
bool isReplaceableOnlyByUser(const std::filesystem::path& folder);

// True when `path` is a regular file (not a link) of the calling user's own.
bool isOwnRegularFile(const std::filesystem::path& path);

}  // namespace platform
