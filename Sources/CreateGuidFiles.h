#pragma once

#include <string>

// Writes the identity files of the application-support folder at start-up, on the main thread:
// "installid.dat" on every run, "hwid.dat" only on the first. Each reports its outcome in the log.
class CreateGuidFiles {
public:
    CreateGuidFiles() = delete;

    // Replaces "installid.dat" with the id, as UTF-8 text without a line end.
    static void createInstallIdFile(const std::string& installId);
    // Writes "hwid.dat" when it is absent or empty; an existing id stays. An empty id is never written.
    static void createHwIdFile(const std::string& hardwareId);
};
