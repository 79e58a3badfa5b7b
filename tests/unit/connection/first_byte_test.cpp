#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "connection_fixture.hpp"

namespace quillfern::server {
namespace {

using namespace std::string_literals;
using namespace testing;

// 39 bytes, keys in this order.
const std::string kProbeReply = "{\"jsonrpc\":\"2.0\",\"result\":\"ok\",\"id\":0}\n";

Served serve(const std::string& input, ClientThen then = ClientThen::EndsInput) {
    return serve_with(handle_connection, input, then);
}

std::string legacy_warning(std::uint8_t byte) {
    return kServerWarn + fmt::format(
                             "Legacy unsignalled connection (first byte 0x{:02X}) — accepting as JSON-RPC for "
                             "rolling-deploy compatibility",
                             byte);
}

void expect_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const Served served = serve(c.input);
        EXPECT_EQ(served.received, c.received) << c.what;
        EXPECT_EQ(served.events, c.events) << c.what;
    }
}

TEST(FirstByteTest, SignalsDecideHowTheConnectionIsServed) {
    expect_cases({
        {"connect and close", "", "", {}},
        {"probe", "\xEC\x00"s, kProbeReply, {}},
        {"probe: later bytes are never served", "\xEC\x00"s + liveness(1) + "\n", kProbeReply, {}},
        {"0xEC without its type", "\xEC", "", {}},
        {"JSON-RPC signal", "\xEC\x01" + liveness(1) + "\n", alive(1), {}},
        {"JSON-RPC signal and nothing more", "\xEC\x01", "", {}},
        {"unsupported type 0x02",
         "\xEC\x02" + liveness(1) + "\n",
         "",
         {kServerWarn + "Unsupported duskLatch protocol type: 0x02"}},
        {"unsupported type 0xFF", "\xEC\xFF", "", {kServerWarn + "Unsupported duskLatch protocol type: 0xFF"}},
        {"0xED with 3 bytes", "\xED"s + "abc", "", {}},
        {"0xED: its 4 bytes are dropped, newlines included", "\xED\n{\n}" + liveness(1) + "\n", alive(1), {}},
        {"0xEE with 5 bytes", "\xEE"s + "12345", "", {}},
        {"0xEE: its 6 bytes are dropped", "\xEE\n\n\n\n\n\n" + liveness(2) + "\n", alive(2), {}},
    });
}

TEST(FirstByteTest, PrintableFirstByteStartsALegacyFirstLine) {
    expect_cases({
        {"request lines at once", liveness(1) + "\n" + liveness(2) + "\n", alive(1) + alive(2), {legacy_warning(0x7B)}},
        {"a blank first byte is trimmed away", " " + liveness(1) + "\n", alive(1), {legacy_warning(0x20)}},
        {"the first line without a newline", liveness(3), alive(3), {legacy_warning(0x7B)}},
        {"one character and a newline", "x\n", kParseError, {legacy_warning(0x78)}},
        {"0x7E", "~\n", kParseError, {legacy_warning(0x7E)}},
        {"the stream ends right after the byte", "{", "", {legacy_warning(0x7B)}},
        {"a first line that is not UTF-8",
         "{\xFF}\n" + liveness(2) + "\n",
         "",
         {legacy_warning(0x7B), kServerWarn + "Read error: stream did not contain valid UTF-8"}},
    });
}

TEST(FirstByteTest, AnyOtherFirstByteDropsTheConnection) {
    for (int byte : {0x00, 0x09, 0x0A, 0x0D, 0x16, 0x1F, 0x7F, 0x80, 0xC3, 0xEB, 0xEF, 0xFF}) {
        const std::string input = std::string(1, static_cast<char>(byte)) + liveness(1) + "\n";
        const Served served = serve(input);
        EXPECT_EQ(served.received, "") << byte;
        EXPECT_EQ(served.events,
                  std::vector<std::string>{kServerWarn +
                                           fmt::format("Unknown first byte 0x{:02X} — dropping connection", byte)})
            << byte;
    }
}

TEST(FirstByteTest, FailuresAreLoggedWithTheSystemsText) {
    struct FailureCase {
        const char* what;
        std::string input;
        ClientThen then;
        std::vector<std::string> events;
    };
    const FailureCase cases[] = {
        {"first read",
         "",
         ClientThen::ResetsConnection,
         {kServerWarn + "Connection read error: Connection reset by peer (os error 104)"}},
        {"probe reply",
         "\xEC\x00"s,
         ClientThen::StopsReading,
         {kServerWarn + "Probe write error: Broken pipe (os error 32)"}},
        {"signal follow-up: closed silently", "\xED"s + "ab", ClientThen::ResetsConnection, {}},
        {"rest of the legacy first line",
         "{",
         ClientThen::ResetsConnection,
         {legacy_warning(0x7B), kServerWarn + "Read error: Connection reset by peer (os error 104)"}},
        {"reply to the legacy first line",
         liveness(1) + "\n",
         ClientThen::StopsReading,
         {legacy_warning(0x7B), kServerWarn + "Write error: Broken pipe (os error 32)"}},
    };
    for (const FailureCase& c : cases) {
        EXPECT_EQ(serve(c.input, c.then).events, c.events) << c.what;
    }
}

}  // namespace
}  // namespace quillfern::server
