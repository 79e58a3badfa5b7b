// The installed subscriber: filtering at the call site, capture for tests, writing to
// standard output and reporting failed writes.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "quillfern/log.hpp"

namespace quillfern::log {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// "YYYY-MM-DDTHH:MM:SS.ffffffZ": digits where the pattern has '9'.
bool is_timestamp(std::string_view s) {
    constexpr std::string_view kPattern = "9999-99-99T99:99:99.999999Z";
    if (s.size() != kPattern.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool ok = kPattern[i] == '9' ? (s[i] >= '0' && s[i] <= '9') : s[i] == kPattern[i];
        if (!ok) return false;
    }
    return true;
}

// The thread and sequence numbers of an event "<prefix><thread><middle><sequence>".
std::optional<std::pair<int, int>> parse_numbered(std::string_view event, std::string_view prefix,
                                                  std::string_view middle) {
    if (!event.starts_with(prefix)) return std::nullopt;
    event.remove_prefix(prefix.size());
    int thread = 0, sequence = 0;
    auto [after_thread, e1] = std::from_chars(event.data(), event.data() + event.size(), thread);
    if (e1 != std::errc{}) return std::nullopt;
    std::string_view rest(after_thread, static_cast<std::size_t>(event.data() + event.size() - after_thread));
    if (!rest.starts_with(middle)) return std::nullopt;
    rest.remove_prefix(middle.size());
    auto [end, e2] = std::from_chars(rest.data(), rest.data() + rest.size(), sequence);
    if (e2 != std::errc{} || end != rest.data() + rest.size()) return std::nullopt;
    return std::pair{thread, sequence};
}

// One fixed call site, so that its remembered decision is exercised across filters.
void log_debug_from_fixed_site(std::string_view message) { QF_LOG(Level::Debug, "quillfern_server::spread", message); }

TEST(Capture, RecordsEventsWithoutTimestampAndWithFields) {
    testing::Capture capture("debug");
    QF_LOG(Level::Info, "quillfern_server", "quillFern started — fern spreads, kit validates",
           text("node_id", "gate-7"));
    QF_LOG(Level::Debug, "quillfern_core::gossip", "Gossip entry ingested", text("topic", "varne"), text("key", "k"),
           text("origin", "gate-7"), number("ttl", 7));
    QF_LOG(Level::Error, "quillfern_server", "Cross-gate gossip listener failed");
    EXPECT_THAT(capture.events(),
                ElementsAre(" INFO quillfern_server: quillFern started — fern spreads, kit validates node_id=gate-7",
                            "DEBUG quillfern_core::gossip: Gossip entry ingested topic=varne key=k origin=gate-7 ttl=7",
                            "ERROR quillfern_server: Cross-gate gossip listener failed"));
    EXPECT_TRUE(capture.contains("ttl=7"));
    EXPECT_FALSE(capture.contains("ttl=8"));
}

TEST(Capture, LinesCarryATimestampOfTwentySevenCharacters) {
    testing::Capture capture;
    QF_LOG(Level::Warn, "t", "m");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(is_timestamp(std::string_view(lines[0]).substr(0, 27))) << lines[0];
    EXPECT_EQ(lines[0].substr(27), "  WARN t: m");
}

TEST(Capture, AppliesItsFilterAndFallsBackToInfoWhenInvalid) {
    {
        testing::Capture capture("quillfern_server=debug");
        QF_LOG(Level::Debug, "quillfern_server::server", "kept");
        QF_LOG(Level::Info, "quillfern_core::gossip", "dropped: no directive names it");
        EXPECT_THAT(capture.events(), ElementsAre("DEBUG quillfern_server::server: kept"));
    }
    {
        testing::Capture capture("debug,quillfern_server=loud");
        QF_LOG(Level::Debug, "quillfern_server", "dropped");
        QF_LOG(Level::Info, "quillfern_server", "kept");
        EXPECT_THAT(capture.events(), ElementsAre(" INFO quillfern_server: kept"));
    }
    {
        testing::Capture capture("");
        QF_LOG(Level::Error, "quillfern_server", "dropped");
        EXPECT_THAT(capture.lines(), IsEmpty());
    }
}

TEST(Capture, RestoresTheSubscriberBeforeIt) {
    testing::Capture outer("info");
    {
        testing::Capture inner("trace");
        QF_LOG(Level::Info, "t", "to inner");
        EXPECT_THAT(inner.events(), ElementsAre(" INFO t: to inner"));
    }
    QF_LOG(Level::Info, "t", "to outer");
    log_debug_from_fixed_site("dropped by outer");
    EXPECT_THAT(outer.events(), ElementsAre(" INFO t: to outer"));
}

TEST(SiteDecision, IsMadeAgainForEachInstalledFilter) {
    {
        testing::Capture capture("info");
        log_debug_from_fixed_site("first");
        EXPECT_THAT(capture.lines(), IsEmpty());
    }
    {
        testing::Capture capture("quillfern_server::spread=debug");
        log_debug_from_fixed_site("second");
        log_debug_from_fixed_site("third");
        EXPECT_THAT(capture.events(),
                    ElementsAre("DEBUG quillfern_server::spread: second", "DEBUG quillfern_server::spread: third"));
    }
    {
        testing::Capture capture("quillfern_server::spread=info,debug");
        log_debug_from_fixed_site("fourth");
        EXPECT_THAT(capture.lines(), IsEmpty());
    }
}

TEST(SiteDecision, FilteredEventsComputeNothing) {
    int computed = 0;
    auto message = [&] {
        ++computed;
        return std::string("m");
    };
    testing::Capture capture("quillfern_server=debug");
    QF_LOG(Level::Trace, "quillfern_server", message());                              // below the global threshold
    QF_LOG(Level::Debug, "quillfern_core::gossip", message(), text("k", message()));  // no directive matches
    EXPECT_EQ(computed, 0);
    QF_LOG(Level::Debug, "quillfern_server", message(), text("k", message()));
    EXPECT_EQ(computed, 2);
    EXPECT_THAT(capture.events(), ElementsAre("DEBUG quillfern_server: m k=m"));
}

TEST(Emit, FiltersWhenCalledDirectly) {
    testing::Capture capture("quillfern_server=warn");
    emit(Level::Info, "quillfern_server", "dropped");
    emit(Level::Warn, "quillfern_server", "kept", {number("n", 1)});
    emit(Level::Error, "other", "dropped");
    EXPECT_FALSE(enabled(Level::Info, "quillfern_server"));
    EXPECT_TRUE(enabled(Level::Error, "quillfern_server::server"));
    EXPECT_FALSE(enabled(Level::Error, "other"));
    EXPECT_THAT(capture.events(), ElementsAre(" WARN quillfern_server: kept n=1"));
}

TEST(Capture, CollectsWholeLinesFromManyThreads) {
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    testing::Capture capture("info");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string tag = "thread-" + std::to_string(t);
            for (int i = 0; i < kEach; ++i) {
                QF_LOG(Level::Info, "quillfern_server", "event", text("tag", tag),
                       number("i", static_cast<std::uint64_t>(i)));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<std::string> events = capture.events();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string& event : events) {
        auto numbers = parse_numbered(event, " INFO quillfern_server: event tag=thread-", " i=");
        ASSERT_TRUE(numbers.has_value()) << event;
        auto [t, i] = *numbers;
        ASSERT_TRUE(t >= 0 && t < kThreads) << event;
        EXPECT_EQ(i, next[t]++) << "events of one thread stay in order";
    }
}

// ---- Standard output and standard error ----

using ScopedEnv = ::quillfern::testing::EnvGuard;

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (read_end >= 0) ::close(read_end);
        read_end = -1;
    }
    void close_write() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
    // Everything written until every write end is closed.
    std::string drain() {
        close_write();
        std::string all;
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(read_end, chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<std::size_t>(n));
        return all;
    }
};

// Points a standard descriptor at another file for one scope.
class Redirect {
public:
    Redirect(int fd, int target) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = ::dup(fd);
        ::dup2(target, fd);
    }
    ~Redirect() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }

private:
    int fd_;
    int saved_ = -1;
};

// Reads a pipe on its own thread until every write end is closed.
class PipeCollector {
public:
    PipeCollector() {
        reader_ = std::thread([this] {
            char chunk[65536];
            ssize_t n;
            while ((n = ::read(pipe_.read_end, chunk, sizeof chunk)) > 0) {
                received_.append(chunk, static_cast<std::size_t>(n));
            }
        });
    }
    ~PipeCollector() { finish(); }
    int write_end() const { return pipe_.write_end; }
    const std::string& finish() {
        pipe_.close_write();
        if (reader_.joinable()) reader_.join();
        return received_;
    }

private:
    Pipe pipe_;
    std::string received_;
    std::thread reader_;
};

// Runs `body` with the subscriber installed from the given environment and standard
// output sent into a pipe; returns what reached standard output. The installed
// subscriber is discarded afterwards (an enclosing capture restores the state before it).
template <typename Body>
std::string with_installed_subscriber(std::optional<std::string> rust_log, std::optional<std::string> no_color,
                                      Body body) {
    ScopedEnv log_env("RUST_LOG", std::move(rust_log));
    ScopedEnv colour_env("NO_COLOR", std::move(no_color));
    testing::Capture discard_afterwards;
    PipeCollector out;
    {
        Redirect stdout_redirect(STDOUT_FILENO, out.write_end());
        install_log_subscriber();
        body();
    }
    return out.finish();
}

std::vector<std::string> without_timestamps(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string one = output.substr(start, end - start);
        lines.push_back(one.size() >= 28 ? one.substr(28) : one);
        start = end + 1;
    }
    return lines;
}

void emit_sample_events() {
    QF_LOG(Level::Debug, "quillfern_server::server", "Connection accepted");
    QF_LOG(Level::Debug, "quillfern_core::gossip", "Gossip entry ingested", number("ttl", 7));
    QF_LOG(Level::Info, "quillfern_server", "quillFern started — fern spreads, kit validates",
           text("node_id", "gate-7"));
    QF_LOG(Level::Error, "quillfern_core::gossip", "failed");
}

TEST(InstalledSubscriber, ReadsRustLogAndNoColorFromTheEnvironment) {
    std::string output =
        with_installed_subscriber("quillfern_server=debug,quillfern_core=error", "1", emit_sample_events);
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    EXPECT_THAT(without_timestamps(output),
                ElementsAre("DEBUG quillfern_server::server: Connection accepted",
                            " INFO quillfern_server: quillFern started — fern spreads, kit validates node_id=gate-7",
                            "ERROR quillfern_core::gossip: failed"));
    EXPECT_TRUE(is_timestamp(std::string_view(output).substr(0, 27))) << output;
    EXPECT_EQ(output.substr(27, 1), " ");
}

TEST(InstalledSubscriber, UnsetRustLogMeansInfo) {
    std::string output = with_installed_subscriber(std::nullopt, "1", emit_sample_events);
    EXPECT_THAT(without_timestamps(output),
                ElementsAre(" INFO quillfern_server: quillFern started — fern spreads, kit validates node_id=gate-7",
                            "ERROR quillfern_core::gossip: failed"));
}

TEST(InstalledSubscriber, EmptyRustLogWritesNothingAtAll) {
    EXPECT_EQ(with_installed_subscriber("", "1", emit_sample_events), "");
    EXPECT_EQ(with_installed_subscriber(",", "1", emit_sample_events), "");
}

TEST(InstalledSubscriber, ColoursAreOnUnlessNoColorHasAValue) {
    struct Case {
        std::optional<std::string> no_color;
        bool colour;
    };
    for (const Case& c :
         {Case{std::nullopt, true}, Case{"", true}, Case{"\xff", true}, Case{"1", false}, Case{"no", false}}) {
        std::string output = with_installed_subscriber(
            "info", c.no_color, [] { QF_LOG(Level::Warn, "quillfern_server", "careful", text("k", "v")); });
        std::string expected_tail =
            c.colour ? "\x1b[0m \x1b[33m WARN\x1b[0m \x1b[2mquillfern_server\x1b[0m\x1b[2m:\x1b[0m careful "
                       "\x1b[3mk\x1b[0m\x1b[2m=\x1b[0mv\n"
                     : "  WARN quillfern_server: careful k=v\n";
        std::size_t stamp_end = c.colour ? 4 + 27 : 27;
        ASSERT_GT(output.size(), stamp_end) << c.no_color.value_or("<unset>");
        EXPECT_EQ(output.substr(stamp_end), expected_tail) << c.no_color.value_or("<unset>");
        EXPECT_EQ(output.starts_with("\x1b[2m"), c.colour);
    }
}

TEST(InstalledSubscriber, AVeryLongLineArrivesWhole) {
    const std::string message(1 << 20, 'x');
    std::string output = with_installed_subscriber("info", "1", [&] { QF_LOG(Level::Info, "t", message); });
    ASSERT_EQ(output.size(), 28 + 9 + message.size() + 1);
    EXPECT_EQ(output.substr(28), " INFO t: " + message + "\n");
}

TEST(InstalledSubscriber, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 6;
    constexpr int kEach = 300;
    const std::string filler(5000, 'f');  // longer than the pipe takes atomically
    std::string output = with_installed_subscriber("info", "1", [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    QF_LOG(Level::Info, "quillfern_server", filler, number("thread", static_cast<std::uint64_t>(t)),
                           number("i", static_cast<std::uint64_t>(i)));
                }
            });
        }
        for (auto& thread : threads) thread.join();
    });
    std::vector<std::string> lines = without_timestamps(output);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEach));
    const std::string prefix = " INFO quillfern_server: " + filler + " thread=";
    std::vector<int> next(kThreads, 0);
    for (const std::string& one : lines) {
        auto numbers = parse_numbered(one, prefix, " i=");
        ASSERT_TRUE(numbers.has_value()) << one.substr(0, 80) << "..."
                                         << one.substr(one.size() > 40 ? one.size() - 40 : 0);
        auto [t, i] = *numbers;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);
    }
}

// A pipe whose reader has gone: every event is reported on standard error and lost,
// the caller goes on, and the next event tries standard output again.
TEST(InstalledSubscriber, ReportsEachFailedWriteOnStandardErrorAndGoesOn) {
    ScopedEnv log_env("RUST_LOG", "info");
    ScopedEnv colour_env("NO_COLOR", "1");
    testing::Capture discard_afterwards;
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);

    Pipe broken;
    broken.close_read();
    PipeCollector err;
    PipeCollector out;
    {
        Redirect stderr_redirect(STDERR_FILENO, err.write_end());
        {
            Redirect stdout_redirect(STDOUT_FILENO, broken.write_end);
            install_log_subscriber();
            QF_LOG(Level::Info, "quillfern_server", "first");
            QF_LOG(Level::Error, "quillfern_server", "second");
        }
        Redirect stdout_redirect(STDOUT_FILENO, out.write_end());
        QF_LOG(Level::Info, "quillfern_server", "third");
    }
    sigaction(SIGPIPE, &previous, nullptr);

    const std::string report =
        "[tracing-subscriber] Unable to write an event to the Writer for this Subscriber! Error: Broken pipe (os "
        "error 32)\n\n";
    EXPECT_EQ(err.finish(), report + report);
    EXPECT_THAT(without_timestamps(out.finish()), ElementsAre(" INFO quillfern_server: third"));
}

}  // namespace
}  // namespace quillfern::log
