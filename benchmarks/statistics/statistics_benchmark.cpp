// Throughput of the queued transport to a loopback receiver on port 80 (run it in a private
// network namespace), the memory of a transport holding its largest load, and how long the
// installer's statistics facade holds its caller with the machine's own probes.
#include "StatisticsManager.h"
#include "core/statistics/async_transport/multi_queue_transport.h"
#include "core/statistics/client.h"
#include "core/statistics/sync_transport/posix/http_transport.h"

#include "support/http_test_server.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

using Statistics::AsyncTransport::MultiQueueTransport;

namespace {
struct RefusingTransport : Statistics::Transport {
    bool send(const std::string&, const std::string&) override { return false; }
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The calls the pipeline makes on the main thread when it starts, and the final flush.
void facadeCalls()
{
    testing_support::HttpTestServer server(80, "HTTP/1.1 200 OK\r\n\r\n");
    auto client = std::make_shared<Statistics::Client>();
    client->initServerClient("http://127.0.0.1", true);
    client->initLogServiceClient("http://127.0.0.1", "token", true);
    StatisticsManager manager(client, StatisticsManager::Probes::platform());
    const auto start = std::chrono::steady_clock::now();
    manager.sendAction(22);
    const double action = secondsSince(start);
    manager.sendSystemInfo(0);
    const double both = secondsSince(start);
    manager.flushBeforeExit(std::chrono::seconds(10));
    std::printf("facade: action 22 held its caller %.3f s, system information %.3f s; "
                "both probed and posted after %.3f s (%zu posts)\n",
                action, both - action, secondsSince(start), server.requests().size());
}

long residentKiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
} // namespace

int main()
{
    const std::string body(1024, 'b');
    for (std::uint16_t batch : {std::uint16_t(1), std::uint16_t(20)}) {
        testing_support::HttpTestServer server(80, "HTTP/1.1 200 OK\r\n\r\n");
        const int bodies = 4 * 999;
        const auto start = std::chrono::steady_clock::now();
        {
            MultiQueueTransport transport(std::make_shared<Statistics::SyncTransport::Posix::HttpTransport>(),
                                          {1000, batch, 60000});
            for (int i = 0; i < bodies; ++i)
                transport.send("http://127.0.0.1/q" + std::to_string(i % 4), body);
        } // the final pass posts everything
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("batch %2u: %d bodies of 1 KiB in %.3f s = %.0f bodies/s (%zu posts)\n", batch, bodies,
                    seconds, bodies / seconds, server.requests().size());
    }
    const long before = residentKiB();
    {
        MultiQueueTransport transport(std::make_shared<RefusingTransport>(), {1000, 20, 60000});
        for (int url = 0; url < 100; ++url)
            for (int i = 0; i < 999; ++i)
                transport.send("http://127.0.0.1/u" + std::to_string(url), body);
        std::printf("100 URLs x 999 bodies of 1 KiB: %zu bodies held, resident memory %ld KiB (+%ld KiB)\n",
                    transport.totalCount(), residentKiB(), residentKiB() - before);
    }
    facadeCalls();
}
