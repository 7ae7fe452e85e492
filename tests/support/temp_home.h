#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

// A fresh temporary folder that is removed again when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return _path; }

private:
    std::filesystem::path _path;
};

// Points $HOME at a fresh temporary folder for its lifetime, so the installer's
// application-support files go there.
class TempHome {
public:
    TempHome();
    ~TempHome();

    const std::filesystem::path& path() const { return _dir.path(); }

private:
    TempDir _dir;
    std::optional<std::string> _previous;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

}  // namespace testing_support
