// The classification service's HTTP side over loopback, driven from raw
// sockets: what it answers before a body arrives, how it caps bodies, and
// that slow or idle clients cannot keep others from being served.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/eventually.h"
#include "tests/support/memory.h"
#include "classifier/classifier_server.h"
#include "classifier/options.h"

using json = nlohmann::json;
using namespace ostrel_classifier;
using namespace std::chrono_literals;
using ostrel_test::Eventually;

namespace {

using Clock = std::chrono::steady_clock;

const std::string TOKEN = "s3cret";

// What came back on a connection: the final answer (interim 1xx skipped).
struct Answer {
    int status = 0; // 0: no whole answer by the deadline
    std::string body;
    size_t content_length = 0;
    bool closed = false; // the server ended the connection
};

// One client connection from a raw socket, so that a test controls every
// byte and its timing.
class Connection
{
public:
    // `from`: the loopback address the client sends from.
    explicit Connection(int port, int receive_buffer = 0, const char *from = "127.0.0.1")
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        // A small receive window makes the server's writes block early.
        if (receive_buffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        sockaddr_in source {};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof(source)), 0) << strerror(errno);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0) << strerror(errno);
    }
    ~Connection() { close(fd); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // False once the server no longer takes bytes.
    bool Send(const std::string &bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    void EndSending() { shutdown(fd, SHUT_WR); }

    // Reads until a whole answer is in, the server closes, or the deadline
    // passes; at most `chunk` bytes per read, `pause` between reads.
    Answer Read(
        std::chrono::milliseconds timeout, size_t chunk = 65536, std::chrono::milliseconds pause = 0ms)
    {
        const auto deadline = Clock::now() + timeout;
        Answer answer;
        std::vector<char> buffer(chunk);
        while (!Whole(answer)) {
            if (!Wait(deadline)) return answer;
            ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                answer.closed = true;
                Whole(answer);
                return answer;
            }
            received.append(buffer.data(), static_cast<size_t>(got));
            if (pause > 0ms) std::this_thread::sleep_for(pause);
        }
        return answer;
    }

    // True when the server ends the connection within `timeout`.
    bool ClosedWithin(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        char buffer[4096];
        while (Wait(deadline)) {
            if (recv(fd, buffer, sizeof(buffer), 0) <= 0) return true;
        }
        return false;
    }

    const std::string &Received() const { return received; }
    int Fd() const { return fd; }

private:
    bool Wait(Clock::time_point deadline) const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p {fd, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(left)) > 0;
    }

    // Parses what arrived; true when the final answer is complete.
    bool Whole(Answer &answer)
    {
        for (;;) {
            size_t head_end = received.find("\r\n\r\n", consumed);
            if (head_end == std::string::npos || received.compare(consumed, 5, "HTTP/") != 0) return false;
            const std::string head = received.substr(consumed, head_end - consumed);
            const int status = std::atoi(head.c_str() + head.find(' ') + 1);
            if (status >= 100 && status < 200) {
                consumed = head_end + 4;
                continue;
            }
            std::string lower = head;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            size_t at = lower.find("\r\ncontent-length:");
            answer.content_length = at == std::string::npos ? 0 : std::stoul(lower.substr(at + 17));
            if (received.size() - (head_end + 4) < answer.content_length) return false;
            answer.status = status;
            answer.body = received.substr(head_end + 4, answer.content_length);
            return true;
        }
    }

    int fd = -1;
    std::string received;
    size_t consumed = 0;
};

std::string Chunk(const std::string &data)
{
    char size[32];
    snprintf(size, sizeof(size), "%zx\r\n", data.size());
    return size + data + "\r\n";
}

std::string Gzip(const std::string &data)
{
    z_stream stream {};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string Head(const std::string &method, const std::string &path, const std::string &extra)
{
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

const std::string AUTH = "Authorization: Bearer " + TOKEN + "\r\n";
const std::string AGENT = "X-UUID: agent-1\r\nX-UUID-Site: -\r\nX-UUID-Serial: serial-1\r\n";

// `count` short header lines, of `size` bytes each with their CRLF.
std::string HeaderLines(size_t count, size_t size = 8)
{
    std::string lines;
    for (size_t i = 0; i < count; i++)
        lines += "X-A: " + std::string(size - 7, 'a') + "\r\n";
    return lines;
}

class ClassifierServerTest : public ::testing::Test
{
protected:
    void Start(const ServerLimits &limits)
    {
        server = std::make_unique<HttpServer>(service, limits, true);
        port = server->Bind("127.0.0.1", 0);
        ASSERT_GT(port, 0);
        listener = std::thread([this] { server->Listen(); });
        // Stop() only takes effect once the server runs.
        ASSERT_TRUE(Eventually([this] { return server->IsRunning(); }, 10s));
    }

    void TearDown() override
    {
        if (!server) return;
        server->Stop();
        listener.join();
    }

    Answer Get(std::chrono::milliseconds timeout = 10s, const char *from = "127.0.0.1")
    {
        Connection client(port, 0, from);
        client.Send(Head("GET", INDEX_PATH, AUTH));
        return client.Read(timeout);
    }

    Service service {ParseRules(R"({"kinds": [{"label": "Printer", "type": "printer",
        "rules": [{"field": "mdns_services", "equals": "_ipp._tcp.local", "score": 90}]}]})"),
        TOKEN};
    std::unique_ptr<HttpServer> server;
    std::thread listener;
    int port = 0;
};

TEST_F(ClassifierServerTest, RequestsRefusedByTheirHeadersAreAnsweredBeforeTheBody)
{
    ServerLimits limits;
    limits.read_timeout = 30s; // no answer below may come from a time-out
    Start(limits);
    struct Case {
        const char *name;
        std::string head;
        int status;
    } cases[] = {
        {"chunked, no token", Head("POST", UPLOAD_PATH, "Transfer-Encoding: chunked\r\n"), 401},
        {"chunked, wrong token",
            Head("POST", UPLOAD_PATH, "Authorization: Bearer s3cre\r\nTransfer-Encoding: chunked\r\n"), 401},
        {"waits for 100-continue, no token",
            Head("POST", UPLOAD_PATH, "Expect: 100-continue\r\nContent-Length: 8000000\r\n"), 401},
        {"declared length over the cap",
            Head(
                "POST", UPLOAD_PATH, AUTH + "Content-Length: " + std::to_string(MAX_BODY_BYTES + 1) + "\r\n"),
            413},
        {"chunked to an unknown path",
            Head("POST", "/v1/discovery/uploads", AUTH + "Transfer-Encoding: chunked\r\n"), 404},
        {"chunked, wrong method", Head("PUT", UPLOAD_PATH, AUTH + "Transfer-Encoding: chunked\r\n"), 404},
        // With Host, one header line over the bound.
        {"101 header lines, no token", Head("GET", INDEX_PATH, HeaderLines(100)), 431},
        {"over 32 KiB of headers, with the token", Head("GET", INDEX_PATH, AUTH + HeaderLines(60, 600)), 431},
    };
    // Each from an address of its own: a refused connection keeps its
    // address's share while the server lingers for its client to close, and
    // a fast run would otherwise meet the limit of connections per address.
    int from = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string address = "127.0.1." + std::to_string(++from);
        Connection client(port, 0, address.c_str());
        ASSERT_TRUE(client.Send(c.head));
        Answer answer = client.Read(5s);
        ASSERT_EQ(answer.status, c.status) << client.Received();
        EXPECT_EQ(json::parse(answer.body)["status_code"], c.status);
        // Nothing more is read from a refused request.
        EXPECT_TRUE(client.ClosedWithin(5s));
    }
    // A client that sends its body regardless still gets its answer.
    Connection eager(port);
    ASSERT_TRUE(eager.Send(
        Head("POST", UPLOAD_PATH, "Transfer-Encoding: chunked\r\n") + Chunk(std::string(60000, ' '))));
    Answer answer = eager.Read(5s);
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(json::parse(answer.body)["status_message"], "missing or wrong bearer token");
    // Exactly the bounds are still served.
    Connection full(port);
    ASSERT_TRUE(full.Send(Head("GET", INDEX_PATH, AUTH + HeaderLines(98))));
    EXPECT_EQ(full.Read(5s).status, 200) << full.Received();
    Connection large(port);
    // In lines that httplib's own bound on one line lets through.
    const size_t left = 32 * 1024 - Head("GET", INDEX_PATH, AUTH).size();
    ASSERT_TRUE(large.Send(
        Head("GET", INDEX_PATH, AUTH + HeaderLines(4, left / 5) + HeaderLines(1, left - 4 * (left / 5)))));
    EXPECT_EQ(large.Read(5s).status, 200) << large.Received().substr(0, 200);
}

TEST_F(ClassifierServerTest, BodiesOverTheCapGet413HoweverTheyAreFramed)
{
    ServerLimits limits;
    limits.max_body_bytes = 64 * 1024;
    Start(limits);
    const size_t cap = limits.max_body_bytes;
    const std::string over(4 * cap, ' ');
    std::string chunked;
    for (size_t at = 0; at < over.size(); at += 16384)
        chunked += Chunk(over.substr(at, 16384));
    chunked += "0\r\n\r\n";
    // Spaces compress to almost nothing: a small request that inflates past the cap.
    const std::string bomb = Chunk(Gzip(std::string(64 * cap, ' '))) + "0\r\n\r\n";
    struct Case {
        const char *name;
        std::string request;
        bool end_sending;
    } cases[] = {
        {"chunked", Head("POST", UPLOAD_PATH, AUTH + "Transfer-Encoding: chunked\r\n") + chunked, false},
        {"gzip, chunked",
            Head("POST", UPLOAD_PATH, AUTH + "Transfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n")
                + bomb,
            false},
        {"until the connection ends", Head("POST", UPLOAD_PATH, AUTH) + over, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Connection client(port);
        // The server may stop reading at any point: send from another thread.
        std::thread sender([&client, &c] {
            if (client.Send(c.request) && c.end_sending) client.EndSending();
        });
        Answer answer = client.Read(10s);
        sender.join();
        ASSERT_EQ(answer.status, 413) << client.Received().substr(0, 300);
        const json body = json::parse(answer.body);
        EXPECT_EQ(body["status_code"], 413);
        EXPECT_NE(body["status_message"].get<std::string>().find(std::to_string(cap)), std::string::npos)
            << body["status_message"];
    }
    // Exactly the cap is still taken.
    Connection client(port);
    const std::string full = "[" + std::string(cap - 2, ' ') + "]";
    ASSERT_TRUE(client.Send(Head("POST", UPLOAD_PATH, AUTH + "Transfer-Encoding: chunked\r\n")
        + Chunk(full.substr(0, cap / 2)) + Chunk(full.substr(cap / 2)) + "0\r\n\r\n"));
    Answer answer = client.Read(10s);
    EXPECT_EQ(answer.status, 200) << answer.body;
}

TEST_F(ClassifierServerTest, SlowAndIdleConnectionsDoNotKeepOthersWaiting)
{
    // More slow clients than the service has threads, and more than a thread
    // pool sized by the machine would have.
    const size_t slow = std::max(8u, std::thread::hardware_concurrency()) + 2;
    const size_t idle = 2;
    ServerLimits limits;
    limits.max_connections = 2;
    limits.max_waiting = slow + idle + 1;
    limits.max_per_client = slow + idle + 1;
    limits.read_timeout = 300ms;
    Start(limits);

    std::vector<std::unique_ptr<Connection>> holders;
    for (size_t i = 0; i < slow + idle; i++)
        holders.push_back(std::make_unique<Connection>(port));
    // Each slow client sends its request a byte at a time, and never ends it.
    std::atomic<bool> stop {false};
    std::thread drip([&] {
        const std::string request
            = Head("GET", INDEX_PATH, AUTH + "X-Padding: " + std::string(4096, 'p') + "\r\n");
        for (size_t at = 0; at < request.size() && !stop; at++) {
            for (size_t i = 0; i < slow; i++)
                send(holders[i]->Fd(), &request[at], 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(20ms);
        }
    });

    Answer answer = Get(20s);
    EXPECT_EQ(answer.status, 200);
    // Every holder is let go once its time is up.
    for (auto &holder : holders)
        EXPECT_TRUE(holder->ClosedWithin(20s));
    stop = true;
    drip.join();
}

TEST_F(ClassifierServerTest, ConnectionsBeyondTheWaitingRoomGet503AtOnce)
{
    ServerLimits limits;
    limits.max_connections = 1;
    limits.max_waiting = 1;
    limits.read_timeout = 1500ms;
    Start(limits);

    // One is served and one waits; the others cannot be held.
    std::vector<std::unique_ptr<Connection>> clients;
    for (int i = 0; i < 4; i++)
        clients.push_back(std::make_unique<Connection>(port));
    size_t refused = 0;
    for (auto &client : clients) {
        Answer answer = client->Read(500ms);
        if (answer.status == 503) {
            refused++;
            EXPECT_EQ(json::parse(answer.body)["status_code"], 503);
            EXPECT_TRUE(client->ClosedWithin(1s));
        } else {
            EXPECT_EQ(answer.status, 0) << client->Received();
        }
    }
    EXPECT_GE(refused, 2u);
    // Once the held ones time out, the service is free again.
    for (auto &client : clients)
        EXPECT_TRUE(client->ClosedWithin(10s));
    EXPECT_EQ(Get().status, 200);
}

TEST_F(ClassifierServerTest, AnAnswerNotTakenInTimeIsCutOff)
{
    ServerLimits limits;
    limits.write_timeout = 500ms;
    limits.max_connections = 1;
    Start(limits);
    // An index answer of some 11 MB: more than socket buffers hold.
    json devices = json::array();
    for (size_t i = 0; i < 1000; i++)
        devices.push_back({{"mac", std::to_string(i) + std::string(11000, 'm')}});
    ASSERT_EQ(
        service.Upload("Bearer " + TOKEN, devices.dump(), AgentId {"agent-1", "serial-1"}).http_status, 200);

    Connection stalled(port, 4096);
    ASSERT_TRUE(stalled.Send(Head("GET", INDEX_PATH, AUTH + AGENT)));
    // While that client takes nothing, the one thread gives up on it and
    // serves the next.
    EXPECT_EQ(Get(20s).status, 200);
    // What the buffers held, then the end.
    Answer answer = stalled.Read(20s);
    EXPECT_TRUE(answer.closed);
    EXPECT_EQ(answer.status, 0) << "the whole answer arrived";
    EXPECT_GT(answer.content_length, 10000000u);
    EXPECT_LT(stalled.Received().size(), answer.content_length);
}

TEST_F(ClassifierServerTest, OneAddressCannotHoldTheServiceNorAFloodGrowIt)
{
    ServerLimits limits;
    limits.max_connections = 3;
    limits.max_waiting = 4;
    limits.max_per_client = 2;
    limits.read_timeout = 30s; // no answer below may come from a time-out
    Start(limits);
    // Short header lines without a token and without the line that ends them.
    const std::string flood = "GET " + std::string(INDEX_PATH) + " HTTP/1.1\r\n" + HeaderLines(128 * 1024);
    // From an address of its own: the server may hold this connection's
    // share for a moment after its answer, which would free a place among
    // the idle ones below.
    ASSERT_EQ(Get(10s, "127.0.0.4").status, 200);
    ostrel_test::SettleHeap();
    const size_t heap_before = ostrel_test::HeapInUse();
    const int64_t resident_before = ostrel_test::ResidentBytes();
    ostrel_test::ResetPeakResident();

    // More idle connections from one address than there are threads and
    // waiting places: those past its share are answered 503 at once.
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 8; i++)
        idle.push_back(std::make_unique<Connection>(port));
    for (size_t i = limits.max_per_client; i < idle.size(); i++) {
        Answer answer = idle[i]->Read(5s);
        EXPECT_EQ(answer.status, 503) << i;
        EXPECT_NE(answer.body.find("from your address"), std::string::npos) << answer.body;
    }
    // Floods of header lines from another address are cut off at the bound.
    for (int i = 0; i < 2; i++) {
        Connection flooder(port, 0, "127.0.0.3");
        std::thread sender([&flooder, &flood] { flooder.Send(flood); });
        Answer answer = flooder.Read(10s);
        sender.join();
        EXPECT_EQ(answer.status, 431) << flooder.Received().substr(0, 200);
    }
    // Meanwhile a third address is served.
    EXPECT_EQ(Get(10s, "127.0.0.2").status, 200);
    idle.clear();
    EXPECT_TRUE(Eventually([&] { return ostrel_test::HeapInUse() < heap_before + 1024 * 1024; }, 10s))
        << ostrel_test::HeapInUse() - heap_before << " bytes more";
    EXPECT_LT(ostrel_test::PeakResidentBytes() - resident_before, 16 * 1024 * 1024);
}

TEST(ClassifierOptionsTest, LimitsAreSetFromTheCommandLineAndBadValuesNamed)
{
    std::vector<std::string> good = {"ostrel-classifier", "--port", "8080", "--token", "t", "--read-timeout",
        "2.5", "--write-timeout", "1", "--max-connections", "4", "--max-waiting", "0", "--max-per-client",
        "3", "--bind", "0.0.0.0", "--quiet"};
    std::vector<char *> argv;
    for (std::string &arg : good)
        argv.push_back(&arg[0]);
    ServiceOptions options;
    std::string error;
    ASSERT_TRUE(ParseServiceOptions(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    EXPECT_EQ(options.port, 8080);
    EXPECT_EQ(options.token, "t");
    EXPECT_EQ(options.limits.read_timeout, 2500ms);
    EXPECT_EQ(options.limits.write_timeout, 1000ms);
    EXPECT_EQ(options.limits.max_connections, 4u);
    EXPECT_EQ(options.limits.max_waiting, 0u);
    EXPECT_EQ(options.limits.max_per_client, 3u);
    EXPECT_TRUE(options.quiet);

    struct Case {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"--read-timeout", "0"}, "--read-timeout 0: must be a number of seconds from 0.01 to 3600"},
        {{"--write-timeout", "soon"}, "--write-timeout soon: must be a number of seconds from 0.01 to 3600"},
        {{"--max-connections", "0"}, "--max-connections 0: must be a whole number from 1 to 1000"},
        {{"--max-waiting", "-1"}, "--max-waiting -1: must be a whole number from 0 to 10000"},
        {{"--port", "65536"}, "--port 65536: must be a number from 0 to 65535"},
        {{"--max-connections"}, "--max-connections: needs a value"},
        {{"--max-per-client", "0"}, "--max-per-client 0: must be a whole number from 1 to 1000"},
        {{"--token", ""}, "--token: must not be empty (an empty token would let every request in)"},
        {{"--bind", "0.0.0.0"},
            "--bind 0.0.0.0: not a loopback address, and no --token: give one, or --allow-no-token to answer "
            "anyone who can reach it"},
        {{"--bind", "::"},
            "--bind ::: not a loopback address, and no --token: give one, or --allow-no-token to answer "
            "anyone "
            "who can reach it"},
        {{"--bind", "192.168.1.2", "--token", "t"}, ""},
        {{"--bind", "0.0.0.0", "--allow-no-token"}, ""},
        {{"--bind", "127.0.0.2"}, ""},
        {{"--bind", "::1"}, ""},
        {{"--bind", "localhost"}, ""},
        {{"--port=8080", "--quiet"}, ""},
        {{"--quiet=1"}, "--quiet=1: unknown option"},
        {{"--quiet", "extra", "--port", "x"}, "extra: unknown option"},
        // --help and --version end the parse: what follows is not checked.
        {{"--quiet", "--help", "--port", "x"}, ""},
        {{"--version", "--bogus"}, ""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"ostrel-classifier"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char *> raw;
        for (std::string &arg : args)
            raw.push_back(&arg[0]);
        ServiceOptions ignored;
        error.clear();
        // An empty error: taken.
        EXPECT_EQ(ParseServiceOptions(static_cast<int>(raw.size()), raw.data(), ignored, error), !*c.error)
            << args[1];
        EXPECT_EQ(error, c.error) << args[1];
    }
}

} // namespace
