// The process-wide log subscriber: one line per event on standard output, filtered by
// RUST_LOG directives, coloured unless NO_COLOR is set.
//
// Emit through QF_LOG so that a filtered-out event costs one comparison and nothing
// (message or field values) is computed:
//
//   QF_LOG(log::Level::Info, log::targets::kServerRoot, "quillFern started — fern spreads, kit validates",
//          log::text("node_id", node_id));
//   QF_LOG(log::Level::Warn, log::targets::kServer, fmt::format("Read error: {}", err.message()));
//
// Targets are the names of log_targets.hpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::log {

// Ordered from the most verbose to the most severe.
enum class Level : std::uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

// How a field's value is written (see format_line).
enum class FieldForm : std::uint8_t { Text, Number, Quoted, List, Variant };

struct Field {
    std::string_view name;
    FieldForm form = FieldForm::Text;
    std::string_view text;               // Text, Quoted, Variant
    std::uint64_t number = 0;            // Number
    std::span<const std::string> items;  // List
};

constexpr Field text(std::string_view name, std::string_view value) { return {name, FieldForm::Text, value, 0, {}}; }
constexpr Field number(std::string_view name, std::uint64_t value) { return {name, FieldForm::Number, {}, value, {}}; }
constexpr Field quoted(std::string_view name, std::string_view value) {
    return {name, FieldForm::Quoted, value, 0, {}};
}
constexpr Field variant(std::string_view name, std::string_view value) {
    return {name, FieldForm::Variant, value, 0, {}};
}
inline Field list(std::string_view name, std::span<const std::string> items) {
    return {name, FieldForm::List, {}, 0, items};
}

// The RUST_LOG filter: directives ordered from the most specific to the least.
class EnvFilter {
public:
    struct Directive {
        std::optional<std::string> target;  // a plain prefix of event targets
        int level;                          // 0..4 as Level, 5 = off
    };

    // Parses a RUST_LOG value; none when any piece is invalid.
    static std::optional<EnvFilter> parse(std::string_view value);
    // The filter for RUST_LOG as read from the environment: unset, non-UTF-8 or invalid give "info".
    static EnvFilter from_env();
    static EnvFilter fallback();  // "info"

    bool enabled(Level level, std::string_view target) const noexcept;
    // The most verbose level any directive lets through; 5 when none lets anything through.
    int max_level() const noexcept { return max_level_; }
    const std::vector<Directive>& directives() const noexcept { return directives_; }

private:
    std::vector<Directive> directives_;
    int max_level_ = 5;
};

namespace detail {
// One field's value as a line shows it (events and spans alike).
void append_field_value(std::string& out, const Field& field);
// `shown` in the SGR style `sgr` when colour is on, else as it is.
void append_painted(std::string& out, std::string_view sgr, std::string_view shown, bool colour);
}  // namespace detail

// Appends one event to `out` as a complete line (with its trailing line feed), without writing it.
// `timestamp` is the 27-character UTC timestamp (see format_timestamp); `spans` is the
// rendered prefix of the spans the event was raised in (see append_span_prefix), written
// between the level and the target.
void format_line(std::string& out, Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields, bool colour, std::string_view timestamp,
                 std::string_view spans = {});

// "YYYY-MM-DDTHH:MM:SS.ffffffZ" for the given wall-clock time.
std::string format_timestamp(std::int64_t seconds, std::uint32_t nanoseconds);

// Reads NO_COLOR and RUST_LOG and installs the subscriber (writing to standard output).
void install_log_subscriber();

// Fast global threshold: events below it are never formatted. Bumped on every install.
extern std::atomic<int> g_max_level;
extern std::atomic<std::uint32_t> g_generation;

// Whether an event of this level and target is written by the installed subscriber.
bool enabled(Level level, std::string_view target) noexcept;
// Filters, formats and writes one event before returning. The caller is never told
// whether it was written; a failed write is reported on standard error.
void emit(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields = {});

namespace detail {
// The filter decision together with the generation it was made under.
struct SiteDecision {
    std::uint32_t generation;
    bool on;
};
SiteDecision decide(Level level, std::string_view target) noexcept;
// Formats and writes an event whose site has already passed the filter.
void emit_passed(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields);
}  // namespace detail

// Per call-site memo of the filter decision; level and target are fixed per site.
class SiteCache {
public:
    bool enabled(Level level, std::string_view target) noexcept {
        std::uint32_t gen = g_generation.load(std::memory_order_acquire);
        std::uint32_t cached = state_.load(std::memory_order_relaxed);
        if (cached != 0 && (cached >> 1) == (gen & 0x7fffffffu)) return cached & 1u;
        detail::SiteDecision decision = detail::decide(level, target);
        state_.store(((decision.generation & 0x7fffffffu) << 1) | (decision.on ? 1u : 0u), std::memory_order_relaxed);
        return decision.on;
    }

private:
    std::atomic<std::uint32_t> state_{0};
};

// ---- Spans --------------------------------------------------------------------------
//
// A span is a named context with fields of its own. While a span is entered on a thread,
// every event raised there is written with the span before its target:
//
//   2026-03-01T08:15:42.061207Z  INFO RPC{rpc.trace_id=2a otel.kind="server"}: tarpc::server: ReceiveRequest
//
// A span is filtered like an event of its level and target. A span that the filter
// leaves out is an empty handle: opening it costs one comparison, recording into it and
// entering it cost nothing, and events raised inside it are written without it.
//
//   log::Span span = QF_SPAN(log::Level::Info, "tarpc::server", "RPC");
//   if (span) span.record(log::quoted("otel.kind", "server"));
//   { auto entered = span.enter(); QF_LOG(log::Level::Info, "tarpc::server", "ReceiveRequest"); }
//
// A span is owned by one thread at a time (it is not locked); enter it only around
// synchronous stretches of work, never across a suspension point.
void append_span_prefix(std::string& out, bool colour);

class Span {
public:
    Span() = default;  // the empty (disabled) span
    // An enabled span; use QF_SPAN, which checks the filter first. `name` must outlive the span.
    static Span open(std::string_view name);

    explicit operator bool() const noexcept { return data_ != nullptr; }
    // Appends a field, copying its value; field names must outlive the span. Does nothing
    // on an empty span.
    void record(const Field& field);

    class Entered {
    public:
        Entered(const Entered&) = delete;
        Entered& operator=(const Entered&) = delete;
        ~Entered();

    private:
        friend class Span;
        friend void append_span_prefix(std::string& out, bool colour);
        explicit Entered(const void* data) noexcept;
        const void* data_;
        const void* outer_;
    };
    // Makes this span the innermost one of the calling thread until the result is destroyed.
    [[nodiscard]] Entered enter() const noexcept;

private:
    friend void append_span_prefix(std::string& out, bool colour);
    struct Data;
    std::shared_ptr<Data> data_;
};

// Appends the prefix of the spans entered on the calling thread, outermost first:
// name, "{fields}" when it has fields, ":" for each, then one blank. Nothing when no
// span is entered.
void append_span_prefix(std::string& out, bool colour);

namespace testing {

// Redirects every event to memory, with the given RUST_LOG-style filter and no colours,
// for as long as it lives; the subscriber that was installed before comes back when it
// ends. Events may come from any thread. Lines are kept without their trailing line feed.
// An invalid filter falls back to "info", an empty one lets nothing through.
class Capture {
public:
    explicit Capture(std::string_view filter = "trace");
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<std::string> lines() const;
    // Lines with the timestamp and the blank after it removed: " INFO target: message".
    std::vector<std::string> events() const;
    bool contains(std::string_view needle) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing

}  // namespace quillfern::log

#define QF_LOG(LEVEL, TARGET, MESSAGE, ...)                                                             \
    do {                                                                                                \
        if (static_cast<int>(LEVEL) >= ::quillfern::log::g_max_level.load(std::memory_order_relaxed)) { \
            static ::quillfern::log::SiteCache qf_log_site_;                                            \
            if (qf_log_site_.enabled(LEVEL, TARGET))                                                    \
                ::quillfern::log::detail::emit_passed(LEVEL, TARGET, MESSAGE, {__VA_ARGS__});           \
        }                                                                                               \
    } while (0)

// An enabled span when the filter lets events of LEVEL and TARGET through, else the empty span.
#define QF_SPAN(LEVEL, TARGET, NAME)                                                                    \
    ([]() -> ::quillfern::log::Span {                                                                   \
        if (static_cast<int>(LEVEL) >= ::quillfern::log::g_max_level.load(std::memory_order_relaxed)) { \
            static ::quillfern::log::SiteCache qf_span_site_;                                           \
            if (qf_span_site_.enabled(LEVEL, TARGET)) return ::quillfern::log::Span::open(NAME);        \
        }                                                                                               \
        return {};                                                                                      \
    }())
