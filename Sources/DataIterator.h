#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Reads a byte buffer line by line; a line ends at a NUL or LF byte.
class DataIterator {
public:
    explicit DataIterator(std::string data) : _data(std::move(data)) {}

    void setToBegin() { startIndex = currentIndex = 0; }
    bool isEnd() const { return startIndex >= _data.size(); }
    // The next line as UTF-8 text (nullopt when its bytes are not UTF-8); call only while !isEnd().
    std::optional<std::string> nextLine();
    // The next line without white space and line ends at either end.
    std::optional<std::string> nextLineTrimmed();
    const std::string& data() const { return _data; }

    static void enumerateDataByLinesUsingBlock(const std::string& data,
                                               const std::function<void(const std::optional<std::string>&)>& block);
    static std::string trimmed(const std::string& text);

private:
    std::uint64_t startIndex = 0;
    std::uint64_t currentIndex = 0;
    std::string _data;
};
