// The installed subscriber: its filter, its colour setting and where its lines go.
//
// Each installation publishes an immutable state that is never freed, so a thread that
// is still deciding or writing an event under the previous state stays safe. Deciding
// an event takes no lock; writing to standard output takes the process-wide output lock.
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "quillfern/io_error.hpp"
#include "quillfern/log.hpp"
#include "quillfern/text.hpp"

namespace quillfern::log {

constexpr int kNothingPasses = 5;

std::atomic<int> g_max_level{kNothingPasses};
std::atomic<std::uint32_t> g_generation{1};

namespace {

// Lines kept in memory for log::testing::Capture.
class MemorySink {
public:
    void add(std::string_view line) {
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct SubscriberState {
    EnvFilter filter;
    bool colour;
    std::shared_ptr<MemorySink> memory;  // none: standard output
};

std::atomic<const SubscriberState*> g_state{nullptr};

// Publishes `next` (kept alive for the rest of the process) and returns the state it replaces.
const SubscriberState* publish(std::unique_ptr<SubscriberState> next_owned, const SubscriberState* next) {
    static std::mutex install_mutex;
    static auto* retained = new std::vector<std::unique_ptr<SubscriberState>>();  // never freed
    std::lock_guard lock(install_mutex);
    if (next_owned) {
        next = next_owned.get();
        retained->push_back(std::move(next_owned));
    }
    const SubscriberState* previous = g_state.exchange(next, std::memory_order_acq_rel);
    g_max_level.store(next ? next->filter.max_level() : kNothingPasses, std::memory_order_relaxed);
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    return previous;
}

void write_all(int fd, std::string_view bytes, int& error, bool& wrote_zero) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return;
        }
        if (n == 0) {
            wrote_zero = true;
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void report_write_failure(const std::string& error_text) {
    std::string report = "[tracing-subscriber] Unable to write an event to the Writer for this Subscriber! Error: ";
    report += error_text;
    report += "\n\n";
    int ignored_error = 0;
    bool ignored_zero = false;
    write_all(STDERR_FILENO, report, ignored_error, ignored_zero);
}

// One line, one write under the process-wide output lock; the rest of a partial
// write follows before the lock is released.
void write_stdout(std::string_view line) {
    static std::mutex output_mutex;
    int error = 0;
    bool wrote_zero = false;
    {
        std::lock_guard lock(output_mutex);
        write_all(STDOUT_FILENO, line, error, wrote_zero);
    }
    if (error != 0) {
        report_write_failure(IoError::from_os(error).message());
    } else if (wrote_zero) {
        report_write_failure("failed to write whole buffer");
    }
}

// A timestamp held by value, so that a nested event cannot change it under the outer one.
struct Timestamp {
    char text[40];
    std::size_t size;
    std::string_view view() const { return {text, size}; }
};

// The 27-character timestamp of now; the date and time part is reused within a second.
class Clock {
public:
    Timestamp now() {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        if (!valid_ || ts.tv_sec != cached_second_) {
            std::string full = format_timestamp(ts.tv_sec, 0);
            if (full.size() != kLength) {
                // Years beyond four digits: no reuse.
                valid_ = false;
                Timestamp wide{};
                full = format_timestamp(ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec));
                wide.size = full.copy(wide.text, sizeof wide.text);
                return wide;
            }
            full.copy(text_, kLength);
            cached_second_ = ts.tv_sec;
            valid_ = true;
        }
        Timestamp stamp{};
        std::copy(text_, text_ + kLength, stamp.text);
        stamp.size = kLength;
        auto micros = static_cast<std::uint32_t>(ts.tv_nsec / 1000);
        for (std::size_t i = kLength - 2; i >= kLength - 7; --i) {
            stamp.text[i] = static_cast<char>('0' + micros % 10);
            micros /= 10;
        }
        return stamp;
    }

private:
    static constexpr std::size_t kLength = 27;

    char text_[kLength] = {};
    std::int64_t cached_second_ = 0;
    bool valid_ = false;
};

// The emitting thread's reusable buffer; an event raised while it is in use gets a fresh one.
struct ThreadBuffers {
    std::string line;
    bool busy = false;
    Clock clock;
};

thread_local ThreadBuffers t_buffers;

void write_line(const SubscriberState& state, std::string_view line) {
    if (state.memory) {
        state.memory->add(line);
    } else {
        write_stdout(line);
    }
}

}  // namespace

namespace detail {

SiteDecision decide(Level level, std::string_view target) noexcept {
    std::uint32_t generation = g_generation.load(std::memory_order_acquire);
    const SubscriberState* state = g_state.load(std::memory_order_acquire);
    return {generation, state != nullptr && state->filter.enabled(level, target)};
}

void emit_passed(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
    const SubscriberState* state = g_state.load(std::memory_order_acquire);
    if (state == nullptr) return;
    try {
        ThreadBuffers& buffers = t_buffers;
        Timestamp timestamp = buffers.clock.now();
        std::string spans;  // stays empty (no allocation) outside spans
        append_span_prefix(spans, state->colour);
        if (buffers.busy) {
            std::string fresh;
            format_line(fresh, level, target, message, fields, state->colour, timestamp.view(), spans);
            write_line(*state, fresh);
            return;
        }
        buffers.busy = true;
        struct Release {
            ThreadBuffers& buffers;
            ~Release() {
                buffers.line.clear();
                buffers.busy = false;
            }
        } release{buffers};
        format_line(buffers.line, level, target, message, fields, state->colour, timestamp.view(), spans);
        write_line(*state, buffers.line);
    } catch (const std::exception&) {
        // Out of memory while formatting: the event is lost, the caller goes on.
    }
}

}  // namespace detail

bool enabled(Level level, std::string_view target) noexcept {
    const SubscriberState* state = g_state.load(std::memory_order_acquire);
    return state != nullptr && state->filter.enabled(level, target);
}

void emit(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
    if (static_cast<int>(level) < g_max_level.load(std::memory_order_relaxed)) return;
    if (!enabled(level, target)) return;
    detail::emit_passed(level, target, message, fields);
}

void install_log_subscriber() {
    std::optional<std::string> no_color = text::env_utf8("NO_COLOR");
    bool colour = !(no_color && !no_color->empty());
    EnvFilter filter = EnvFilter::from_env();
    publish(std::make_unique<SubscriberState>(SubscriberState{std::move(filter), colour, nullptr}), nullptr);
}

namespace testing {

struct Capture::Impl {
    std::shared_ptr<MemorySink> sink;
    const SubscriberState* previous;
};

Capture::Capture(std::string_view filter) : impl_(std::make_unique<Impl>()) {
    impl_->sink = std::make_shared<MemorySink>();
    EnvFilter parsed = EnvFilter::parse(filter).value_or(EnvFilter::fallback());
    impl_->previous =
        publish(std::make_unique<SubscriberState>(SubscriberState{std::move(parsed), false, impl_->sink}), nullptr);
}

Capture::~Capture() { publish(nullptr, impl_->previous); }

std::vector<std::string> Capture::lines() const { return impl_->sink->lines(); }

std::vector<std::string> Capture::events() const {
    std::vector<std::string> events = impl_->sink->lines();
    constexpr std::size_t kTimestampAndBlank = 28;
    for (std::string& line : events) {
        if (line.size() >= kTimestampAndBlank) line.erase(0, kTimestampAndBlank);
    }
    return events;
}

bool Capture::contains(std::string_view needle) const {
    for (const std::string& line : impl_->sink->lines()) {
        if (line.find(needle) != std::string::npos) return true;
    }
    return false;
}

}  // namespace testing

}  // namespace quillfern::log
