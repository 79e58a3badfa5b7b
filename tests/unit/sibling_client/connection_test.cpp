// The client layer against fake services on real sockets: exact bytes both ways, and
// every way an exchange can go wrong ending as a value within its limit.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include "fake_line_server.hpp"
#include "loopback_listener.hpp"
#include "quillfern/sibling_client.hpp"
#include "run_task.hpp"
#include "temp_dir.hpp"

namespace quillfern::sibling_client {
namespace {

using namespace std::chrono_literals;
using testing::FakeLineServer;
using testing::TempDir;

constexpr std::size_t MIB = std::size_t{1} << 20;

// Short limits keep the failing cases fast; the cap is the real one.
constexpr Limits kShort{.connect = 300ms, .write = 300ms, .reply = 300ms, .reply_cap = MIB};

// Which step of an exchange ended it, and how.
struct Outcome {
    enum class Step { Open, Write, Read, Done } step = Step::Done;
    std::string reply;      // the line read, when the exchange got that far
    Failure failure;        // when it stopped early
    std::size_t write = 0;  // the write that failed

    friend std::ostream& operator<<(std::ostream& os, const Outcome& o) {
        return os << "step " << static_cast<int>(o.step) << " write " << o.write << " reply '" << o.reply
                  << "' failure " << static_cast<int>(o.failure.kind) << " '" << o.failure.text << "'";
    }
};

Outcome failed_at(Outcome::Step step, Failure failure) { return Outcome{step, {}, std::move(failure)}; }

Outcome outcome_of(ExchangeResult result) {
    if (result) return Outcome{Outcome::Step::Done, std::move(*result), {}};
    ExchangeFailure& failed = result.error();
    const Outcome::Step step = failed.step == ExchangeFailure::Step::Open    ? Outcome::Step::Open
                               : failed.step == ExchangeFailure::Step::Write ? Outcome::Step::Write
                                                                             : Outcome::Step::Read;
    return Outcome{step, {}, std::move(failed.failure), failed.write};
}

// One exchange_line (or exchange_to_end) with each of `writes` as a write of its own.
asio::awaitable<Outcome> exchange(Target target, std::vector<std::string> writes, Limits limits, bool to_end) {
    const std::vector<Write> each(writes.begin(), writes.end());
    auto exchanging =
        to_end ? exchange_to_end(std::move(target), each, limits) : exchange_line(std::move(target), each, limits);
    co_return outcome_of(co_await std::move(exchanging));
}

class SiblingClient : public ::testing::Test {
protected:
    Outcome run(Target target, std::vector<std::string> writes, Limits limits = kShort) {
        return testing::run_task(ctx_, exchange(std::move(target), std::move(writes), limits, false));
    }
    Outcome run_to_end(Target target, std::vector<std::string> writes, Limits limits = kShort) {
        return testing::run_task(ctx_, exchange(std::move(target), std::move(writes), limits, true));
    }
    Target unix_target() const { return UnixPath{path_}; }
    // Serves `behaviour` on the Unix socket and makes one exchange of "request\n" there,
    // its reply given `reply_limit`.
    Outcome serve_one(FakeLineServer::Behaviour behaviour, std::chrono::milliseconds reply_limit, bool to_end) {
        server_ = FakeLineServer::on_unix_socket(path_, std::move(behaviour));
        Limits limits = kShort;
        limits.reply = reply_limit;
        return to_end ? run_to_end(unix_target(), {"request\n"}, limits) : run(unix_target(), {"request\n"}, limits);
    }

    TempDir dir_;
    std::string path_ = dir_.file("sib.sock");
    asio::io_context ctx_;
    std::unique_ptr<FakeLineServer> server_;  // serve_one's
};

// ---- Exact bytes both ways -------------------------------------------------------------------

TEST_F(SiblingClient, WritesEachPieceAndReadsTheReplyLineAsSent) {
    const std::string reply = R"({"id":1,"jsonrpc":"2.0","result":{"accepted":3}})"
                              "\n";
    auto server = FakeLineServer::on_unix_socket(path_, FakeLineServer::answer(reply + "second line\n"));
    Outcome outcome = run(unix_target(), {std::string(kJsonrpcSignal), R"({"id":1})", "\n"});
    EXPECT_EQ(outcome.step, Outcome::Step::Done) << outcome;
    EXPECT_EQ(outcome.reply, reply);
    ASSERT_TRUE(server->wait_for_requests(1));
    EXPECT_EQ(server->received(), std::vector<std::string>{"\xEC\x01{\"id\":1}\n"});
}

TEST_F(SiblingClient, AWriteOfThreePiecesGoesOutAsTheirBytesInOrder) {
    auto server = FakeLineServer::on_unix_socket(path_, FakeLineServer::answer("ok\n"));
    const std::string head = R"({"payload":)";
    const std::string body = R"({"entries":[]})";
    const std::string tail = "}\n";
    const std::array<Write, 2> writes{kJsonrpcSignal, Write{head, body, tail}};
    auto exchanging = exchange_line(unix_target(), writes, kShort);
    Outcome outcome = outcome_of(testing::run_task(ctx_, std::move(exchanging)));
    EXPECT_EQ(outcome.reply, "ok\n") << outcome;
    ASSERT_TRUE(server->wait_for_requests(1));
    EXPECT_EQ(server->received(), std::vector<std::string>{"\xEC\x01{\"payload\":{\"entries\":[]}}\n"});
}

TEST_F(SiblingClient, ReachesAPeerOverTcpByItsAddressText) {
    auto server = FakeLineServer::on_tcp_port(FakeLineServer::answer("ok\n"));
    Outcome outcome = run(TcpAddress{server->address()}, {"ping\n"});
    EXPECT_EQ(outcome.reply, "ok\n") << outcome;
    EXPECT_EQ(server->received(), std::vector<std::string>{"ping\n"});
}

// ---- Reply lines ------------------------------------------------------------------------------

struct ReplyCase {
    friend void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    FakeLineServer::Behaviour behaviour;
    Outcome expected;
    // Only the cases that wait for the limit get a short one.
    std::chrono::milliseconds reply_limit = 10s;
};

Outcome done(std::string reply) { return Outcome{Outcome::Step::Done, std::move(reply), {}}; }
Outcome read_failure(FailureKind kind, std::string text) {
    return failed_at(Outcome::Step::Read, {kind, std::move(text)});
}

class ReplyLines : public SiblingClient, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyLines, EndAsALineOrAFailureWithinTheLimit) {
    Outcome outcome = serve_one(GetParam().behaviour, GetParam().reply_limit, false);
    EXPECT_EQ(outcome.step, GetParam().expected.step) << outcome;
    EXPECT_EQ(outcome.reply, GetParam().expected.reply);
    EXPECT_EQ(outcome.failure, GetParam().expected.failure);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyLines,
    ::testing::Values(
        ReplyCase{"LineWithoutNewlineUpToTheEnd", FakeLineServer::answer("partial"), done("partial")},
        ReplyCase{"OnlyANewline", FakeLineServer::answer("\n"), done("\n")},
        ReplyCase{"ExactlyTheCap", FakeLineServer::answer(std::string(MIB, 'x') + "\n"),
                  done(std::string(MIB, 'x') + "\n")},
        ReplyCase{"OneBytePastTheCap", FakeLineServer::answer(std::string(MIB + 1, 'x') + "\n"),
                  read_failure(FailureKind::TooLong, "reply longer than 1048576 bytes")},
        ReplyCase{"EndlessReplyWithoutNewline", FakeLineServer::answer(std::string(8 * MIB, 'x'), false),
                  read_failure(FailureKind::TooLong, "reply longer than 1048576 bytes")},
        ReplyCase{"NotUtf8", FakeLineServer::answer("\xFF\xFE\n"),
                  read_failure(FailureKind::InvalidUtf8, "stream did not contain valid UTF-8")},
        ReplyCase{"ClosedWithoutAByte", FakeLineServer::answer(""), read_failure(FailureKind::Closed, "end of stream")},
        ReplyCase{"Silent", FakeLineServer::silent(), read_failure(FailureKind::TimedOut, "timed out"), 300ms},
        ReplyCase{"HalfALineThenSilence", FakeLineServer::answer("{\"res", false),
                  read_failure(FailureKind::TimedOut, "timed out"), 300ms},
        ReplyCase{"TooLate", FakeLineServer::answer_late("late\n", 2s),
                  read_failure(FailureKind::TimedOut, "timed out"), 300ms}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SiblingClient, ASlowButTimelyReplyIsRead) {
    auto server = FakeLineServer::on_unix_socket(path_, FakeLineServer::answer_late("late\n", 100ms));
    Limits limits = kShort;
    limits.reply = 5s;
    EXPECT_EQ(run(unix_target(), {"request\n"}, limits).reply, "late\n");
}

// ---- Connecting -------------------------------------------------------------------------------

// A TCP port nothing listens on: bound, then released.
std::string closed_tcp_address() {
    auto server = FakeLineServer::on_tcp_port(FakeLineServer::close_at_once());
    std::string address = server->address();
    server->stop();
    return address;
}

TEST_F(SiblingClient, ConnectFailuresCarryTheSystemsText) {
    struct Case {
        Target target;
        Failure failure;
    };
    const std::vector<Case> cases{
        {UnixPath{dir_.file("absent.sock")}, {FailureKind::Io, "No such file or directory (os error 2)"}},
        {UnixPath{dir_.path()}, {FailureKind::Io, "Connection refused (os error 111)"}},
        {UnixPath{std::string(120, 'p')}, {FailureKind::Io, "path must be shorter than SUN_LEN"}},
        {TcpAddress{closed_tcp_address()}, {FailureKind::Io, "Connection refused (os error 111)"}},
        {TcpAddress{"gate-without-port"}, {FailureKind::Io, "invalid socket address"}},
        {TcpAddress{"127.0.0.1:99999"}, {FailureKind::Io, "invalid port value"}},
    };
    for (const Case& c : cases) {
        for (bool to_end : {false, true}) {
            Outcome outcome = to_end ? run_to_end(c.target, {"x\n"}) : run(c.target, {"x\n"});
            EXPECT_EQ(outcome.step, Outcome::Step::Open) << outcome;
            EXPECT_EQ(outcome.failure, c.failure);
        }
    }
}

TEST_F(SiblingClient, AConnectThatHangsEndsAtItsLimit) {
    // A loopback listener with a full accept queue drops further connection attempts,
    // so the next connect neither succeeds nor fails.
    const testing::LoopbackListener listener(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(fd, listener.address(), listener.address_size());
        fillers.push_back(fd);
    }
    Outcome outcome = run(TcpAddress{"127.0.0.1:" + std::to_string(listener.port())}, {"x\n"});
    EXPECT_EQ(outcome.step, Outcome::Step::Open) << outcome;
    EXPECT_EQ(outcome.failure, (Failure{FailureKind::TimedOut, "timed out"}));
    for (int fd : fillers) ::close(fd);
}

// ---- Writing ----------------------------------------------------------------------------------

TEST_F(SiblingClient, AWriteThePeerNeverReadsEndsAtItsLimitAndIsNamedByItsPlace) {
    auto server = FakeLineServer::on_unix_socket(path_, FakeLineServer::never_read());
    for (bool to_end : {false, true}) {
        const std::vector<std::string> writes{"small\n", std::string(16 * MIB, 'w'), "never written\n"};
        Outcome outcome = to_end ? run_to_end(unix_target(), writes) : run(unix_target(), writes);
        EXPECT_EQ(outcome.step, Outcome::Step::Write) << outcome;
        EXPECT_EQ(outcome.write, 1u);
        EXPECT_EQ(outcome.failure, (Failure{FailureKind::TimedOut, "timed out"}));
    }
}

TEST_F(SiblingClient, AWriteToAClosedPeerFailsWithTheSystemsText) {
    auto server = FakeLineServer::on_unix_socket(path_, FakeLineServer::close_at_once());
    auto task = [&]() -> asio::awaitable<Outcome> {
        auto opening = Connection::open(unix_target(), kShort);
        auto connection = co_await std::move(opening);
        if (!connection) co_return failed_at(Outcome::Step::Open, connection.error());
        server->wait_for_connections(1);
        server->wait_for_all_closed();
        const std::string bytes = "x\n";
        auto sent = co_await connection->write(bytes);
        if (!sent) co_return failed_at(Outcome::Step::Write, sent.error());
        co_return done({});
    };
    Outcome outcome = testing::run_task(ctx_, task());
    EXPECT_EQ(outcome.step, Outcome::Step::Write) << outcome;
    EXPECT_EQ(outcome.failure, (Failure{FailureKind::Io, "Broken pipe (os error 32)"}));
}

// ---- Reading to the end -----------------------------------------------------------------------

struct ToEndCase {
    friend void PrintTo(const ToEndCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    FakeLineServer::Behaviour behaviour;
    std::string expected;
    std::chrono::milliseconds reply_limit = 10s;
};

class ReadUntilEnd : public SiblingClient, public ::testing::WithParamInterface<ToEndCase> {};

TEST_P(ReadUntilEnd, GivesWhatArrivedByTheEndTheCapOrTheLimit) {
    Outcome outcome = serve_one(GetParam().behaviour, GetParam().reply_limit, true);
    EXPECT_EQ(outcome.step, Outcome::Step::Done) << outcome;
    EXPECT_EQ(outcome.reply, GetParam().expected);
    // The request went out as it was, and nothing after it.
    ASSERT_TRUE(server_->wait_for_requests(1));
    EXPECT_EQ(server_->received(), std::vector<std::string>{"request\n"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadUntilEnd,
    ::testing::Values(
        ToEndCase{"SeveralLinesToTheEnd", FakeLineServer::answer("a\nb\nc"), "a\nb\nc"},
        ToEndCase{"NothingBeforeTheEnd", FakeLineServer::answer(""), ""},
        ToEndCase{"KeptOpenAfterTheReply", FakeLineServer::answer("verdict\n", false), "verdict\n", 300ms},
        ToEndCase{"CutAtTheCap", FakeLineServer::answer(std::string(MIB + 100, 'y'), false), std::string(MIB, 'y')}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillfern::sibling_client
