// The command's definition: its about text and its options, in help order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillfern::cli::detail {

inline constexpr std::string_view kCommandName = "quillfern";
inline constexpr std::string_view kAbout = "quillFern \xE2\x80\x94 epidemic gossip engine for the Varnekeep mesh";

enum class ValueKind : std::uint8_t { Text, Interval, Port, Flag };

struct OptionDef {
    std::string_view long_name;   // without the leading "--"
    std::string_view value_name;  // empty for flags
    std::string_view env_name;
    std::string_view help;
    std::string_view default_value;  // empty when there is none
    ValueKind kind;

    bool takes_value() const noexcept { return kind != ValueKind::Flag; }
};

enum OptionIndex : std::size_t {
    kFamilyId,
    kGateId,
    kTransportEndpoint,
    kDisableTarpc,
    kLegacyDualSocket,
    kEvictInterval,
    kSpreadInterval,
    kGossipPort,
    kOptionCount
};

inline constexpr std::array<OptionDef, kOptionCount> kOptions{{
    {"family-id", "FAMILY_ID", "FAMILY_ID", "Family ID for socket naming (production mode)", "", ValueKind::Text},
    {"gate-id", "GATE_ID", "GATE_ID", "Gate identity (e.g. \"gate-alpha\"). Defaults to hostname", "", ValueKind::Text},
    {"transport-endpoint", "TRANSPORT_ENDPOINT", "TRANSPORT_ENDPOINT", "Transport endpoint override (JSON)", "",
     ValueKind::Text},
    {"disable-tarpc", "", "DISABLE_TARPC", "Disable tarpc binary listener (JSON-RPC only mode)", "", ValueKind::Flag},
    {"legacy-dual-socket", "", "LEGACY_DUAL_SOCKET",
     "Legacy: run separate JSON-RPC and tarpc sockets instead of G65 negotiation", "", ValueKind::Flag},
    {"evict-interval", "EVICT_INTERVAL", "GOSSIP_EVICT_INTERVAL", "Gossip eviction interval in seconds (default 120)",
     "120", ValueKind::Interval},
    {"spread-interval", "SPREAD_INTERVAL", "GOSSIP_SPREAD_INTERVAL", "Epidemic sweep interval in seconds (default 30)",
     "30", ValueKind::Interval},
    {"gossip-port", "GOSSIP_PORT", "GOSSIP_PORT", "TCP port for cross-gate gossip (default 7800)", "7800",
     ValueKind::Port},
}};

// The built-in help switch, listed after the options.
inline constexpr std::string_view kHelpLong = "help";
inline constexpr char kHelpShort = 'h';
inline constexpr std::string_view kHelpText = "Print help";

// How messages name an option: "--family-id <FAMILY_ID>", or "--disable-tarpc" for a flag.
std::string option_display(const OptionDef& option);

// The raw values of the options' environment variables, as read when the command is built.
using EnvValues = std::array<std::optional<std::string>, kOptionCount>;

// The help text for -h and --help, ending with a newline.
std::string render_help(std::string_view program_name, const EnvValues& env);

}  // namespace quillfern::cli::detail
