// The readers that work straight from the text agree with the value reader: canonical
// text is what the writer writes for the parsed value (or the same refusal, same text and
// place), and an entry read from the text is the entry read from the parsed value (or
// both refuse it).
#include "fuzz_target.hpp"

namespace quillfern::fuzz {

void entry_reader(Bytes input) {
    const std::string_view text = as_text(input);
    auto parsed = json::parse(text);
    auto canonical = json::canonical_text(text);
    if (!parsed) {
        require(!canonical.has_value(), "canonical reading accepts what the reader refuses", text);
        require(canonical.error().to_string() == parsed.error().to_string(),
                "canonical reading refuses with another error", canonical.error().to_string());
        return;
    }
    if (!canonical) require(false, "canonical reading refuses what the reader accepts", canonical.error().to_string());
    require(*canonical == json::to_string(*parsed), "canonical text differs from the written value", *canonical);

    json::Reader reader(text);
    auto from_text = gossip::GossipEntry::read(reader, 0);
    require(!reader.failed() && reader.finish(), "entry reading fails on a text the reader accepts", text);
    auto from_value = gossip::GossipEntry::from_json(*parsed);
    if (from_text.has_value() != from_value.has_value()) {
        require(false, "entry readers disagree on whether it is an entry",
                from_value ? from_text.error() : from_value.error());
    }
    if (from_value) {
        require(*from_text == *from_value, "entry readers read different entries", text);
        require(gossip::payload_text(from_text->payload) == json::to_string(gossip::payload_of(from_value->payload)),
                "entry payloads differ", gossip::payload_text(from_text->payload));
    }
}

}  // namespace quillfern::fuzz
