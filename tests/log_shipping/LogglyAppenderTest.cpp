#include "BulkEndpoint.h"
#include "DiagnosticCapture.h"

#include "log_shipping/HttpResponse.h"
#include "log_shipping/LogglyAppender.h"
#include "log_shipping/LogglyAppenderFactory.h"

#include <log4cplus/helpers/property.h>
#include <log4cplus/initializer.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/mdc.h>
#include <log4cplus/spi/factory.h>
#include <log4cplus/spi/loggingevent.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

log4cplus::Initializer initializer;

const std::string token = "7c1e94d2-3a58-4f07-b6e9-2d8a51c0f37b";

// Exposes the flusher's callback so that a test can start a post without waiting 8 seconds.
class ProbeAppender : public log4cplus::LogglyAppender {
public:
    using LogglyAppender::LogglyAppender;
    using LogglyAppender::ftcFlush;
};
using ProbePtr = log4cplus::helpers::SharedObjectPtr<ProbeAppender>;

ProbePtr makeAppender() { return ProbePtr(new ProbeAppender("127.0.0.1", token, "", false)); }

const log4cplus::helpers::Time fixedTime = time_point_cast<microseconds>(
    sys_days{2026y / 12 / 8} + 2h + 42min + 20s + 123ms + 456us);

log4cplus::spi::InternalLoggingEvent event(const std::string& message,
                                           const log4cplus::helpers::Time& time = fixedTime) {
    return log4cplus::spi::InternalLoggingEvent("osx.instller", log4cplus::INFO_LOG_LEVEL, "",
                                                log4cplus::MappedDiagnosticContextMap{}, message, "worker", "",
                                                time, "file.cpp", 1, "function");
}

// The line that an event made by event() gives on a thread without context entries.
std::string plainLine(const std::string& message) {
    return "{\"timestamp\":\"2026-12-08T02:42:20.123Z\", \"level\":\"INFO\", \"threadName\":\"worker\", "
           "\"loggerName\":\"osx.instller\", \"platform\":\"Mac\", \"message\":\"" + message + "\"}\r\n";
}

std::string numbered(int i) { return "line " + std::to_string(i); }

void appendNumbered(const ProbePtr& appender, int from, int to) {
    for (int i = from; i <= to; ++i) {
        appender->doAppend(event(numbered(i)));
    }
}

void expectNumberedLines(const BulkEndpoint::Request& request, int from, int to) {
    const std::vector<std::string> lines = request.lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(to - from + 1));
    for (int i = from; i <= to; ++i) {
        EXPECT_EQ(lines[i - from], plainLine(numbered(i)));
    }
}

// How long the twentieth line, which hands the batch over, holds the logging thread.
steady_clock::duration loggingTwentiethLine(const ProbePtr& appender) {
    appendNumbered(appender, 1, 19);
    const auto started = steady_clock::now();
    appendNumbered(appender, 20, 20);
    return steady_clock::now() - started;
}

class LogglyAppenderTest : public ::testing::Test {
protected:
    void SetUp() override { log4cplus::getMDC().clear(); }
    void TearDown() override { log4cplus::getMDC().clear(); }
};

TEST_F(LogglyAppenderTest, PostsOneRequestByteForByteWithEscapedContext) {
    BulkEndpoint endpoint;
    ProbePtr appender = makeAppender();
    log4cplus::getMDC().put("process", "Installer");
    log4cplus::getMDC().put("emulatorId", "hw\"1");
    log4cplus::getMDC().put("tab\tkey", "x");

    appender->doAppend(event("say \"hi\" C:\\dir\nnext\r\x01\x1f \xc3\xbc"));
    log4cplus::getMDC().remove("tab\tkey");
    log4cplus::getMDC().put("process", "Other");
    appender->doAppend(event("second"));
    EXPECT_TRUE(endpoint.requests().empty());
    appender->close();

    // Each line carries the context entries of its moment.
    const std::string body =
        "{\"emulatorId\":\"hw\\\"1\", \"process\":\"Installer\", \"tab\\tkey\":\"x\", "
        "\"timestamp\":\"2026-12-08T02:42:20.123Z\", \"level\":\"INFO\", \"threadName\":\"worker\", "
        "\"loggerName\":\"osx.instller\", \"platform\":\"Mac\", "
        "\"message\":\"say \\\"hi\\\" C:\\\\dir\\nnext\\r\\u0001\\u001f \xc3\xbc\"}\r\n"
        "{\"emulatorId\":\"hw\\\"1\", \"process\":\"Other\", " + plainLine("second").substr(1);
    const std::string expected = "POST /bulk/" + token + "/tag/ravelune HTTP/1.1\r\n"
                                 "Host: 127.0.0.1\r\n"
                                 "User-Agent: log4cplus\r\n"
                                 "Content-type: text/plain\r\n"
                                 "Content-Length: " + std::to_string(body.size()) + "\r\n"
                                 "\r\n" + body;
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, expected);
}

// Each byte that JSON escapes, and the bytes beside them that it does not, alone among plain
// bytes at every place in a run of eight.
TEST_F(LogglyAppenderTest, EscapesEachByteWhereverItStands) {
    const std::vector<std::pair<char, std::string>> rows = {
        {'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\f', "\\f"}, {'\n', "\\n"}, {'\r', "\\r"},
        {'\t', "\\t"}, {'\0', "\\u0000"}, {'\x0b', "\\u000b"}, {'\x1f', "\\u001f"}, {' ', " "}, {'!', "!"},
        {'#', "#"}, {'[', "["}, {']', "]"}, {'\x7f', "\x7f"}, {'\x80', "\x80"}, {'\xff', "\xff"}};
    BulkEndpoint endpoint;
    ProbePtr appender = makeAppender();
    std::vector<std::string> expected;
    for (const auto& [byte, escaped] : rows) {
        for (std::size_t place = 0; place <= 8; ++place) {
            const std::string before(place, 'a');
            const std::string after(16 - place, 'b');
            appender->doAppend(event(before + byte + after));
            expected.push_back(plainLine(before + escaped + after));
        }
    }
    appender->close();
    std::vector<std::string> lines;
    for (const auto& request : endpoint.requests()) {
        const auto requestLines = request.lines();
        lines.insert(lines.end(), requestLines.begin(), requestLines.end());
    }
    EXPECT_EQ(lines, expected);
}

// Each line carries its own time in universal time to the millisecond, whatever came before.
TEST_F(LogglyAppenderTest, StampsEachLineWithItsOwnTime) {
    const sys_days day = 2026y / 12 / 8;
    const std::vector<std::pair<log4cplus::helpers::Time, std::string>> rows = {
        {fixedTime, "2026-12-08T02:42:20.123Z"},
        {day + 2h + 42min + 21s + 7us, "2026-12-08T02:42:21.000Z"},
        {day + 2h + 42min + 20s + 999999us, "2026-12-08T02:42:20.999Z"},
        {sys_days{2027y / 1 / 1} + 45ms, "2027-01-01T00:00:00.045Z"}};
    BulkEndpoint endpoint;
    ProbePtr appender = makeAppender();
    for (const auto& row : rows) {
        appender->doAppend(event("stamped", row.first));
    }
    appender->close();
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto lines = requests[0].lines();
    ASSERT_EQ(lines.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("{\"timestamp\":\"" + rows[i].second + "\", ", 0), 0u) << lines[i];
    }
}

TEST_F(LogglyAppenderTest, TwentiethLineHandsAllTwentyToTheFlusher) {
    BulkEndpoint endpoint;
    ProbePtr appender = makeAppender();
    appendNumbered(appender, 1, 19);
    EXPECT_EQ(endpoint.connections(), 0);

    appendNumbered(appender, 20, 20);
    ASSERT_TRUE(endpoint.waitForRequests(1));
    auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 1u);
    expectNumberedLines(requests[0], 1, 20);

    // Nothing is left, so neither the flusher's callback nor close opens a connection.
    appender->ftcFlush();
    appender->close();
    EXPECT_EQ(endpoint.connections(), 1);
}

TEST_F(LogglyAppenderTest, FullSizeLinesSplitByRequestBytesOnOneConnection) {
    BulkEndpoint endpoint;
    ProbePtr appender = makeAppender();
    const std::size_t overhead = plainLine("").size();
    const std::string fullMessage(921600 - overhead, 'x');
    DiagnosticCapture diagnostics;

    appender->doAppend(event(fullMessage + "y"));
    EXPECT_EQ(diagnostics.count("LogglyAppender::append() - max message size exceeded, message ignored"), 1);

    for (int i = 0; i < 5; ++i) {
        appender->doAppend(event(fullMessage));
    }
    EXPECT_EQ(endpoint.connections(), 0);  // exactly 4608000 bytes: not yet more than a request holds

    appender->doAppend(event(fullMessage));
    ASSERT_TRUE(endpoint.waitForRequests(2));
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].connection, 1);
    EXPECT_EQ(requests[1].connection, 1);
    EXPECT_EQ(requests[0].body.size(), 4608000u);
    EXPECT_EQ(requests[0].lines().size(), 5u);
    EXPECT_EQ(requests[1].lines(), std::vector<std::string>{plainLine(fullMessage)});
    appender->close();
}

TEST_F(LogglyAppenderTest, QueueKeptWhileRefusedThenPostedInFourRequestsOnOneConnection) {
    ProbePtr appender = makeAppender();
    {
        DiagnosticCapture diagnostics;
        appendNumbered(appender, 1, 45);
        // The twentieth line's batch is tried once; after that failure the lines wait for the
        // next period instead of each trying again.
        ASSERT_TRUE(diagnostics.waitFor("LogglyAppender::"));
        appendNumbered(appender, 46, 65);
        EXPECT_FALSE(diagnostics.waitFor("LogglyAppender::", 2, 300ms)) << diagnostics.text();
    }
    BulkEndpoint endpoint;
    appender->ftcFlush();

    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 4u);
    expectNumberedLines(requests[0], 1, 20);
    expectNumberedLines(requests[1], 21, 40);
    expectNumberedLines(requests[2], 41, 60);
    expectNumberedLines(requests[3], 61, 65);
    EXPECT_EQ(endpoint.connections(), 1);
    appender->close();
    EXPECT_EQ(endpoint.connections(), 1);
}

// Each request must be judged by its own answer, whatever the answer's framing: a leftover
// byte of an earlier answer must not count as acceptance.
class FailedSecondRequestTest : public LogglyAppenderTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FailedSecondRequestTest, KeepsTheRestForTheNextPost) {
    ProbePtr appender = makeAppender();
    {
        DiagnosticCapture quiet;
        appendNumbered(appender, 1, 45);
        ASSERT_TRUE(quiet.waitFor("LogglyAppender::"));  // the handed batch's failed post
    }
    BulkEndpoint endpoint;
    endpoint.setAnswer(GetParam());
    endpoint.dropRequest(2);
    DiagnosticCapture diagnostics;
    appender->ftcFlush();
    EXPECT_EQ(diagnostics.count("LogglyAppender::flush()- Get response failed"), 1) << diagnostics.text();
    ASSERT_EQ(endpoint.requests().size(), 2u);

    endpoint.dropRequest(0);
    appender->close();
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 4u);
    expectNumberedLines(requests[0], 1, 20);
    expectNumberedLines(requests[1], 21, 40);
    EXPECT_EQ(requests[2].connection, 2);
    expectNumberedLines(requests[2], 21, 40);
    expectNumberedLines(requests[3], 41, 45);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FailedSecondRequestTest,
    ::testing::Values(
        "HTTP/1.1 200 OK\r\nContent-Length: 19\r\n\r\n{\"response\" : \"ok\"}",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n{\"re\r\nf\r\nsponse\" : \"ok\"}\r\n0\r\n\r\n",
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
        // A byte that cannot begin a status line is the whole answer.
        "x",
        // An error status is still an answer: the batch is not sent again.
        "HTTP/1.1 500 Internal Server Error\r\ncontent-length: 5\r\n\r\nerror"));

TEST_F(LogglyAppenderTest, QueueBeyondThousandLinesDropsTheOldest) {
    ProbePtr appender = makeAppender();
    {
        DiagnosticCapture diagnostics;
        appendNumbered(appender, 1, 1000);
        ASSERT_TRUE(diagnostics.waitFor("LogglyAppender::"));  // the handed batch's failed post
        EXPECT_EQ(diagnostics.count("LogglyAppender::append() - Exceed message buffer size"), 0);
        appendNumbered(appender, 1001, 1002);
        EXPECT_EQ(diagnostics.count("LogglyAppender::append() - Exceed message buffer size"), 2);
    }
    BulkEndpoint endpoint;
    appender->close();
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 50u);
    expectNumberedLines(requests.front(), 3, 22);
    expectNumberedLines(requests.back(), 983, 1002);
}

TEST_F(LogglyAppenderTest, UnresolvableServerKeepsTheQueue) {
    ProbePtr appender(new ProbeAppender("", token, "", false));
    DiagnosticCapture diagnostics;
    appendNumbered(appender, 1, 20);
    EXPECT_TRUE(diagnostics.waitFor("LogglyAppender::append()- Cannot connect to server"));
    appender->close();
    EXPECT_EQ(diagnostics.count("LogglyAppender::append()- Cannot connect to server"), 2);
}

// The logging thread only queues; the flusher waits out the receive time-out. A line that
// takes the queue past its cap meanwhile drops the oldest line of the request under way, which
// does not come back when that request fails, and is reported lost then.
TEST_F(LogglyAppenderTest, SilentServiceNeverHoldsTheLoggingThread) {
    BulkEndpoint endpoint;
    endpoint.setSilent(true);
    ProbePtr appender = makeAppender();
    DiagnosticCapture diagnostics;
    EXPECT_LT(loggingTwentiethLine(appender), 1s);
    const auto handedOver = steady_clock::now();
    ASSERT_TRUE(endpoint.waitForRequests(1));
    appendNumbered(appender, 21, 1001);
    ASSERT_TRUE(diagnostics.waitFor("LogglyAppender::flush()- Get response failed"));
    const auto waited = steady_clock::now() - handedOver;
    EXPECT_GE(waited, seconds(log4cplus::helpers::BoundedSocket::ioTimeoutSeconds) - 500ms);
    EXPECT_LT(waited, seconds(log4cplus::helpers::BoundedSocket::ioTimeoutSeconds) + 3s);
    EXPECT_TRUE(diagnostics.waitFor("LogglyAppender::append() - Exceed message buffer size"));

    endpoint.setSilent(false);
    appender->close();
    EXPECT_EQ(diagnostics.count("LogglyAppender::append() - Exceed message buffer size"), 1);
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 51u);
    EXPECT_EQ(requests[1].connection, 2);
    expectNumberedLines(requests[1], 2, 21);
    expectNumberedLines(requests[50], 982, 1001);
}

// The same cap while the request under way is answered: the lines it takes off that request
// reach the service all the same, so nothing is reported dropped.
TEST_F(LogglyAppenderTest, LinesOfADeliveredRequestAreNotReportedDropped) {
    BulkEndpoint endpoint;
    endpoint.setReplyPace(20ms);  // the first request's answer takes about two seconds
    ProbePtr appender = makeAppender();
    DiagnosticCapture diagnostics;
    loggingTwentiethLine(appender);
    ASSERT_TRUE(endpoint.waitForRequests(1));
    endpoint.setReplyPace(0ms);
    appendNumbered(appender, 21, 1001);
    appender->close();
    std::vector<std::string> delivered;
    for (const auto& request : endpoint.requests()) {
        const auto lines = request.lines();
        delivered.insert(delivered.end(), lines.begin(), lines.end());
    }
    ASSERT_EQ(delivered.size(), 1001u);
    EXPECT_EQ(delivered.back(), plainLine(numbered(1001)));
    EXPECT_EQ(diagnostics.count("LogglyAppender::append() - Exceed message buffer size"), 0);
}

// An answer that trickles in holds the poster no longer than the bound on one answer (close
// waits for the post under way); its batch counts as accepted.
TEST_F(LogglyAppenderTest, SlowAnswerIsCutOffAtItsBoundAndItsBatchAccepted) {
    BulkEndpoint endpoint;
    endpoint.setReplyPace(250ms);  // the whole answer would take over 20 s
    ProbePtr appender = makeAppender();
    DiagnosticCapture diagnostics;
    loggingTwentiethLine(appender);
    ASSERT_TRUE(endpoint.waitForRequests(1));
    const auto answering = steady_clock::now();
    appender->close();
    const auto waited = steady_clock::now() - answering;
    EXPECT_GE(waited, seconds(log4cplus::helpers::answerTimeoutSeconds) - 500ms);
    EXPECT_LT(waited, seconds(log4cplus::helpers::answerTimeoutSeconds) + 2s);
    EXPECT_EQ(diagnostics.text(), "");
    EXPECT_EQ(endpoint.requests().size(), 1u);  // nothing left to post again
}

TEST_F(LogglyAppenderTest, RegisteredFactoryBuildsTheAppenderFromProperties) {
    log4cplus::registerLogglyAppenderFactory();
    log4cplus::registerLogglyAppenderFactory();
    log4cplus::spi::AppenderFactory* factory =
        log4cplus::spi::getAppenderFactoryRegistry().get("log4cplus::LogglyAppender");
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->getTypeName(), "log4cplus::LogglyAppender");

    BulkEndpoint endpoint;
    log4cplus::helpers::Properties properties;
    properties.setProperty("logServer", "127.0.0.1");
    properties.setProperty("token", "abc");
    properties.setProperty("IPv6", "false");
    log4cplus::SharedAppenderPtr appender = factory->createObject(properties);
    ASSERT_NE(dynamic_cast<log4cplus::LogglyAppender*>(appender.get()), nullptr);
    appender->doAppend(event("hello"));
    appender->close();

    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head.rfind("POST /bulk/abc/tag/ravelune HTTP/1.1\r\nHost: 127.0.0.1\r\n", 0), 0u);
    EXPECT_EQ(requests[0].body, plainLine("hello"));
}

}  // namespace
