// The binary RPC codec: the input both as one frame's payload and as a stream of frames.
// A payload that decodes writes back to bytes that decode to the same message, and those
// bytes are a fixed point; every refusal is one of the codec's errors with its own text;
// the frame reader hands out the same frames however the stream is sliced; a decoded
// request is served on a store with a reply of its own variant, framed to its exact size.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "fuzz_target.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"

namespace quillfern::fuzz {

namespace {

using namespace tarpc_service;

const MonotonicClock::time_point kNow{std::chrono::hours(1000)};

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The detail text belongs to the error's kind.
void check_error(const WireError& error) {
    const std::string_view d = error.detail;
    bool fits = false;
    switch (error.kind) {
        case WireErrorKind::FrameTooBig: fits = d == "frame size too big"; break;
        case WireErrorKind::BytesRemaining: fits = d == "bytes remaining on stream"; break;
        case WireErrorKind::UnexpectedEof: fits = d == "io error: unexpected end of file"; break;
        case WireErrorKind::TextPastEnd: fits = d == "io error: "; break;
        case WireErrorKind::U128Range:
            fits = d == "Invalid value (u128 range): you may have a version or configuration disagreement?";
            break;
        case WireErrorKind::ExtensionByte:
            fits = d ==
                   "\nByte 255 is treated as an extension point; it should not be encoding anything.\n"
                   "Do you have a mismatched bincode version or configuration?\n";
            break;
        case WireErrorKind::InvalidU32:
            fits = starts_with(d, "Invalid u32 ") && ends_with(d, ": you may have a version disagreement?");
            break;
        case WireErrorKind::InvalidVariant:
            fits =
                starts_with(d, "invalid value: integer `") && (ends_with(d, "`, expected variant index 0 <= i < 2") ||
                                                               ends_with(d, "`, expected variant index 0 <= i < 9"));
            break;
        case WireErrorKind::InvalidOptionTag: fits = starts_with(d, "tag for enum is not valid, found "); break;
        case WireErrorKind::InvalidUtf8:
            fits = starts_with(d, "string is not valid utf8: invalid utf-8 sequence of ") ||
                   starts_with(d, "string is not valid utf8: incomplete utf-8 byte sequence from index ");
            break;
        case WireErrorKind::DurationOverflow: fits = d == "overflow deserializing Duration"; break;
        case WireErrorKind::TrailingBytes: fits = d == "Slice had bytes remaining after deserialization"; break;
    }
    require(fits, "an error text that does not belong to its kind", d);
}

void check_payload(Bytes payload, const std::shared_ptr<gossip::GossipStore>& store) {
    auto message = decode_client_message(payload, kNow);
    if (!message) {
        require(
            message.error().kind != WireErrorKind::FrameTooBig && message.error().kind != WireErrorKind::BytesRemaining,
            "a frame error from the message decoder", message.error().detail);
        check_error(message.error());
        return;
    }
    if (const Request* request = std::get_if<Request>(&*message)) {
        require(request->context.deadline >= kNow && request->context.deadline - kNow <= kDeadlineHorizon,
                "a deadline before the clock reading or past the horizon");
    }

    const std::vector<std::uint8_t> written = encode_client_message(*message, kNow);
    auto reread = decode_client_message(written, kNow);
    require(reread.has_value(), "a written message does not read back",
            reread ? std::string_view{} : std::string_view(reread.error().detail));
    require(*reread == *message, "a written message reads back to another one");
    require(encode_client_message(*reread, kNow) == written, "writing a message again gives other bytes");

    const Request* request = std::get_if<Request>(&*message);
    if (request == nullptr) return;
    const tarpc_server::QuillFernTarpcServer server(store);
    const Response response{request->id, server.serve(request->context, request->message)};
    require(std::get<QuillFernServiceResponse>(response.message).index() == request->message.index(),
            "a reply of another variant than its request");
    std::vector<std::uint8_t> frame;
    auto framed = append_response_frame(frame, response);
    require(framed.has_value(), "a reply too large for a frame");
    require(frame.size() == kFrameHeaderLength + encoded_size(response), "a reply frame of another size");
    require(std::vector<std::uint8_t>(frame.begin() + kFrameHeaderLength, frame.end()) == encode_response(response),
            "a reply frame whose payload differs from the encoded reply");
}

struct StreamResult {
    std::vector<std::vector<std::uint8_t>> frames;
    std::optional<WireError> error;
};

// The input as a socket would deliver it, in reads of at most `slice` bytes.
StreamResult read_stream(Bytes input, std::size_t slice) {
    StreamResult result;
    FrameReader reader;
    std::size_t at = 0;
    for (;;) {
        for (;;) {
            auto next = reader.next();
            if (!next) {
                result.error = next.error();
                return result;
            }
            if (!*next) break;
            require((*next)->size() <= kMaxFrameLength, "a frame over the limit");
            result.frames.emplace_back((*next)->begin(), (*next)->end());
        }
        if (at == input.size()) break;
        const std::span<std::uint8_t> room = reader.prepare();
        require(!room.empty(), "no room for the next read");
        const std::size_t n = std::min({room.size(), slice, input.size() - at});
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(at), n, room.begin());
        reader.commit(n);
        at += n;
    }
    auto end = reader.finish();
    if (!end) {
        require(reader.buffered() > 0, "bytes remaining reported with none buffered");
        result.error = end.error();
    }
    return result;
}

}  // namespace

void tarpc_codec(Bytes input) {
    const auto store = make_store();
    check_payload(input, store);

    const StreamResult whole = read_stream(input, input.size() + 1);
    const StreamResult bytewise = read_stream(input, 1);
    require(whole.frames == bytewise.frames, "the frames depend on how the stream is sliced");
    require(whole.error == bytewise.error, "the stream's end depends on how it is sliced");
    std::size_t total = 0;
    for (const auto& frame : whole.frames) total += kFrameHeaderLength + frame.size();
    require(total <= input.size(), "frames hold more bytes than the stream");
    if (whole.error) check_error(*whole.error);
    for (const auto& frame : whole.frames) check_payload(frame, store);
    check_store(*store);
}

}  // namespace quillfern::fuzz
