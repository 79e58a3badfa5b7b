#include "similarity.hpp"

#include <algorithm>
#include <vector>

#include "quillfern/text.hpp"

namespace quillfern::cli::detail {
namespace {

std::u32string code_points(std::string_view utf8) {
    std::u32string out;
    std::size_t pos = 0;
    while (pos < utf8.size()) out.push_back(text::decode_utf8(utf8, pos));
    return out;
}

}  // namespace

double jaro_similarity(std::string_view a_text, std::string_view b_text) {
    const std::u32string a = code_points(a_text);
    const std::u32string b = code_points(b_text);
    if (a.empty() && b.empty()) return 1.0;
    if (a.empty() || b.empty()) return 0.0;

    const std::size_t longer = std::max(a.size(), b.size());
    const std::size_t window = longer / 2 > 0 ? longer / 2 - 1 : 0;
    std::vector<bool> a_matched(a.size(), false);
    std::vector<bool> b_matched(b.size(), false);
    std::size_t matches = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::size_t from = i > window ? i - window : 0;
        const std::size_t to = std::min(b.size(), i + window + 1);
        for (std::size_t j = from; j < to; ++j) {
            if (!b_matched[j] && a[i] == b[j]) {
                a_matched[i] = true;
                b_matched[j] = true;
                ++matches;
                break;
            }
        }
    }
    if (matches == 0) return 0.0;

    std::size_t half_transpositions = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!a_matched[i]) continue;
        while (!b_matched[j]) ++j;
        if (a[i] != b[j]) ++half_transpositions;
        ++j;
    }
    const std::size_t transpositions = half_transpositions / 2;
    const double m = static_cast<double>(matches);
    return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
            static_cast<double>(matches - transpositions) / m) /
           3.0;
}

std::optional<std::string> most_similar(std::string_view input, std::span<const std::string_view> candidates) {
    std::optional<std::string> best;
    double best_score = 0.0;
    for (std::string_view candidate : candidates) {
        const double score = jaro_similarity(input, candidate);
        if (score > 0.7 && (!best || score >= best_score)) {
            best = std::string(candidate);
            best_score = score;
        }
    }
    return best;
}

}  // namespace quillfern::cli::detail
