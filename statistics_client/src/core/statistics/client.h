#pragma once

#include "core/statistics/app_statistics.h"
#include "core/statistics/loggly/loggly_client.h"
#include "core/statistics/orv/orv_client.h"
#include "core/statistics/transport.h"

#include <memory>
#include <string>

namespace Statistics {

// Entry object of the statistics library: passes each record to the statistics server's
// client and then to the log service's client. Takes no lock: two operations of one client
// must not run at the same time. Created only by std::make_shared, so it is always
// destroyed as its own type.
class Client {
public:
    Client() = default;

    virtual void initServerClient(const std::string& url, bool async);
    virtual void initLogServiceClient(const std::string& url, const std::string& token, bool async);
    virtual void sendAction(const AppStatistics& statistics);
    virtual void sendActivity(const AppStatistics& statistics);
    virtual void sendSystemInfo(const AppStatistics& statistics);
    virtual void sendException(const AppStatistics& statistics);

    // Has both transports post what they hold now and waits for them, never past the
    // deadline whatever the network does; true when nothing was left undelivered. Meant for
    // the end of the process; may run beside the other operations.
    bool flush(Transport::Deadline deadline);

private:
    // The record itself when it has an event time, else a copy stamped with now.
    const AppStatistics& prepare(const AppStatistics& statistics);

    std::shared_ptr<Loggly::Client> _logServiceClient;
    std::shared_ptr<Orv::Client> _serverClient;
    AppStatistics _lastStatistics;
};

// A client with both event clients set up for the product's server and log service.
std::shared_ptr<Client> makeClient(bool async);
std::shared_ptr<Orv::Client> makeOrvClient(const std::string& url, bool async);
std::shared_ptr<Loggly::Client> makeLogglyClient(const std::string& url, const std::string& token,
                                                 bool async);

} // namespace Statistics
