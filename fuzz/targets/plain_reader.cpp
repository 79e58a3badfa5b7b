// The plain reader against the full one, on the same bytes: a value the plain reader takes
// as canonical is the text the writer writes for it, and params of a peer's batch that it
// takes read, by every rule, as the same batch with equal entries. Whatever it declines is
// left to the full reader and checks nothing here.
#include "fuzz_target.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::fuzz {
namespace {

// A value taken as its own canonical text reads as JSON and writes back to the same bytes.
void check_canonical(std::string_view text) {
    json::PlainReader plain(text);
    const std::string_view value = plain.canonical_value(json::kMaxDepth - 1);
    if (plain.declined() || !plain.at_end()) return;
    auto canonical = json::canonical_text(text);
    require(canonical.has_value(), "plain reader takes a value the reader refuses", text);
    require(*canonical == value, "plain canonical value is not its canonical text", *canonical);
}

// Params the plain reader takes read as the same batch, every element the same entry.
void check_params(std::string_view params) {
    json::PlainReader plain(params);
    mesh::PlainSpreadBatch viewed = mesh::read_plain_spread_params(plain);
    if (plain.declined() || !plain.at_end()) return;
    json::Reader reader(params);
    std::optional<mesh::SpreadBatch> read = mesh::read_spread_params(reader);
    require(!reader.failed() && reader.finish(), "plain params the reader refuses", reader.error().to_string());
    require(read.has_value(), "plain params that the reader finds no batch in", params);
    require(read->sender == viewed.sender, "plain params with another sender", read->sender);
    require(read->elements.size() == viewed.entries.size(), "plain params with another number of elements", params);
    for (std::size_t i = 0; i < viewed.entries.size(); ++i) {
        const std::optional<gossip::GossipEntry>& element = read->elements[i];
        require(element.has_value(), "a plain entry that the reader refuses", params);
        const gossip::GossipEntry entry = viewed.entries[i].entry();
        require(entry == *element, "a plain entry that reads as another entry", json::to_string(element->to_json()));
        require(gossip::payload_text(entry.payload) == gossip::payload_text(element->payload),
                "a plain entry's payload text differs", gossip::payload_text(element->payload));
    }
}

}  // namespace

void plain_reader(Bytes input) {
    const std::string_view text = as_text(input);
    check_canonical(text);
    check_params(text);
    // The bytes as the one entry of a batch, and as a payload.
    check_params(R"({"from":"gate-b","entries":[)" + std::string(text) + "]}");
    check_params(R"({"entry":{"created_at_epoch":1,"expires_at_epoch":2,"key":"k","nonce":"n","origin_gate":"g",)"
                 R"("payload":)" +
                 std::string(text) + R"(,"topic":"data","ttl":1,"version":3}})");
}

}  // namespace quillfern::fuzz
