#include "platform/FileManager.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace platform {

namespace fs = std::filesystem;

namespace {

// Copies the bytes of one open file to another; errno is left set on failure.
bool copyBytes(int in, int out) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            done += put;
        }
    }
}

std::optional<Error> copyAcross(const fs::path& from, const fs::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return Error::posix(errno);
    }
    const fs::path staging = to.string() + ".moving";
    ::unlink(staging.c_str());
    const int out = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int saved = errno;
        ::close(in);
        return Error::posix(saved);
    }
    const bool copied = copyBytes(in, out);
    int failure = copied ? 0 : errno;
    ::close(in);
    if (::close(out) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && ::rename(staging.c_str(), to.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(staging.c_str());
        return Error::posix(failure);
    }
    ::unlink(from.c_str());
    return std::nullopt;
}

}  // namespace

std::optional<Error> moveItem(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) {
        return std::nullopt;
    }
    if (errno != EXDEV) {
        return Error::posix(errno);
    }
    return copyAcross(from, to);
}

bool removeFileOrLink(const fs::path& path, std::optional<Error>& error) {
    struct stat facts {};
    if (::lstat(path.c_str(), &facts) != 0 || !(S_ISREG(facts.st_mode) || S_ISLNK(facts.st_mode))) {
        return false;
    }
    if (::unlink(path.c_str()) != 0) {
        error = Error::posix(errno);
    }
    return true;
}

bool ensurePrivateDirectory(const fs::path& folder, bool narrow) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // Checked through the opened folder, so that what is checked is what is listed.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat facts {};
    bool own = ::fstat(fd, &facts) == 0 && facts.st_uid == ::geteuid();
    if (own && (facts.st_mode & 077) != 0) {
        own = narrow && ::fchmod(fd, 0700) == 0;
    }
    if (!own) {
        ::close(fd);
        return false;
    }
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return false;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat item {};
        if (::fstatat(fd, entry->d_name, &item, AT_SYMLINK_NOFOLLOW) != 0) {
            own = errno == ENOENT;  // gone meanwhile: nothing of anyone's
        } else {
            own = item.st_uid == ::geteuid();
        }
        if (!own) {
            break;
        }
    }
    ::closedir(listing);
    return own;
}

bool isReplaceableOnlyByUser(const fs::path& folder) {
    const auto trusted = [](const struct stat& facts) { return facts.st_uid == 0 || facts.st_uid == ::geteuid(); };
    struct stat above {};
    if (!folder.is_absolute() || ::lstat("/", &above) != 0 || !trusted(above)) {
        return false;
    }
    fs::path walked = "/";
    for (const auto& step : folder.relative_path()) {
        if (step.empty()) {
            continue;  // after a trailing slash
        }
        if (step == "." || step == "..") {
            return false;
        }
        walked /= step;
        struct stat facts {};
        if (::lstat(walked.c_str(), &facts) != 0 || !S_ISDIR(facts.st_mode) || !trusted(facts)) {
            return false;
        }
        if ((above.st_mode & 022) != 0 && (above.st_mode & S_ISVTX) == 0) {
            return false;  // anyone who may write there may rename this step away
        }
        above = facts;
    }
    return true;
}

bool isOwnRegularFile(const fs::path& path) {
    struct stat facts {};
    return ::lstat(path.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_uid == ::geteuid();
}

}  // namespace platform
