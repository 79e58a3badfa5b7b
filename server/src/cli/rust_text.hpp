// Text operations with the exact behaviour of Rust's standard library where the
// command line's output depends on it.
#pragma once

#include <string>
#include <string_view>

namespace quillfern::cli::detail {

// Rust's `to_string_lossy`: each maximal invalid subsequence becomes one U+FFFD.
std::string to_string_lossy(std::string_view bytes);

// Columns of valid UTF-8 text: one per code point; an ASCII control character
// starts an escape sequence that is not counted up to its closing 'm'.
std::size_t display_width(std::string_view text) noexcept;

// Removes trailing Unicode white space from valid UTF-8 text.
std::string_view trim_end(std::string_view text) noexcept;

}  // namespace quillfern::cli::detail
