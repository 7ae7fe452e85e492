#include "DataIterator.h"

#include "platform/Utf8.h"

namespace {

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
    if (!platform::utf8::isValid(line)) {
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
