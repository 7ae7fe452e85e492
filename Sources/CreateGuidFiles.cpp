#include "CreateGuidFiles.h"

#include "Logger/Logger.h"
#include "platform/Paths.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Creates the file empty, then writes the id into it through a temporary file renamed over it.
void createIdFile(const fs::path& path, const std::string& id, const char* createdFormat) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (!std::ofstream(path, std::ios::binary | std::ios::trunc)) {
        Logger::shared().logError("Cannot creat file %@", path);
        return;
    }
    Logger::shared().logInfo(createdFormat, path, id);
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << id;
        if (!out.flush()) {
            fs::remove(temporary, error);
            return;
        }
    }
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
    }
}

}  // namespace

void CreateGuidFiles::createInstallIdFile(const std::string& installId) {
    createIdFile(platform::paths::applicationSupportDirectory() / "installid.dat", installId,
                 "Created file %@ whith installId: %@");
}

void CreateGuidFiles::createHwIdFile(const std::string& hardwareId) {
    const fs::path path = platform::paths::applicationSupportDirectory() / "hwid.dat";
    std::error_code error;
    // An empty file is no id: it would leave every later run without one.
    if (hardwareId.empty() || (fs::exists(path, error) && fs::file_size(path, error) > 0 && !error)) {
        return;
    }
    createIdFile(path, hardwareId, "Created file %@ whith hardwareId: %@");
}
