// Canonical compact text read straight from JSON text: the bytes `write` gives for the
// value `parse` would build, without building it. Stored payloads are kept in this form,
// so that their size is their text's length and every reply copies them as they are.
//
// The reading is the Reader's own (same grammar, limits, errors and positions); only
// what is appended differs. Objects whose keys arrive in ascending order (as every
// writer of the mesh writes them) are copied member by member; any other object is read
// again into a list that is sorted, the last of repeated keys kept.
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "quillfern/json.hpp"

namespace quillfern::json {

bool Reader::read_canonical(std::string& out, std::uint32_t depth) {
    const int c = peek_token();
    switch (c) {
        case -1: fail_at_next("EOF while parsing a value"); return false;
        case 'n':
            ++pos_;
            if (!parse_ident("ull")) return false;
            out.append("null");
            return true;
        case 't':
            ++pos_;
            if (!parse_ident("rue")) return false;
            out.append("true");
            return true;
        case 'f':
            ++pos_;
            if (!parse_ident("alse")) return false;
            out.append("false");
            return true;
        case '-': ++pos_; return read_canonical_number(out, false);
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': return read_canonical_number(out, true);
        case '"': {
            ++pos_;
            const std::size_t raw_start = pos_;
            // Room for the text up to the next quote (all of it, unless it holds an
            // escaped quote), so that it is copied once.
            const void* quote = std::memchr(text_.data() + pos_, '"', text_.size() - pos_);
            if (quote != nullptr) {
                const std::size_t needed =
                    out.size() + static_cast<std::size_t>(static_cast<const char*>(quote) - text_.data()) - pos_ + 2;
                if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
            }
            out.push_back('"');
            const std::size_t decoded_start = out.size();
            if (!read_string_into(out)) return false;
            const std::size_t decoded_length = out.size() - decoded_start;
            // Every escape is longer than what it stands for: equal lengths mean the text
            // held no escape, and such a text is already written as the writer writes it.
            if (decoded_length != pos_ - 1 - raw_start) {
                scratch_.assign(out, decoded_start, decoded_length);
                out.resize(decoded_start - 1);
                write_string(out, scratch_);
                return true;
            }
            out.push_back('"');
            return true;
        }
        case '[':
            if (!check_depth(depth)) return false;
            ++pos_;
            return read_canonical_array(out, depth + 1);
        case '{':
            if (!check_depth(depth)) return false;
            ++pos_;
            return read_canonical_object(out, depth + 1);
        default: fail_at_next("expected value"); return false;
    }
}

bool Reader::read_canonical_number(std::string& out, bool positive) {
    const Value number = read_number(positive);
    if (failed_) return false;
    write(out, number);
    return true;
}

bool Reader::read_canonical_array(std::string& out, std::uint32_t depth) {
    out.push_back('[');
    for (bool first = true; has_next_element(first); first = false) {
        if (!first) out.push_back(',');
        if (!read_canonical(out, depth)) return false;
    }
    if (failed_ || !close_array()) return false;
    out.push_back(']');
    return true;
}

// Called after '{': members are copied while their keys ascend; at the first key that
// does not, the object is read again from its start into a sorted list.
bool Reader::read_canonical_object(std::string& out, std::uint32_t depth) {
    const std::size_t text_start = pos_;
    const std::size_t out_start = out.size();
    out.push_back('{');
    std::string previous;
    std::string key;
    for (bool first = true; has_next_key(first); first = false) {
        ++pos_;  // the key's opening quote
        key.clear();
        if (!read_string_into(key) || !read_colon()) return false;
        if (!first && !(previous < key)) {
            pos_ = text_start;
            out.resize(out_start);
            return read_canonical_object_sorted(out, depth);
        }
        if (!first) out.push_back(',');
        write_string(out, key);
        out.push_back(':');
        if (!read_canonical(out, depth)) return false;
        previous.swap(key);
    }
    if (failed_ || !close_object()) return false;
    out.push_back('}');
    return true;
}

bool Reader::read_canonical_object_sorted(std::string& out, std::uint32_t depth) {
    std::vector<std::pair<std::string, std::string>> members;
    for (bool first = true; has_next_key(first); first = false) {
        ++pos_;
        std::string key;
        if (!read_string_into(key) || !read_colon()) return false;
        std::string value;
        if (!read_canonical(value, depth)) return false;
        members.emplace_back(std::move(key), std::move(value));
    }
    if (failed_ || !close_object()) return false;
    // Stable: of members with one key, the last read stays last and is the one kept.
    std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.push_back('{');
    bool first = true;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
        if (!first) out.push_back(',');
        first = false;
        write_string(out, members[i].first);
        out.push_back(':');
        out.append(members[i].second);
    }
    out.push_back('}');
    return true;
}

Expected<std::string, Error> canonical_text(std::string_view text) {
    try {
        Reader reader(text);
        std::string out;
        if (reader.read_canonical(out, 0)) reader.finish();
        if (reader.failed()) return unexpected(reader.error());
        return out;
    } catch (const std::bad_alloc&) {
        return unexpected(Error{"memory allocation failed", 0, 0});
    }
}

}  // namespace quillfern::json
