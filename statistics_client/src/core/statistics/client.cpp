#include "core/statistics/client.h"

#include "core/statistics/async_transport/multi_queue_transport.h"
#include "core/statistics/sync_transport/posix/http_transport.h"

#include <chrono>
#include <vector>

namespace Statistics {

namespace {

constexpr const char* serverUrl = "http://" RAVELUNE_STATS_SERVER;
constexpr const char* logServiceUrl = "http://" RAVELUNE_LOG_SERVER;
constexpr const char* logServiceToken = RAVELUNE_LOG_TOKEN;

constexpr std::uint16_t queueCapacity = 1000;
constexpr std::uint16_t flushIntervalMs = 20000;
constexpr std::uint16_t serverBatchSize = 1;
constexpr std::uint16_t logServiceBatchSize = 20;

std::shared_ptr<Transport> makeTransport(bool async, std::uint16_t batchSize)
{
    if (async)
        return makeAsyncTransport(queueCapacity, flushIntervalMs, batchSize);
    return std::make_shared<SyncTransport::Posix::HttpTransport>();
}

} // namespace

std::shared_ptr<Client> makeClient(bool async)
{
    auto client = std::make_shared<Client>();
    client->initServerClient(serverUrl, async);
    client->initLogServiceClient(logServiceUrl, logServiceToken, async);
    return client;
}

std::shared_ptr<Orv::Client> makeOrvClient(const std::string& url, bool async)
{
    return std::make_shared<Orv::Client>(makeTransport(async, serverBatchSize), url);
}

std::shared_ptr<Loggly::Client> makeLogglyClient(const std::string& url, const std::string& token,
                                                 bool async)
{
    auto transport = makeTransport(async, logServiceBatchSize);
    return std::make_shared<Loggly::Client>(transport, url + "/bulk/" + token + "/tag/");
}

void Client::initServerClient(const std::string& url, bool async)
{
    _serverClient = makeOrvClient(url, async);
}

void Client::initLogServiceClient(const std::string& url, const std::string& token, bool async)
{
    _logServiceClient = makeLogglyClient(url, token, async);
}

bool Client::flush(Transport::Deadline deadline)
{
    std::vector<Transport*> transports;
    if (_serverClient)
        transports.push_back(_serverClient->transport().get());
    if (_logServiceClient)
        transports.push_back(_logServiceClient->transport().get());
    // Both start before either is waited for, so they post side by side.
    for (Transport* transport : transports)
        transport->flushSoon();
    bool delivered = true;
    for (Transport* transport : transports)
        delivered = transport->waitFlushed(deadline) && delivered;
    return delivered;
}

const AppStatistics& Client::prepare(const AppStatistics& statistics)
{
    if (statistics.eventTime.time_since_epoch().count() != 0)
        return statistics;
    _lastStatistics = statistics;
    _lastStatistics.eventTime =
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    return _lastStatistics;
}

void Client::sendAction(const AppStatistics& statistics)
{
    const AppStatistics& record = prepare(statistics);
    if (_serverClient)
        _serverClient->sendAction(record);
    if (_logServiceClient)
        _logServiceClient->sendStatus(record);
}

void Client::sendActivity(const AppStatistics& statistics)
{
    const AppStatistics& record = prepare(statistics);
    if (_serverClient)
        _serverClient->sendActivity(record);
    if (_logServiceClient)
        _logServiceClient->sendActivity(record);
}

void Client::sendSystemInfo(const AppStatistics& statistics)
{
    const AppStatistics& record = prepare(statistics);
    if (_serverClient)
        _serverClient->sendSystemInfo(record);
    if (_logServiceClient)
        _logServiceClient->sendSystemInfo(record);
}

void Client::sendException(const AppStatistics& statistics)
{
    // The log service gets no exception event.
    const AppStatistics& record = prepare(statistics);
    if (_serverClient)
        _serverClient->sendException(record);
}

} // namespace Statistics
