// The params of a "gossip.spread" request read straight from its text: every element
// decoded into an entry as it is read, no JSON value built for the batch; or, in their
// plain form, read in place as views.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillfern/mesh.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::mesh {

namespace {

using gossip::GossipEntry;

constexpr std::string_view kUnknownSender = "unknown";

// No entry is written in fewer bytes than this (its nine member names alone take 90): the
// batch's elements are reserved for what the rest of the text can hold of them, so that a
// big batch is not moved each time it grows. An element takes about as many bytes, so the
// reservation stays near the size of the text that asked for it.
constexpr std::size_t MIN_ENTRY_TEXT_BYTES = 128;

// What the params object holds so far. A repeated member: the last one counts.
struct SpreadParams {
    std::string sender{kUnknownSender};
    std::optional<std::vector<std::optional<GossipEntry>>> entries;  // set while "entries" is an array
    std::optional<std::optional<GossipEntry>> entry;                 // set when "entry" is present

    // The batch: "entries" when it is an array, else the one "entry"; none without either.
    std::optional<SpreadBatch> take_batch() {
        if (entries) return SpreadBatch{std::move(sender), std::move(*entries)};
        if (entry) {
            SpreadBatch batch{std::move(sender), {}};
            batch.elements.push_back(std::move(*entry));
            return batch;
        }
        return std::nullopt;
    }
};

// One element of the batch at nesting level `depth`, or none when it is not an entry.
// The caller tests the reader for failure.
std::optional<GossipEntry> read_element(json::Reader& reader, std::uint32_t depth, gossip::SharedText& last_origin) {
    auto entry = GossipEntry::read(reader, depth, last_origin);
    if (!entry) return std::nullopt;
    last_origin = entry->origin_gate;
    return std::move(*entry);
}

// "entries" (params is level 1, so the array is level 2 and its elements level 3); none
// for a value that is not an array, which is read, checked and dropped.
std::optional<std::vector<std::optional<GossipEntry>>> read_entries(json::Reader& reader,
                                                                    gossip::SharedText& last_origin) {
    if (reader.peek_token() != '[') {
        rpc_types::drop_value(reader, 2);
        return std::nullopt;
    }
    if (!reader.check_depth(2)) return std::nullopt;
    reader.advance();
    std::vector<std::optional<GossipEntry>> elements;
    elements.reserve(reader.remaining() / MIN_ENTRY_TEXT_BYTES);
    for (bool first = true; reader.has_next_element(first); first = false) {
        elements.push_back(read_element(reader, 3, last_origin));
        if (reader.failed()) return std::nullopt;
    }
    if (reader.failed() || !reader.close_array()) return std::nullopt;
    return elements;
}

}  // namespace

std::optional<SpreadBatch> read_spread_params(json::Reader& reader) {
    SpreadParams params;
    gossip::SharedText last_origin;
    rpc_types::read_params_members(reader, [&](std::string_view key) {
        if (key == "from") {
            params.sender = rpc_types::read_string_member(reader, 2).value_or(std::string(kUnknownSender));
        } else if (key == "entries") {
            params.entries = read_entries(reader, last_origin);
        } else if (key == "entry") {
            params.entry = read_element(reader, 2, last_origin);
        } else {
            return false;
        }
        return true;
    });
    if (reader.failed()) return std::nullopt;
    return params.take_batch();
}

PlainSpreadBatch read_plain_spread_params(json::PlainReader& reader) {
    PlainSpreadBatch batch{kUnknownSender, {}};
    bool from = false;
    bool entries = false;  // "entries" or "entry"
    if (!reader.take('{')) return batch;
    for (bool first = true;; first = false) {
        if (!first && !reader.take_if(',')) break;
        const std::string_view key = reader.name();
        if (reader.declined()) return batch;
        if (key == "from" && !from) {
            batch.sender = reader.string();
            from = true;
        } else if (key == "entries" && !entries) {
            entries = true;
            if (!reader.take('[')) return batch;
            batch.entries.reserve(reader.remaining() / MIN_ENTRY_TEXT_BYTES);
            if (!reader.take_if(']')) {
                do {
                    batch.entries.push_back(gossip::EntryView::read(reader));
                    if (reader.declined()) return batch;
                } while (reader.take_if(','));
                if (!reader.take(']')) return batch;
            }
        } else if (key == "entry" && !entries) {
            entries = true;
            batch.entries.push_back(gossip::EntryView::read(reader));
        } else {
            reader.decline();
        }
        if (reader.declined()) return batch;
    }
    if (!reader.take('}') || !entries) reader.decline();
    return batch;
}

}  // namespace quillfern::mesh
