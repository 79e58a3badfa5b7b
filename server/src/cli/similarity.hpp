// "Did you mean" suggestions: Jaro similarity over code points, as the argument
// parser uses it for unknown option names and refused flag values.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillfern::cli::detail {

// Jaro similarity of two valid UTF-8 texts, compared by code point: 0.0 to 1.0.
double jaro_similarity(std::string_view a, std::string_view b);

// The candidate most similar to `input` with a similarity above 0.7; among equally
// similar candidates the last one wins. None when no candidate is close enough.
std::optional<std::string> most_similar(std::string_view input, std::span<const std::string_view> candidates);

}  // namespace quillfern::cli::detail
