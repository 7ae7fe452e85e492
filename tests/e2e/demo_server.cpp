// The loopback world the installer talks to in a sandbox, on 127.0.0.1:80: the download host's
// files (HEAD, GET with ranges) from a folder, and a record of every request, the statistics and
// log posts included (the host names all point at 127.0.0.1; the Host header tells them apart).
//
//   demo_server <files folder> <record folder> [--fail-downloads] [--stall-first-download]
//               [--slow <path> <milliseconds>]
//
// "--fail-downloads" answers 500 to every GET of a ".zip"; "--stall-first-download" sends the first
// GET of a ".zip" a few bytes and then nothing, and serves later ones; "--slow" answers every GET
// of the path only after the pause (a slow server, for measurements). "<record>/ready" appears
// once the port listens, "<record>/download-begun" once a GET of a ".zip" has arrived,
// "<record>/slow-asked" once a GET of the slow path has arrived (before its answer). At SIGTERM
// or SIGINT the server writes "<record>/requests", one line per request ("<host> <method> <path>
// <body lines>"), and ends.
#include "support/http_test_server.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string hostOf(const std::string& raw) {
    static const std::regex host("\r\nhost: *([^:\r]*)", std::regex::icase);
    const std::string head = raw.substr(0, raw.find("\r\n\r\n"));
    std::smatch match;
    return std::regex_search(head, match, host) ? match[1].str() : "-";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> options(argv + std::min(argc, 3), argv + argc);
    const auto slow = std::ranges::find(options, "--slow");
    if (argc < 3 || (slow != options.end() && options.end() - slow < 3)) {
        std::cerr << "usage: demo_server <files folder> <record folder> [--fail-downloads] [--stall-first-download]"
                     " [--slow <path> <milliseconds>]\n";
        return 2;
    }
    const fs::path folder = argv[1];
    const fs::path record = argv[2];
    const bool failDownloads = std::ranges::count(options, "--fail-downloads") > 0;
    const bool stallFirstDownload = std::ranges::count(options, "--stall-first-download") > 0;
    const std::string slowPath = slow != options.end() ? slow[1] : "";
    const std::uint64_t slowMilliseconds = slow != options.end() ? std::stoull(slow[2]) : 0;

    // The ending signals are taken by sigwait below, never by a handler.
    sigset_t endings;
    sigemptyset(&endings);
    sigaddset(&endings, SIGTERM);
    sigaddset(&endings, SIGINT);
    pthread_sigmask(SIG_BLOCK, &endings, nullptr);

    testing_support::HttpTestServer server(80);
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const std::string path = "/" + fs::relative(entry.path(), folder).generic_string();
        std::ifstream file(entry.path(), std::ios::binary);
        server.serve(path, std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
        using Fault = testing_support::HttpTestServer::FaultKind;
        if (failDownloads && path.ends_with(".zip")) {
            server.addFault(path, {.kind = Fault::Status, .status = 500, .times = -1});
        }
        if (stallFirstDownload && path.ends_with(".zip")) {
            server.addFault(path, {.kind = Fault::Stall, .bytes = 1024, .times = 1});
        }
        if (path == slowPath) {
            server.addFault(path, {.kind = Fault::Delay, .times = -1, .delayMilliseconds = slowMilliseconds});
        }
    }
    std::ofstream(record / "ready");

    // Until an ending signal: notes the first GET of a download and of the slow path, looking every 50 ms.
    const timespec look = {.tv_sec = 0, .tv_nsec = 50'000'000};
    std::vector<std::pair<std::string, std::function<bool(const std::string&)>>> signs{
        {"download-begun", [](const std::string& path) { return path.ends_with(".zip"); }},
        {"slow-asked", [&](const std::string& path) { return path == slowPath; }}};
    while (sigtimedwait(&endings, nullptr, &look) < 0) {
        const auto requests = server.requests();
        std::erase_if(signs, [&](const auto& sign) {
            const bool seen = std::ranges::any_of(requests, [&](const auto& request) {
                return request.method == "GET" && sign.second(request.path);
            });
            if (seen) {
                std::ofstream(record / sign.first);
            }
            return seen;
        });
    }

    std::ofstream requests(record / "requests");
    for (const auto& request : server.requests()) {
        requests << hostOf(request.raw) << ' ' << request.method << ' ' << request.path << ' '
                 << std::count(request.body.begin(), request.body.end(), '\n') << '\n';
    }
    return 0;
}
