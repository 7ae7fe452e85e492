#include "platform/DownloadSession.h"

#include "platform/Dispatch.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/RunLoop.h"
#include "platform/detail/Curl.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long unknownCode = -1;
constexpr long cancelledCode = -999;
constexpr long badServerResponseCode = -1011;
constexpr long timedOutCode = -1001;
constexpr auto progressInterval = std::chrono::milliseconds(33);
// A record is a few hundred bytes; a longer file is not one of ours.
constexpr off_t recordLimit = 64 << 10;

Error urlError(long code, const std::string& description) {
    Error::Info info;
    info.localizedDescription = description;
    return Error("NSURLErrorDomain", code, std::move(info));
}

Error cancelledError() {
    return urlError(cancelledCode, "cancelled");
}

Error badServerResponse(long status) {
    return urlError(badServerResponseCode, "The server answered with status " + std::to_string(status));
}

// Letters, digits, '-', '_' and inner dots stay; every other byte becomes "%XX", so two
// identifiers never share a file and none names a folder or climbs out of one.
std::string safeFileName(const std::string& identifier) {
    static const char hex[] = "0123456789ABCDEF";
    std::string name;
    for (std::size_t index = 0; index < identifier.size(); ++index) {
        const auto c = static_cast<unsigned char>(identifier[index]);
        const bool plain = std::isalnum(c) != 0 || c == '-' || c == '_' || (c == '.' && index > 0);
        if (plain) {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 0xF];
        }
    }
    return name.empty() ? "%" : name;
}

// Writes all the bytes at `at`; 0, or the errno of the write that failed.
int writeAt(int fd, const char* data, std::size_t size, off_t at) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::pwrite(fd, data + done, size - done, at + static_cast<off_t>(done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(put);
    }
    return 0;
}

// Members of a record read by their type: one of another type, or out of range, is absent.
std::string stringMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get_ref<const std::string&>() : std::string();
}

bool isTrue(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

std::optional<std::int64_t> byteCount(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return std::nullopt;
    }
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(value);
        }
    }
    return std::nullopt;  // negative, fractional or not a number
}

// What a transfer left behind: enough to ask the server for the rest and to know it is the same file.
struct Record {
    std::string url;
    std::string etag;
    std::string lastModified;
    bool acceptRanges = false;
    std::optional<std::int64_t> bytes;  // the partial file's length when the record was written

    std::string text(std::int64_t length) const {
        // A header that is not UTF-8 is written with replacement characters rather than thrown
        // over: it then never matches, and the server sends the whole file again.
        return nlohmann::json{{"url", url},
                              {"etag", etag},
                              {"lastModified", lastModified},
                              {"acceptRanges", acceptRanges},
                              {"bytes", length}}
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    static std::optional<Record> parse(const std::string& text) {
        const auto json = nlohmann::json::parse(text, nullptr, false);
        if (json.is_discarded() || !json.is_object()) {
            return std::nullopt;
        }
        Record record;
        record.url = stringMember(json, "url");
        record.etag = stringMember(json, "etag");
        record.lastModified = stringMember(json, "lastModified");
        record.acceptRanges = isTrue(json, "acceptRanges");
        record.bytes = byteCount(json, "bytes");
        if (record.url.empty()) {
            return std::nullopt;
        }
        return record;
    }
    // The value for If-Range: a strong entity tag, else the modification date.
    std::string validator() const {
        if (!etag.empty() && !etag.starts_with("W/")) {
            return etag;
        }
        return lastModified;
    }
    // Without a validator a changed file would be joined to the old one's first part.
    bool resumable() const { return acceptRanges && !validator().empty(); }
};

// The length of the regular file of the user's own at `path`; -1 for anything else there (a link,
// a folder, a pipe), which is no partial file of ours.
std::int64_t ownFileLength(const fs::path& path) {
    struct stat facts {};
    const bool own = ::lstat(path.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_uid == ::geteuid();
    return own ? static_cast<std::int64_t>(facts.st_size) : -1;
}

// "HTTP/<digit>[.<digit>]", blanks, and a three-digit code that ends the line or is followed by a
// blank. (libcurl takes a line that begins with "HTTP/" but does not parse for a 200 without length.)
bool readableStatusLine(const std::string& line) {
    std::size_t at = 5;  // after "HTTP/"
    const auto digit = [&line, &at] {
        return at < line.size() && std::isdigit(static_cast<unsigned char>(line[at++])) != 0;
    };
    if (!digit()) {
        return false;
    }
    if (at < line.size() && line[at] == '.') {
        ++at;
        if (!digit()) {
            return false;
        }
    }
    if (at >= line.size() || line[at] != ' ') {
        return false;
    }
    at = line.find_first_not_of(' ', at);
    if (!digit() || !digit() || !digit()) {
        return false;
    }
    return at == line.size() || line[at] == ' ' || line[at] == '\t' || line[at] == '\r' || line[at] == '\n';
}

// A new private folder for one session, inside the run's own folder (which goes when the process
// exits); empty when none could be made.
fs::path makeFreshFolder() {
    std::string name = runDirectory() + "/.downloading-XXXXXX";
    return ::mkdtemp(name.data()) != nullptr ? fs::path(name) : fs::path();
}

// Whether the user's folder can serve: absent (it is made), the user's own and private (a folder
// too open is narrowed), or something of the user's own that is no folder (replaced on use).
// Someone else's, or a folder that holds something of theirs, is never used.
bool servesAsOwnFolder(const fs::path& folder) {
    struct stat facts {};
    if (::lstat(folder.c_str(), &facts) != 0) {
        return true;
    }
    return facts.st_uid == ::geteuid() && (!S_ISDIR(facts.st_mode) || ensurePrivateDirectory(folder, true));
}

struct HeaderListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListCleanup>;

}  // namespace

struct DownloadTask::Progress {
    std::atomic<int> state{static_cast<int>(State::Suspended)};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> postPending{false};
    std::atomic<std::int64_t> total{0};
    std::atomic<std::int64_t> expected{-1};
    std::int64_t delivered = 0;  // main thread only
};

struct DownloadTask::Shared : std::enable_shared_from_this<DownloadTask::Shared> {
    DownloadSession::Configuration configuration;
    DownloadSessionDelegate* delegate = nullptr;  // main thread only
    std::atomic<bool> invalidated{false};
    std::vector<std::weak_ptr<DownloadTask>> tasks;  // main thread only
    const DownloadTask* live = nullptr;              // main thread only: the one task that runs
    fs::path folder;
    bool freshFolder = false;  // made for this session alone, removed with it
    std::string fileName;
    std::int64_t statedLength = -1;  // transfer thread only, once the session is made

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<DownloadTask>> queue;
    bool stopping = false;
    std::thread worker;

    fs::path partPath() const { return folder / (fileName + ".part"); }
    fs::path recordPath() const { return folder / (fileName + ".json"); }
    fs::path donePath() const { return folder / (fileName + ".download"); }
    std::int64_t partLength() const { return ownFileLength(partPath()); }

    // Every length stated for the file in this session is the same one: the first stated (the
    // expected one, else an answer's) sets it; false for a length that contradicts it.
    bool agrees(std::int64_t length) {
        if (statedLength < 0) {
            statedLength = length;
        }
        return length == statedLength;
    }
    std::shared_ptr<DownloadTask> find(const DownloadTask& task) const {
        for (const auto& weak : tasks) {
            if (auto found = weak.lock(); found && found.get() == &task) {
                return found;
            }
        }
        return nullptr;
    }
    void enqueue(std::shared_ptr<DownloadTask> task) {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(task));
        wake.notify_one();
    }
    class Exchange;
    struct Start;
    enum class Ending { Finished, StartOver, Cancelled, Failed };
    void run();
    void transfer(const std::shared_ptr<DownloadTask>& task);
    Start startingPoint(const DownloadTask& task);
    void keepForRetry(const std::shared_ptr<DownloadTask>& task, const Record& record, const Error& failure);
    void deliver(const std::shared_ptr<DownloadTask>& task);

    // Delivers an event on the main thread unless the session was invalidated by then.
    void post(std::function<void(DownloadSessionDelegate&)> event) {
        dispatch::asyncMain([weak = weak_from_this(), event = std::move(event)] {
            const auto self = weak.lock();
            if (self && !self->invalidated && self->delegate != nullptr) {
                event(*self->delegate);
            }
        });
    }
    // On the main thread, as a task's completion is delivered: the session may run another.
    void settle(DownloadTask& task) {
        task._progress->state = static_cast<int>(State::Completed);
        if (live == &task) {
            live = nullptr;
        }
    }
    void postProgress(const std::shared_ptr<DownloadTask>& task) {
        post([task](DownloadSessionDelegate& receiver) {
            auto& progress = *task->_progress;
            progress.postPending = false;
            const std::int64_t total = progress.total;
            if (total != progress.delivered) {
                const std::int64_t step = total - progress.delivered;
                progress.delivered = total;
                receiver.downloadTaskDidWriteData(*task, step, total, progress.expected);
            }
        });
    }
    // At most one progress event waits on the main queue at a time.
    void noteProgress(const std::shared_ptr<DownloadTask>& task) {
        if (!task->_progress->postPending.exchange(true)) {
            postProgress(task);
        }
    }
    void postResumed(const std::shared_ptr<DownloadTask>& task, std::int64_t offset, std::int64_t expected) {
        post([task, offset, expected](DownloadSessionDelegate& receiver) {
            receiver.downloadTaskDidResumeAtOffset(*task, offset, expected);
        });
    }
    void postCompletion(const std::shared_ptr<DownloadTask>& task, std::optional<Error> error,
                        std::optional<std::string> resumeData) {
        post([weak = weak_from_this(), task, error = std::move(error),
              resumeData = std::move(resumeData)](DownloadSessionDelegate& receiver) {
            if (const auto self = weak.lock()) {
                self->settle(*task);
            }
            receiver.taskDidCompleteWithError(*task, error, resumeData);
        });
    }
    void postDiscarded(const std::string& reason) {
        post([reason](DownloadSessionDelegate& receiver) { receiver.downloadSessionDidDiscardRecord(reason); });
    }

    // The record's text: nothing when there is no record, empty when what is there is no file
    // of a record's size.
    std::optional<std::string> readRecordText() const {
        const int fd = ::open(recordPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            return errno == ENOENT ? std::nullopt : std::optional<std::string>(std::string());
        }
        std::string text;
        struct stat facts {};
        if (::fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_size <= recordLimit) {
            text.resize(static_cast<std::size_t>(facts.st_size));
            const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
            text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        }
        ::close(fd);
        return text;
    }
    // The record of the partial file when the transfer (of `url`, when given) can go on from it.
    // A record that cannot, whatever the reason, goes with its partial file, and is reported.
    std::optional<Record> resumableRecord(const std::string* url) {
        const auto text = readRecordText();
        if (!text) {
            discard();  // a partial file without its record cannot be trusted
            return std::nullopt;
        }
        auto record = Record::parse(*text);
        const std::int64_t length = partLength();
        if (record && record->resumable() && record->bytes && length > 0 && *record->bytes <= length &&
            (url == nullptr || record->url == *url)) {
            return record;
        }
        discard();
        postDiscarded(recordPath().string() + " cannot be resumed");
        return std::nullopt;
    }
    // Written aside and renamed over, so a killed process leaves the old record or the new one.
    // A record that cannot be written goes, with the old one, so no run trusts a stale one.
    bool writeRecord(const Record& record, std::int64_t bytes) {
        const fs::path staging = recordPath().string() + ".new";
        const std::string text = record.text(bytes);
        ::unlink(staging.c_str());
        int failure = 0;
        const int fd = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            failure = errno;
        } else {
            failure = writeAt(fd, text.data(), text.size(), 0);
            if (::close(fd) != 0 && failure == 0) {
                failure = errno;
            }
        }
        if (failure == 0 && ::rename(staging.c_str(), recordPath().c_str()) != 0) {
            failure = errno;
        }
        if (failure == 0) {
            return true;
        }
        ::unlink(staging.c_str());
        ::unlink(recordPath().c_str());
        postDiscarded(recordPath().string() + " could not be written: " + Error::posix(failure).localizedDescription());
        return false;
    }
    // Whatever is there goes: a folder or a link in the place of a file would fail every later run.
    void discard() const {
        std::error_code ignored;
        fs::remove_all(partPath(), ignored);
        fs::remove_all(recordPath(), ignored);
    }
    // The private folder of the session's files. Something else of the user's own in its place (a
    // link, a file) would fail every later run: it goes, reported, and a fresh folder takes its place.
    bool usableFolder() {
        if (ensurePrivateDirectory(folder, true)) {
            return true;
        }
        struct stat facts {};
        if (::lstat(folder.c_str(), &facts) != 0 || S_ISDIR(facts.st_mode) || facts.st_uid != ::geteuid() ||
            ::unlink(folder.c_str()) != 0) {
            return false;
        }
        postDiscarded(folder.string() + " is not a folder");
        return ensurePrivateDirectory(folder, true);
    }
};

// One HTTP exchange of a transfer on the transfer thread: its request, and what the answer's
// head and body make of the partial file. libcurl's callbacks reach it.
class DownloadTask::Shared::Exchange {
public:
    Exchange(Shared& session, std::shared_ptr<DownloadTask> task, Record record, std::int64_t offset)
        : _session(session), _task(std::move(task)), _record(std::move(record)), _offset(offset) {}

    const Record& record() const { return _record; }

    Ending run(std::optional<Error>& failure) {
        _fd = ::open(_session.partPath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (_fd < 0) {
            failure = Error::posix(errno);
            return Ending::Failed;
        }
        auto handle = detail::makeCurlHandle(_task->_url.c_str());
        if (!handle) {
            ::close(_fd);
            failure = detail::curlError(CURLE_FAILED_INIT, nullptr);
            return Ending::Failed;
        }
        _curl = handle.get();
        char detail[CURL_ERROR_SIZE] = {};
        const HeaderList headers = configure(detail);
        const CURLcode result = curl_easy_perform(_curl);
        curl_easy_getinfo(_curl, CURLINFO_RESPONSE_CODE, &_status);
        if (result == CURLE_OK && !_started) {
            begin();  // an answer without a body is judged all the same
        }
        ::close(_fd);
        return judge(result, detail, failure);
    }

private:
    HeaderList configure(char* detail) {
        const auto& limits = _session.configuration;
        HeaderList headers(curl_slist_append(nullptr, "Accept-Encoding: identity"));
        if (_offset > 0) {
            _range = std::to_string(_offset) + "-";
            curl_easy_setopt(_curl, CURLOPT_RANGE, _range.c_str());
            headers.reset(curl_slist_append(headers.release(), ("If-Range: " + _record.validator()).c_str()));
        }
        curl_easy_setopt(_curl, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(_curl, CURLOPT_ERRORBUFFER, detail);
        curl_easy_setopt(_curl, CURLOPT_BUFFERSIZE, 512L * 1024L);
        curl_easy_setopt(_curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectTimeout.count()));
        curl_easy_setopt(_curl, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(_curl, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(_curl, CURLOPT_WRITEFUNCTION, onWrite);
        curl_easy_setopt(_curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(_curl, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(_curl, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(_curl, CURLOPT_NOPROGRESS, 0L);
        return headers;
    }

    // Only the status line of each answer (after a redirect or an interim one) is read here.
    void headerLine(const std::string& line) {
        if (line.starts_with("HTTP/")) {
            _unreadableStatus = !readableStatusLine(line);
        }
    }

    // The final answer's head as libcurl parsed it, folded lines joined. A name counts without
    // blanks before its colon, and each Content-Encoding line adds its codings.
    void readHead() {
        for (curl_header* header = nullptr;
             (header = curl_easy_nextheader(_curl, CURLH_HEADER, -1, header)) != nullptr;) {
            std::string name = header->name;
            name.erase(name.find_last_not_of(" \t") + 1);
            const std::string value = header->value;
            if (strcasecmp(name.c_str(), "Content-Range") == 0) {
                _contentRange = value;
            } else if (strcasecmp(name.c_str(), "Content-Encoding") == 0 && !value.empty()) {
                _encoding += (_encoding.empty() ? "" : ", ") + value;
            } else if (strcasecmp(name.c_str(), "ETag") == 0) {
                _answer.etag = value;
            } else if (strcasecmp(name.c_str(), "Last-Modified") == 0) {
                _answer.lastModified = value;
            } else if (strcasecmp(name.c_str(), "Accept-Ranges") == 0) {
                _answer.acceptRanges = strcasecmp(value.c_str(), "bytes") == 0;
            }
        }
    }

    // The file was asked for as it is: compressed bytes are not the file. Any coding named but
    // "identity", on any of the lines, counts.
    bool encoded() const {
        for (std::size_t start = 0; start < _encoding.size();) {
            const std::size_t end = std::min(_encoding.find(',', start), _encoding.size());
            std::string coding = _encoding.substr(start, end - start);
            std::erase_if(coding, [](char c) { return c == ' ' || c == '\t'; });
            if (!coding.empty() && strcasecmp(coding.c_str(), "identity") != 0) {
                return true;
            }
            start = end + 1;
        }
        return false;
    }

    // Once the answer's head is known: only 200 (the whole file) and 206 (the rest of the
    // partial file) carry the file, as it is, at the length stated for it; decide where its
    // bytes go and where they end.
    bool begin() {
        curl_off_t length = -1;
        curl_easy_getinfo(_curl, CURLINFO_RESPONSE_CODE, &_status);
        curl_easy_getinfo(_curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (_unreadableStatus) {
            _refused = true;
            return false;
        }
        readHead();
        if (encoded()) {
            _refused = true;
            return false;
        }
        if (_status == 206) {
            // "bytes <first>-<last>/<total>": the rest must start where the partial file ends and
            // run to the end of the file; a piece of it would be delivered as a short file.
            long long first = -1;
            long long last = -1;
            long long total = -1;
            const int fields = std::sscanf(_contentRange.c_str(), "bytes %lld-%lld/%lld", &first, &last, &total);
            // A range that ends before it starts, or where no file can end, states no size.
            if (fields < 2 || first != _offset || last < first || last == std::numeric_limits<long long>::max() ||
                (fields == 3 && last != total - 1)) {
                _rangeMismatch = true;
                return false;
            }
            _answer.acceptRanges = true;
            _whole = last + 1;  // the file's end (with "/*", the one end stated): the body must reach it
            if (!_session.agrees(_whole)) {
                _contradicted = _whole;
                return false;
            }
            _task->_progress->expected = _whole;
            if (_offset > 0) {
                _session.postResumed(_task, _offset, _whole);
            }
        } else if (_status == 200) {
            // The whole file: the server ignored the range, or the file changed since. (A fresh
            // file is left alone: truncating it would make the file system flush it at close.)
            if (length >= 0 && !_session.agrees(length)) {
                _contradicted = length;
                return false;
            }
            if (_offset > 0 && ::ftruncate(_fd, 0) != 0) {
                _writeErrno = errno;
                return false;
            }
            _offset = 0;
            _whole = length >= 0 ? length : _session.statedLength;  // without a length, the one stated before
            _task->_progress->expected = _whole;
            _task->_progress->total = 0;
        } else {
            _refused = true;
            return false;
        }
        // The partial file is now this answer's file: its validators go with it. (A refused answer
        // leaves the record as it was, matching the partial file kept for a retry.)
        _record.etag = _answer.etag;
        _record.lastModified = _answer.lastModified;
        _record.acceptRanges = _answer.acceptRanges;
        _started = true;
        _session.writeRecord(_record, _offset);
        return true;
    }

    std::size_t write(const char* data, std::size_t bytes) {
        if (!_started && !begin()) {
            return CURL_WRITEFUNC_ERROR;
        }
        if (_whole >= 0 && _offset + _written + static_cast<std::int64_t>(bytes) > _whole) {
            _overrun = true;  // a longer file than stated is not the file
            return CURL_WRITEFUNC_ERROR;
        }
        _writeErrno = writeAt(_fd, data, bytes, static_cast<off_t>(_offset + _written));
        if (_writeErrno != 0) {
            return CURL_WRITEFUNC_ERROR;
        }
        _written += static_cast<std::int64_t>(bytes);
        _task->_progress->total = _offset + _written;
        return bytes;
    }

    // Called at least about once a second, also while nothing arrives. A silent server would
    // hold the transfer for ever and a trickling one nearly so: nothing received for the stall
    // limit, or less than the minimum rate over a window, ends it. (libcurl's own low-speed
    // check averages over a few seconds and reacts late.)
    int tick(curl_off_t received) {
        if (_task->_progress->cancelled || _session.invalidated) {
            return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
        }
        const auto& limits = _session.configuration;
        const auto now = Clock::now();
        if (received != _lastReceived) {
            _lastReceived = received;
            _lastArrival = now;
        } else if (now - _lastArrival > limits.stallLimit) {
            _stall = Stall::Silent;
            return 1;
        }
        if (now - _windowStart >= limits.rateWindow) {
            const double seconds = std::chrono::duration<double>(now - _windowStart).count();
            if (static_cast<double>(received - _windowReceived) < static_cast<double>(limits.minimumRate) * seconds) {
                _stall = Stall::Slow;
                return 1;
            }
            _windowStart = now;
            _windowReceived = received;
        }
        if (_started && now - _lastPost >= progressInterval) {
            _lastPost = now;
            _session.noteProgress(_task);
        }
        return 0;
    }

    Ending judge(CURLcode result, const char* detail, std::optional<Error>& failure) {
        const auto& limits = _session.configuration;
        if (_task->_progress->cancelled || _session.invalidated) {
            return Ending::Cancelled;
        }
        if (_unreadableStatus) {
            failure = urlError(badServerResponseCode, "The server's answer has a status line that cannot be read");
            return Ending::Failed;
        }
        if (_status == 416 && _offset > 0) {
            // "bytes */<total>": the partial file may be the whole file already.
            long long total = -1;
            if (std::sscanf(_contentRange.c_str(), "bytes */%lld", &total) == 1 && total == _offset &&
                _session.agrees(total)) {
                _task->_progress->total = _offset;
                _task->_progress->expected = _offset;
                return Ending::Finished;
            }
            return Ending::StartOver;
        }
        if (_rangeMismatch && _offset > 0) {
            return Ending::StartOver;
        }
        if (encoded()) {
            failure = urlError(badServerResponseCode, "The server sent the file encoded as " + _encoding);
        } else if (_contradicted >= 0) {
            failure = urlError(badServerResponseCode, "The server stated " + std::to_string(_contradicted) +
                                                          " bytes for a file of " +
                                                          std::to_string(_session.statedLength) + " bytes");
        } else if (_refused || _rangeMismatch || (result == CURLE_OK && _status != 200 && _status != 206)) {
            failure = badServerResponse(_status);
        } else if (_overrun || (result == CURLE_OK && _whole >= 0 && _offset + _written != _whole)) {
            // Only a file of the size the server stated is delivered; a shorter one goes on from
            // its end at the next try.
            failure = urlError(badServerResponseCode, std::string("The server sent ") + (_overrun ? "more" : "less") +
                                                          " than the " + std::to_string(_whole) +
                                                          " bytes it stated for the file");
        } else if (_stall == Stall::Silent) {
            failure = urlError(timedOutCode,
                               "The server sent nothing for " + std::to_string(limits.stallLimit.count()) + " seconds");
        } else if (_stall == Stall::Slow) {
            failure = urlError(timedOutCode, "The server sent less than " + std::to_string(limits.minimumRate) +
                                                 " bytes a second for " + std::to_string(limits.rateWindow.count()) +
                                                 " seconds");
        } else if (_writeErrno != 0) {
            failure = Error::posix(_writeErrno);
        } else if (result != CURLE_OK) {
            failure = detail::curlError(result, detail);
        }
        return failure ? Ending::Failed : Ending::Finished;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        static_cast<Exchange*>(user)->headerLine(std::string(data, size * count));
        return size * count;
    }
    static std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* user) {
        return static_cast<Exchange*>(user)->write(data, size * count);
    }
    static int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        return static_cast<Exchange*>(user)->tick(received);
    }

    enum class Stall { None, Silent, Slow };

    Shared& _session;
    std::shared_ptr<DownloadTask> _task;
    Record _record;
    std::int64_t _offset;
    CURL* _curl = nullptr;
    int _fd = -1;
    long _status = 0;
    std::string _range;
    std::string _contentRange;
    std::string _encoding;
    Record _answer;  // the validators the answer names
    std::int64_t _whole = -1;  // the file's size as the answer states it; -1 when it does not
    bool _started = false;
    bool _rangeMismatch = false;
    bool _refused = false;  // an answer that is not the file
    bool _overrun = false;  // the body ran past the stated end
    bool _unreadableStatus = false;
    std::int64_t _contradicted = -1;  // a length the answer states against the one stated before
    int _writeErrno = 0;
    std::int64_t _written = 0;
    Clock::time_point _lastPost{};
    Clock::time_point _lastArrival = Clock::now();
    curl_off_t _lastReceived = 0;
    Clock::time_point _windowStart = _lastArrival;
    curl_off_t _windowReceived = 0;
    Stall _stall = Stall::None;
};

// Where a transfer begins.
struct DownloadTask::Shared::Start {
    Record record;
    std::int64_t offset = 0;
};

void DownloadTask::Shared::run() {
    for (;;) {
        std::shared_ptr<DownloadTask> task;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping) {
                return;
            }
            task = std::move(queue.front());
            queue.pop_front();
        }
        transfer(task);
    }
}

void DownloadTask::Shared::transfer(const std::shared_ptr<DownloadTask>& task) {
    if (task->_progress->cancelled) {
        postCompletion(task, cancelledError(), std::nullopt);
        return;
    }
    if (!usableFolder()) {
        postCompletion(task, Error::posix(EACCES, "Cannot use the download folder " + folder.string()), std::nullopt);
        return;
    }
    auto [record, offset] = startingPoint(*task);
    // A 416 to a resume whose file is not the whole file, or a range that does not fit the
    // partial file, drops the partial file and asks once more from the first byte.
    std::optional<Error> failure;
    Ending ending = Ending::StartOver;
    for (int round = 0; round < 2 && ending == Ending::StartOver; ++round) {
        if (round > 0) {
            discard();
            offset = 0;
        }
        Exchange exchange(*this, task, record, offset);
        ending = exchange.run(failure);
        record = exchange.record();
    }
    switch (ending) {
    case Ending::Finished:
        deliver(task);
        return;
    case Ending::Cancelled:
        postCompletion(task, cancelledError(), record.text(partLength()));
        return;
    case Ending::StartOver:  // only after a range was asked for, so not after the second round
        failure = urlError(badServerResponseCode, "The server answered a range that does not fit");
        [[fallthrough]];
    case Ending::Failed:
        keepForRetry(task, record, *failure);
        return;
    }
}

// After the partial file when the task resumes one that can be resumed, else from the first byte.
DownloadTask::Shared::Start DownloadTask::Shared::startingPoint(const DownloadTask& task) {
    if (task._resumes) {
        if (auto kept = resumableRecord(&task._url)) {
            return {std::move(*kept), partLength()};
        }
    } else {
        discard();
    }
    Start fresh;
    fresh.record.url = task._url;
    return fresh;
}

// A failed transfer keeps its partial file for a retry when it can go on from it, else drops it.
void DownloadTask::Shared::keepForRetry(const std::shared_ptr<DownloadTask>& task, const Record& record,
                                        const Error& failure) {
    const std::int64_t length = partLength();
    if (length > 0 && record.resumable() && writeRecord(record, length)) {
        postCompletion(task, failure, record.text(length));
        return;
    }
    discard();
    postCompletion(task, failure, std::nullopt);
}

// Hands the whole file to the delegate, then completes the task.
void DownloadTask::Shared::deliver(const std::shared_ptr<DownloadTask>& task) {
    ::unlink(recordPath().c_str());
    if (::rename(partPath().c_str(), donePath().c_str()) != 0) {
        const int saved = errno;
        discard();
        postCompletion(task, Error::posix(saved), std::nullopt);
        return;
    }
    postProgress(task);
    post([weak = weak_from_this(), task, location = donePath()](DownloadSessionDelegate& receiver) {
        receiver.downloadTaskDidFinishDownloadingToUrl(*task, location);
        ::unlink(location.c_str());
        const auto self = weak.lock();
        if (self && !self->invalidated) {
            self->settle(*task);
            receiver.taskDidCompleteWithError(*task, std::nullopt, std::nullopt);
        }
    });
}

DownloadTask::DownloadTask(std::weak_ptr<Shared> session, std::string url, bool resumes)
    : _session(std::move(session)), _url(std::move(url)), _resumes(resumes), _progress(std::make_shared<Progress>()) {}

DownloadTask::State DownloadTask::state() const {
    return static_cast<State>(_progress->state.load());
}

void DownloadTask::resume() {
    assertMainThread();
    const auto session = _session.lock();
    const auto self = session ? session->find(*this) : nullptr;
    if (!self || session->invalidated || state() != State::Suspended) {
        return;
    }
    if (session->live != nullptr) {
        // The session's files serve one transfer: a second one would take the other's file.
        _progress->state = static_cast<int>(State::Canceling);
        session->postCompletion(self, urlError(unknownCode, "Another transfer of this session is running"),
                                std::nullopt);
        return;
    }
    session->live = this;
    _progress->state = static_cast<int>(State::Running);
    session->enqueue(self);
}

void DownloadTask::cancel() {
    assertMainThread();
    const State now = state();
    if (now == State::Completed || now == State::Canceling) {
        return;
    }
    _progress->cancelled = true;
    _progress->state = static_cast<int>(State::Canceling);
    if (now == State::Suspended) {
        if (const auto session = _session.lock()) {
            if (const auto self = session->find(*this)) {
                session->postCompletion(self, cancelledError(), std::nullopt);
            }
        }
    }
}

const fs::path& DownloadSession::storageDirectory() const {
    return _shared->folder;
}

std::shared_ptr<DownloadSession> DownloadSession::create(Configuration configuration, DownloadSessionDelegate* delegate) {
    assertMainThread();
    auto shared = std::make_shared<DownloadTask::Shared>();
    shared->fileName = safeFileName(configuration.identifier);
    shared->configuration = std::move(configuration);
    shared->delegate = delegate;
    shared->statedLength = shared->configuration.expectedLength;
    shared->folder = fs::path(temporaryDirectory()) / ".downloading";
    if (!servesAsOwnFolder(shared->folder)) {
        if (auto fresh = makeFreshFolder(); !fresh.empty()) {
            shared->folder = std::move(fresh);
            shared->freshFolder = true;
        }
    }
    DownloadTask::Shared* raw = shared.get();
    shared->worker = std::thread([raw] { raw->run(); });
    return std::shared_ptr<DownloadSession>(new DownloadSession(std::move(shared)));
}

DownloadSession::DownloadSession(std::shared_ptr<DownloadTask::Shared> shared) : _shared(std::move(shared)) {}

DownloadSession::~DownloadSession() {
    invalidateAndCancel();
    if (_shared->worker.joinable()) {
        _shared->worker.join();
    }
    if (_shared->freshFolder) {
        std::error_code ignored;
        fs::remove_all(_shared->folder, ignored);
    }
}

const DownloadSession::Configuration& DownloadSession::configuration() const {
    return _shared->configuration;
}

void DownloadSession::getTasks(std::function<void(const std::vector<std::shared_ptr<DownloadTask>>&)> completion) {
    assertMainThread();
    std::vector<std::shared_ptr<DownloadTask>> found;
    if (_shared->usableFolder()) {
        if (const auto record = _shared->resumableRecord(nullptr)) {
            found.push_back(makeTask(record->url, true));
        }
        ::unlink(_shared->donePath().c_str());
    }
    dispatch::asyncMain([weak = std::weak_ptr(_shared), found = std::move(found), completion = std::move(completion)] {
        const auto self = weak.lock();
        if (self && !self->invalidated) {
            completion(found);
        }
    });
}

std::shared_ptr<DownloadTask> DownloadSession::downloadTask(const std::string& url) {
    assertMainThread();
    return makeTask(url, false);
}

std::shared_ptr<DownloadTask> DownloadSession::downloadTaskWithResumeData(const std::string& resumeData) {
    assertMainThread();
    const auto record = Record::parse(resumeData);
    return makeTask(record ? record->url : std::string(), true);
}

std::shared_ptr<DownloadTask> DownloadSession::makeTask(const std::string& url, bool resumes) {
    auto task = std::shared_ptr<DownloadTask>(new DownloadTask(_shared, url, resumes));
    _shared->tasks.push_back(task);
    return task;
}

void DownloadSession::invalidateAndCancel() {
    assertMainThread();
    _shared->invalidated = true;
    for (const auto& weak : _shared->tasks) {
        if (const auto task = weak.lock()) {
            task->_progress->cancelled = true;
        }
    }
    std::lock_guard lock(_shared->mutex);
    _shared->stopping = true;
    _shared->wake.notify_one();
}

}  // namespace platform
