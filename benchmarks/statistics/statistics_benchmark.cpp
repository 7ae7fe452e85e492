// Throughput of the queued transport to a loopback receiver on port 80 (run it in a private
// network namespace), the memory of a transport holding its largest load, how long the
// installer's statistics facade holds its caller with the machine's own probes, and how long
// its final flush holds the ending when the statistics host never answers.
#include "PlatformInfo.h"
#include "StatisticsManager.h"
#include "core/statistics/async_transport/multi_queue_transport.h"
#include "core/statistics/client.h"
#include "core/statistics/sync_transport/posix/http_transport.h"

#include "support/http_test_server.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

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

// A host on 127.0.0.1:80 that never answers, until the object goes: the responsiveness
// benchmark's, dropping every packet ("drop") or accepting and staying silent ("silent").
class UnansweringHost {
public:
    explicit UnansweringHost(const char* how)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            throw std::runtime_error("no pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], STDERR_FILENO);
        char* const argv[] = {const_cast<char*>(UNANSWERING_HOST), const_cast<char*>("127.0.0.1"),
                              const_cast<char*>("80"), const_cast<char*>(how), nullptr};
        const int spawned = posix_spawn(&_pid, UNANSWERING_HOST, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
        char said = 0;
        // It says so on standard error once it is in place.
        while (spawned == 0 && ::read(ready[0], &said, 1) == 1 && said != '\n') {
        }
        ::close(ready[0]);
        if (spawned != 0)
            throw std::runtime_error("cannot start " UNANSWERING_HOST);
    }
    ~UnansweringHost()
    {
        ::kill(_pid, SIGKILL);
        ::waitpid(_pid, nullptr, 0);
    }

private:
    pid_t _pid = -1;
};

// The installer's ending with a statistics host that never answers, the first call still
// probing when the ending starts (its fixed facts take two seconds here): the final flush's time
// against its bound of 3 s, over five endings.
void endingWithUnansweringHost(const char* how)
{
    double shortest = 1e9, longest = 0;
    for (int ending = 0; ending < 5; ++ending) {
        const UnansweringHost host(how);
        auto client = std::make_shared<Statistics::Client>();
        client->initServerClient("http://127.0.0.1", true);
        client->initLogServiceClient("http://127.0.0.1", "token", true);
        StatisticsManager::Probes probes = StatisticsManager::Probes::platform();
        probes.hardwareId = [] {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            return PlatformInfo::hardwareId();
        };
        StatisticsManager manager(client, probes);
        manager.sendAction(22);
        manager.sendSystemInfo(0);
        manager.sendAction(3);
        const auto start = std::chrono::steady_clock::now();
        manager.flushBeforeExit();
        shortest = std::min(shortest, secondsSince(start));
        longest = std::max(longest, secondsSince(start));
    }
    std::printf("final flush, first call slow, statistics host %-6s: %.3f to %.3f s (bound 3 s)\n", how, shortest,
                longest);
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
    endingWithUnansweringHost("silent");
    endingWithUnansweringHost("drop");
}
