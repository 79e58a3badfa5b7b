// The gossip engine's error kinds, each with its own display prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quillfern/io_error.hpp"

namespace quillfern::core {

class CoreError {
public:
    // In display order; the numbers are the kinds' indices.
    enum class Kind : std::uint8_t {
        Configuration = 0,
        Lifecycle = 1,
        Health = 2,
        Io = 3,
        Serialization = 4,
        Network = 5,
        Timeout = 6,
        NotFound = 7,
        InvalidInput = 8,
        Internal = 9,
        Dependency = 10,
    };

    // An empty internal error; only there so that results can hold a CoreError.
    CoreError() = default;

    static CoreError configuration(std::string text) { return {Kind::Configuration, std::move(text)}; }
    static CoreError lifecycle(std::string text) { return {Kind::Lifecycle, std::move(text)}; }
    static CoreError health(std::string text) { return {Kind::Health, std::move(text)}; }
    static CoreError io(IoError error);
    static CoreError serialization(std::string text) { return {Kind::Serialization, std::move(text)}; }
    static CoreError network(std::string text) { return {Kind::Network, std::move(text)}; }
    static CoreError timeout(std::string text) { return {Kind::Timeout, std::move(text)}; }
    static CoreError not_found(std::string text) { return {Kind::NotFound, std::move(text)}; }
    static CoreError invalid_input(std::string text) { return {Kind::InvalidInput, std::move(text)}; }
    static CoreError internal(std::string text) { return {Kind::Internal, std::move(text)}; }
    // "dependency error: <dependency>: <detail>"
    static CoreError dependency(std::string dependency, std::string detail);

    Kind kind() const noexcept { return kind_; }
    // The carried text: the first of Dependency's two, the I/O error's text for Io.
    const std::string& text() const noexcept;
    // Dependency's second text; empty for every other kind.
    const std::string& detail() const noexcept { return detail_; }
    // The carried I/O error of Io; null for every other kind.
    const IoError* io_error() const noexcept { return io_ ? &*io_ : nullptr; }

    // "lifecycle error: cannot start from current state", "I/O error: ... (os error 2)", ...
    std::string to_string() const;

private:
    CoreError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::Internal;
    std::string text_;
    std::string detail_;
    std::optional<IoError> io_;
};

}  // namespace quillfern::core
