#include "DataIterator.h"

namespace {

bool isValidUtf8(const std::string& text) {
    std::size_t index = 0;
    while (index < text.size()) {
        const auto lead = static_cast<unsigned char>(text[index]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || (length == 2 && lead < 0xC2) || index + length > text.size()) {
            return false;
        }
        for (std::size_t next = 1; next < length; ++next) {
            if ((static_cast<unsigned char>(text[index + next]) >> 6) != 0x2) {
                return false;
            }
        }
        index += length;
    }
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::optional<std::string> DataIterator::nextLine() {
    while (currentIndex < _data.size() && _data[currentIndex] != '\0' && _data[currentIndex] != '\n') {
        ++currentIndex;
    }
    std::string line = _data.substr(startIndex, currentIndex - startIndex);
    startIndex = currentIndex = currentIndex + 1;
    if (!isValidUtf8(line)) {
        return std::nullopt;
    }
    return line;
}

std::optional<std::string> DataIterator::nextLineTrimmed() {
    auto line = nextLine();
    if (line) {
        *line = trimmed(*line);
    }
    return line;
}

void DataIterator::enumerateDataByLinesUsingBlock(const std::string& data,
                                                  const std::function<void(const std::optional<std::string>&)>& block) {
    DataIterator iterator(data);
    while (!iterator.isEnd()) {
        block(iterator.nextLine());
    }
}

std::string DataIterator::trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}
