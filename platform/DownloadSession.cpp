#include "platform/DownloadSession.h"

#include "platform/Dispatch.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/detail/Curl.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long cancelledCode = -999;
constexpr long badServerResponseCode = -1011;
constexpr long timedOutCode = -1001;
constexpr auto progressInterval = std::chrono::milliseconds(33);

Error urlError(long code, const std::string& description) {
    Error::Info info;
    info.localizedDescription = description;
    return Error("NSURLErrorDomain", code, std::move(info));
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

// What a transfer left behind: enough to ask the server for the rest and to know it is the same file.
struct Record {
    std::string url;
    std::string etag;
    std::string lastModified;
    bool acceptRanges = false;

    std::string text(std::int64_t bytes) const {
        return nlohmann::json{{"url", url},
                              {"etag", etag},
                              {"lastModified", lastModified},
                              {"acceptRanges", acceptRanges},
                              {"bytes", bytes}}
            .dump();
    }
    static std::optional<Record> parse(const std::string& text) {
        const auto json = nlohmann::json::parse(text, nullptr, false);
        if (json.is_discarded() || !json.is_object()) {
            return std::nullopt;
        }
        Record record;
        record.url = json.value("url", "");
        record.etag = json.value("etag", "");
        record.lastModified = json.value("lastModified", "");
        record.acceptRanges = json.value("acceptRanges", false);
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
};

std::int64_t fileSize(const fs::path& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 ? static_cast<std::int64_t>(facts.st_size) : -1;
}

std::string headerValue(const std::string& line, std::size_t colon) {
    std::size_t start = colon + 1;
    std::size_t end = line.size();
    while (start < end && (line[start] == ' ' || line[start] == '\t')) {
        ++start;
    }
    while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' ')) {
        --end;
    }
    return line.substr(start, end - start);
}

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
    fs::path folder;
    std::string fileName;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<DownloadTask>> queue;
    bool stopping = false;
    std::thread worker;

    fs::path partPath() const { return folder / (fileName + ".part"); }
    fs::path recordPath() const { return folder / (fileName + ".json"); }
    fs::path donePath() const { return folder / (fileName + ".download"); }

    void enqueue(std::shared_ptr<DownloadTask> task) {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(task));
        wake.notify_one();
    }
    struct Exchange;
    void run();
    void transfer(const std::shared_ptr<DownloadTask>& task);

    // Delivers an event on the main thread unless the session was invalidated by then.
    void post(std::function<void(DownloadSessionDelegate&)> event) {
        dispatch::asyncMain([weak = weak_from_this(), event = std::move(event)] {
            const auto self = weak.lock();
            if (self && !self->invalidated && self->delegate != nullptr) {
                event(*self->delegate);
            }
        });
    }
    void postProgress(const std::shared_ptr<DownloadTask>& task) {
        post([task](DownloadSessionDelegate& delegate) {
            auto& progress = *task->_progress;
            progress.postPending = false;
            const std::int64_t total = progress.total;
            if (total != progress.delivered) {
                const std::int64_t step = total - progress.delivered;
                progress.delivered = total;
                delegate.downloadTaskDidWriteData(*task, step, total, progress.expected);
            }
        });
    }
    void postCompletion(const std::shared_ptr<DownloadTask>& task, std::optional<Error> error,
                        std::optional<std::string> resumeData) {
        post([task, error = std::move(error), resumeData = std::move(resumeData)](DownloadSessionDelegate& delegate) {
            task->_progress->state = static_cast<int>(State::Completed);
            delegate.taskDidCompleteWithError(*task, error, resumeData);
        });
    }

    std::optional<Record> readRecord() const {
        std::ifstream stream(recordPath());
        if (!stream) {
            return std::nullopt;
        }
        const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        return Record::parse(text);
    }
    // Written aside and renamed over, so a killed process leaves the old record or the new one.
    void writeRecord(const Record& record, std::int64_t bytes) const {
        const fs::path staging = recordPath().string() + ".new";
        {
            std::ofstream stream(staging, std::ios::trunc);
            stream << record.text(bytes);
        }
        ::rename(staging.c_str(), recordPath().c_str());
    }
    void discard() const {
        ::unlink(partPath().c_str());
        ::unlink(recordPath().c_str());
    }
};

// The state of one HTTP exchange, shared with libcurl's callbacks on the transfer thread.
struct DownloadTask::Shared::Exchange {
    DownloadTask::Shared* session = nullptr;
    std::shared_ptr<DownloadTask> task;
    std::function<void()> progressChanged;
    std::function<void(std::int64_t, std::int64_t)> resumed;
    CURL* curl = nullptr;
    int fd = -1;
    std::int64_t offset = 0;
    Record record;

    bool started = false;
    bool rangeMismatch = false;
    bool refused = false;  // an answer that is not the file
    int writeErrno = 0;
    std::int64_t written = 0;
    std::string contentRange;
    Clock::time_point lastPost{};
    // A silent server would hold the transfer for ever: nothing received for the stall limit
    // ends it. (libcurl's own low-speed check averages over seconds and reacts late.)
    Clock::time_point lastActivity = Clock::now();
    curl_off_t lastReceived = 0;
    bool stalled = false;

    void headerLine(const std::string& line) {
        if (line.starts_with("HTTP/")) {  // a new answer (after a redirect or an interim one)
            contentRange.clear();
            record.etag.clear();
            record.lastModified.clear();
            record.acceptRanges = false;
            return;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            return;
        }
        const std::string name = line.substr(0, colon);
        const std::string value = headerValue(line, colon);
        if (strcasecmp(name.c_str(), "Content-Range") == 0) {
            contentRange = value;
        } else if (strcasecmp(name.c_str(), "ETag") == 0) {
            record.etag = value;
        } else if (strcasecmp(name.c_str(), "Last-Modified") == 0) {
            record.lastModified = value;
        } else if (strcasecmp(name.c_str(), "Accept-Ranges") == 0) {
            record.acceptRanges = strcasecmp(value.c_str(), "bytes") == 0;
        }
    }

    // The first bytes of the body: decide where they go now that the answer's head is known.
    bool begin() {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t length = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (status == 206) {
            // "bytes <first>-<last>/<total>": the rest must start where the partial file ends.
            long long first = -1;
            long long last = -1;
            long long total = -1;
            const int fields = std::sscanf(contentRange.c_str(), "bytes %lld-%lld/%lld", &first, &last, &total);
            if (fields < 2 || first != offset) {
                rangeMismatch = true;
                return false;
            }
            record.acceptRanges = true;
            const std::int64_t expected = fields == 3 ? total : (length >= 0 ? offset + length : -1);
            task->_progress->expected = expected;
            if (offset > 0) {
                resumed(offset, expected);
            }
        } else if (status == 200) {
            // The whole file: the server ignored the range, or the file changed since. (A fresh
            // file is left alone: truncating it would make the file system flush it at close.)
            if (offset > 0 && ::ftruncate(fd, 0) != 0) {
                writeErrno = errno;
                return false;
            }
            offset = 0;
            task->_progress->expected = length;
        } else {
            refused = true;
            return false;
        }
        started = true;
        session->writeRecord(record, offset);
        return true;
    }

    std::size_t write(const char* data, std::size_t bytes) {
        if (!started && !begin()) {
            return CURL_WRITEFUNC_ERROR;
        }
        for (std::size_t done = 0; done < bytes;) {
            const ssize_t put = ::pwrite(fd, data + done, bytes - done, static_cast<off_t>(offset + written));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                writeErrno = errno;
                return CURL_WRITEFUNC_ERROR;
            }
            done += static_cast<std::size_t>(put);
            written += put;
        }
        task->_progress->total = offset + written;
        return bytes;
    }

    // Called at least about once a second, also while nothing arrives.
    int tick(curl_off_t received) {
        if (task->_progress->cancelled || session->invalidated) {
            return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
        }
        const auto now = Clock::now();
        if (received != lastReceived) {
            lastReceived = received;
            lastActivity = now;
        } else if (now - lastActivity > session->configuration.stallLimit) {
            stalled = true;
            return 1;
        }
        if (started && now - lastPost >= progressInterval) {
            lastPost = now;
            progressChanged();
        }
        return 0;
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
    auto& progress = *task->_progress;
    if (progress.cancelled) {
        postCompletion(task, urlError(cancelledCode, "cancelled"), std::nullopt);
        return;
    }
    if (!ensurePrivateDirectory(folder)) {
        postCompletion(task, Error::posix(EACCES, "Cannot use the download folder " + folder.string()), std::nullopt);
        return;
    }
    std::int64_t offset = 0;
    Record record;
    record.url = task->_url;
    const auto kept = task->_resumes ? readRecord() : std::nullopt;
    if (kept && kept->url == task->_url && fileSize(partPath()) > 0) {
        record = *kept;
        offset = fileSize(partPath());
    } else {
        discard();
    }

    // A 416 to a resume whose file is not the whole file, or a range that does not fit the
    // partial file, drops the partial file and asks once more from the first byte.
    for (int round = 0; round < 2; ++round) {
        const int fd = ::open(partPath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            postCompletion(task, Error::posix(errno), std::nullopt);
            return;
        }
        auto handle = detail::makeCurlHandle(task->_url.c_str());
        if (!handle) {
            ::close(fd);
            postCompletion(task, detail::curlError(CURLE_FAILED_INIT, nullptr), std::nullopt);
            return;
        }
        CURL* curl = handle.get();
        Exchange exchange;
        exchange.session = this;
        exchange.task = task;
        exchange.progressChanged = [this, task] {
            if (!task->_progress->postPending.exchange(true)) {
                postProgress(task);
            }
        };
        exchange.resumed = [this, task](std::int64_t at, std::int64_t expected) {
            post([task, at, expected](DownloadSessionDelegate& delegate) {
                delegate.downloadTaskDidResumeAtOffset(*task, at, expected);
            });
        };
        exchange.curl = curl;
        exchange.fd = fd;
        exchange.offset = offset;
        exchange.record = record;
        const std::string validator = record.validator();
        const std::string range = std::to_string(offset) + "-";
        const std::string ifRange = "If-Range: " + validator;
        curl_slist* headers = nullptr;
        if (offset > 0) {
            curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
            if (!validator.empty()) {
                headers = curl_slist_append(headers, ifRange.c_str());
            }
        }
        char detail[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(configuration.connectTimeout.count()));
        // A server that trickles a byte now and then is no better than a silent one: less than a
        // byte a second over the stall limit ends the transfer too.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(configuration.stallLimit.count()));
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Exchange::onHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Exchange::onWrite);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Exchange::onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        const CURLcode result = curl_easy_perform(curl);
        curl_slist_free_all(headers);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        ::close(fd);
        record = exchange.record;

        if (progress.cancelled || invalidated) {
            postCompletion(task, urlError(cancelledCode, "cancelled"), record.text(fileSize(partPath())));
            return;
        }
        if (status == 416 && offset > 0) {
            // "bytes */<total>": the partial file may be the whole file already.
            long long total = -1;
            if (std::sscanf(exchange.contentRange.c_str(), "bytes */%lld", &total) == 1 && total == offset) {
                progress.total = offset;
                progress.expected = offset;
                break;
            }
            discard();
            offset = 0;
            continue;
        }
        if (exchange.rangeMismatch) {
            discard();
            offset = 0;
            continue;
        }
        std::optional<Error> failure;
        if (exchange.refused || (result == CURLE_OK && (status < 200 || status > 299))) {
            failure = urlError(badServerResponseCode, "The server answered with status " + std::to_string(status));
        } else if (exchange.stalled) {
            failure = urlError(timedOutCode, "The server sent nothing for " +
                                                 std::to_string(configuration.stallLimit.count()) + " seconds");
        } else if (exchange.writeErrno != 0) {
            failure = Error::posix(exchange.writeErrno);
        } else if (result != CURLE_OK) {
            failure = detail::curlError(result, detail);
        } else if (!exchange.started && status == 200 && offset > 0) {
            // An empty body: the file is empty, whatever an earlier run left.
            offset = 0;
            progress.total = 0;
            if (::truncate(partPath().c_str(), 0) != 0) {
                failure = Error::posix(errno);
            }
        }
        if (failure) {
            const std::int64_t kept = fileSize(partPath());
            if (kept > 0 && record.acceptRanges) {
                writeRecord(record, kept);
                postCompletion(task, failure, record.text(kept));
            } else {
                discard();
                postCompletion(task, failure, std::nullopt);
            }
            return;
        }
        break;
    }

    ::unlink(recordPath().c_str());
    if (::rename(partPath().c_str(), donePath().c_str()) != 0) {
        const int saved = errno;
        discard();
        postCompletion(task, Error::posix(saved), std::nullopt);
        return;
    }
    postProgress(task);
    dispatch::asyncMain([weak = weak_from_this(), task, location = donePath()] {
        const auto self = weak.lock();
        if (self && !self->invalidated && self->delegate != nullptr) {
            self->delegate->downloadTaskDidFinishDownloadingToUrl(*task, location);
        }
        ::unlink(location.c_str());
        if (self && !self->invalidated && self->delegate != nullptr) {
            task->_progress->state = static_cast<int>(State::Completed);
            self->delegate->taskDidCompleteWithError(*task, std::nullopt, std::nullopt);
        }
    });
}

DownloadTask::DownloadTask(std::weak_ptr<Shared> session, std::string url, bool resumes)
    : _session(std::move(session)), _url(std::move(url)), _resumes(resumes), _progress(std::make_shared<Progress>()) {}

DownloadTask::State DownloadTask::state() const {
    return static_cast<State>(_progress->state.load());
}

void DownloadTask::resume() {
    const auto session = _session.lock();
    if (!session || session->invalidated || state() != State::Suspended) {
        return;
    }
    _progress->state = static_cast<int>(State::Running);
    for (const auto& weak : session->tasks) {
        if (const auto self = weak.lock(); self && self.get() == this) {
            session->enqueue(self);
            return;
        }
    }
}

void DownloadTask::cancel() {
    const State now = state();
    if (now == State::Completed || now == State::Canceling) {
        return;
    }
    _progress->cancelled = true;
    _progress->state = static_cast<int>(State::Canceling);
    if (now == State::Suspended) {
        if (const auto session = _session.lock()) {
            for (const auto& weak : session->tasks) {
                if (const auto self = weak.lock(); self && self.get() == this) {
                    session->postCompletion(self, urlError(cancelledCode, "cancelled"), std::nullopt);
                }
            }
        }
    }
}

fs::path DownloadSession::storageDirectory() {
    return fs::path(temporaryDirectory()) / ".downloading";
}

std::shared_ptr<DownloadSession> DownloadSession::create(Configuration configuration, DownloadSessionDelegate* delegate) {
    auto shared = std::make_shared<DownloadTask::Shared>();
    shared->fileName = safeFileName(configuration.identifier);
    shared->configuration = std::move(configuration);
    shared->delegate = delegate;
    shared->folder = storageDirectory();
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
}

const DownloadSession::Configuration& DownloadSession::configuration() const {
    return _shared->configuration;
}

void DownloadSession::getTasks(std::function<void(const std::vector<std::shared_ptr<DownloadTask>>&)> completion) {
    std::vector<std::shared_ptr<DownloadTask>> found;
    if (ensurePrivateDirectory(_shared->folder)) {
        const auto record = _shared->readRecord();
        if (record && record->acceptRanges && fileSize(_shared->partPath()) > 0) {
            auto task = std::shared_ptr<DownloadTask>(new DownloadTask(_shared, record->url, true));
            _shared->tasks.push_back(task);
            found.push_back(std::move(task));
        } else {
            _shared->discard();
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
    auto task = std::shared_ptr<DownloadTask>(new DownloadTask(_shared, url, false));
    _shared->tasks.push_back(task);
    return task;
}

std::shared_ptr<DownloadTask> DownloadSession::downloadTaskWithResumeData(const std::string& resumeData) {
    const auto record = Record::parse(resumeData);
    auto task = std::shared_ptr<DownloadTask>(new DownloadTask(_shared, record ? record->url : std::string(), true));
    _shared->tasks.push_back(task);
    return task;
}

void DownloadSession::invalidateAndCancel() {
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
