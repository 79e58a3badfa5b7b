// The JSON form of TransportEndpoint: the written text, and reading the object and array
// forms with every error text and position.
#include <string>

#include <gtest/gtest.h>

#include "quillfern/transport.hpp"

namespace quillfern::transport {
namespace {

std::string read_error(std::string_view text) {
    auto endpoint = TransportEndpoint::from_json_text(text);
    if (endpoint) return "read: " + json::to_string(endpoint->to_json());
    return endpoint.error().to_string();
}

TEST(EndpointToJson, WrittenTextListsMembersSorted) {
    EXPECT_EQ(json::to_string(TransportEndpoint(Uds{"/run/vellumar/quillfern.sock"}).to_json()),
              R"({"path":"/run/vellumar/quillfern.sock","transport":"uds"})");
    EXPECT_EQ(json::to_string(TransportEndpoint(Tcp{"127.0.0.1", 7800}).to_json()),
              R"({"host":"127.0.0.1","port":7800,"transport":"tcp"})");
    EXPECT_EQ(json::to_string(TransportEndpoint(MeshRelay{"gate-2", "gossip"}).to_json()),
              R"({"capability":"gossip","peer_id":"gate-2","transport":"mesh_relay"})");
    EXPECT_EQ(json::to_string(TransportEndpoint(Tcp{"::1", 65535}).to_json()),
              R"({"host":"::1","port":65535,"transport":"tcp"})");
}

TEST(EndpointToJson, PortIsAnUnsignedNumber) {
    const auto value = TransportEndpoint(Tcp{"h", 0}).to_json();
    EXPECT_TRUE(value["port"].is_number_unsigned());
    EXPECT_EQ(json::to_string(value), R"({"host":"h","port":0,"transport":"tcp"})");
}

TEST(EndpointToJson, WrittenTextReadsBack) {
    const TransportEndpoint endpoints[] = {
        Uds{"/tmp/a b/\"q\".sock"},       Uds{""}, Tcp{"localhost", 1}, Tcp{"10.0.0.1", 65535},
        MeshRelay{"gate\n7", "\xC3\xA9"},
    };
    for (const auto& endpoint : endpoints) {
        auto back = TransportEndpoint::from_json_text(json::to_string(endpoint.to_json()));
        ASSERT_TRUE(back.has_value()) << back.error().to_string();
        EXPECT_EQ(*back, endpoint);
    }
}

struct ReadCase {
    std::string text;
    TransportEndpoint expected;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.text; }

class EndpointReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(EndpointReadTest, Reads) {
    auto endpoint = TransportEndpoint::from_json_text(GetParam().text);
    ASSERT_TRUE(endpoint.has_value()) << endpoint.error().to_string();
    EXPECT_EQ(*endpoint, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EndpointReadTest,
    testing::Values(
        // Members in any order, "transport" before or after the fields; others ignored.
        ReadCase{R"({"transport":"uds","path":"/run/q.sock"})", Uds{"/run/q.sock"}},
        ReadCase{R"({"path":"/run/q.sock","transport":"uds"})", Uds{"/run/q.sock"}},
        ReadCase{R"({"path":"/run/q.sock","mode":[1,{"x":null}],"transport":"uds"})", Uds{"/run/q.sock"}},
        ReadCase{R"({"extra":1,"extra":2,"transport":"uds","path":"/p"})", Uds{"/p"}},
        ReadCase{R"({"host":"x","transport":"uds","path":"/p"})", Uds{"/p"}},
        ReadCase{R"({"transport":"tcp","host":"127.0.0.1","port":7800})", Tcp{"127.0.0.1", 7800}},
        ReadCase{R"({"port":0,"host":"","transport":"tcp"})", Tcp{"", 0}},
        ReadCase{R"({"transport":"tcp","host":"h","port":65535})", Tcp{"h", 65535}},
        ReadCase{R"({"transport":"mesh_relay","peer_id":"gate-2","capability":"gossip"})",
                 MeshRelay{"gate-2", "gossip"}},
        // Array form: the tag, then the fields in order.
        ReadCase{R"(["tcp","localhost",7800])", Tcp{"localhost", 7800}}, ReadCase{R"(["uds","/p"])", Uds{"/p"}},
        ReadCase{R"(["mesh_relay","a","b"])", MeshRelay{"a", "b"}},
        // JSON white space around and inside; escapes are undone before comparing.
        ReadCase{" \t\r\n{ \"transport\" : \"uds\" , \"path\" : \"/p\" }\n ", Uds{"/p"}},
        ReadCase{"[ \"uds\" ,\n\"/p\" ]\r\n", Uds{"/p"}},
        ReadCase{R"({"tr\u0061nsport":"u\u0064s","p\u0061th":"\/x\u00e9"})", Uds{"/x\xC3\xA9"}}));

struct ErrorCase {
    std::string text;
    std::string error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.text; }

class EndpointErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(EndpointErrorTest, ReportsTextAndPosition) { EXPECT_EQ(read_error(GetParam().text), GetParam().error); }

INSTANTIATE_TEST_SUITE_P(
    Syntax, EndpointErrorTest,
    testing::Values(ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
                    ErrorCase{"  ", "EOF while parsing a value at line 1 column 2"},
                    ErrorCase{"x", "expected value at line 1 column 1"},
                    ErrorCase{R"({"transport":"uds")", "EOF while parsing an object at line 1 column 18"},
                    ErrorCase{R"({"transport":"uds","path":})", "expected value at line 1 column 27"},
                    ErrorCase{R"({"transport":"uds" "path":"/p"})", "expected `,` or `}` at line 1 column 20"},
                    ErrorCase{R"({"transport"})", "expected `:` at line 1 column 13"},
                    ErrorCase{R"({"transport":"uds","path":"/p",})", "trailing comma at line 1 column 32"},
                    ErrorCase{R"({transport:"uds"})", "key must be a string at line 1 column 2"},
                    ErrorCase{R"(["uds","/p",])", "trailing comma at line 1 column 13"},
                    ErrorCase{R"(["uds","/p")", "EOF while parsing a list at line 1 column 11"},
                    ErrorCase{R"(["uds")", "EOF while parsing a list at line 1 column 6"},
                    ErrorCase{R"({"transport":"uds","path":"/p\q"})", "invalid escape at line 1 column 31"},
                    ErrorCase{R"({"transport":"u)", "EOF while parsing a string at line 1 column 15"},
                    ErrorCase{R"({"transport":)", "EOF while parsing a value at line 1 column 13"},
                    ErrorCase{R"({"transport":nul})", "expected ident at line 1 column 17"},
                    ErrorCase{R"({"transport":-})", "invalid number at line 1 column 15"},
                    ErrorCase{R"({"transport":1e400})", "number out of range at line 1 column 18"},
                    ErrorCase{R"({"transport":})", "expected value at line 1 column 14"},
                    ErrorCase{R"(["uds",01])", "invalid number at line 1 column 9"},
                    // Only white space may follow the value; a bad variant is reported before that.
                    ErrorCase{R"({"transport":"uds","path":"/p"} x)", "trailing characters at line 1 column 33"},
                    ErrorCase{R"({"transport":"uds","path":"/p"}{})", "trailing characters at line 1 column 32"},
                    ErrorCase{R"(["uds","/p"]])", "trailing characters at line 1 column 13"},
                    ErrorCase{R"({"transport":"uds"} x)", "missing field `path` at line 1 column 19"}));

INSTANTIATE_TEST_SUITE_P(
    NotAnEndpoint, EndpointErrorTest,
    testing::Values(
        ErrorCase{
            R"("uds")",
            R"(invalid type: string "uds", expected internally tagged enum TransportEndpoint at line 1 column 5)"},
        ErrorCase{"5",
                  "invalid type: integer `5`, expected internally tagged enum TransportEndpoint at line 1 column 1"},
        ErrorCase{"-3 ",
                  "invalid type: integer `-3`, expected internally tagged enum TransportEndpoint at line 1 column 2"},
        ErrorCase{"7800.0",
                  "invalid type: floating point `7800.0`, expected internally tagged enum TransportEndpoint at line 1 "
                  "column 6"},
        ErrorCase{"null", "invalid type: null, expected internally tagged enum TransportEndpoint at line 1 column 4"},
        ErrorCase{" true",
                  "invalid type: boolean `true`, expected internally tagged enum TransportEndpoint at line 1 column 5"},
        ErrorCase{
            "\"a\\nb\" x",
            R"(invalid type: string "a\nb", expected internally tagged enum TransportEndpoint at line 1 column 6)"}));

INSTANTIATE_TEST_SUITE_P(
    Tag, EndpointErrorTest,
    testing::Values(
        // Missing: reported after the closing bracket.
        ErrorCase{"{}", "missing field `transport` at line 1 column 2"},
        ErrorCase{"{ }", "missing field `transport` at line 1 column 3"},
        ErrorCase{R"({"path":"/p"})", "missing field `transport` at line 1 column 13"},
        ErrorCase{"[]", "missing field `transport` at line 1 column 2"},
        ErrorCase{"[ ]", "missing field `transport` at line 1 column 3"},
        ErrorCase{"[]x", "missing field `transport` at line 1 column 2"},
        // Twice: reported right after the second key.
        ErrorCase{R"({"transport":"uds","transport":"tcp"})", "duplicate field `transport` at line 1 column 30"},
        ErrorCase{R"({"transport":"uds","transport" :"tcp"})", "duplicate field `transport` at line 1 column 31"},
        ErrorCase{R"({"transport":"UDS","transport":"tcp"})",
                  "unknown variant `UDS`, expected one of `uds`, `tcp`, `mesh_relay` at line 1 column 18"},
        // Naming no variant: reported at the tag's closing quote; letter case counts.
        ErrorCase{R"({"transport":"UDS","path":"/p"})",
                  "unknown variant `UDS`, expected one of `uds`, `tcp`, `mesh_relay` at line 1 column 18"},
        ErrorCase{R"({"path":"/p","transport":""})",
                  "unknown variant ``, expected one of `uds`, `tcp`, `mesh_relay` at line 1 column 27"},
        ErrorCase{R"(["Tcp","h",1])",
                  "unknown variant `Tcp`, expected one of `uds`, `tcp`, `mesh_relay` at line 1 column 6"},
        ErrorCase{R"({"transport":"mesh-relay"})",
                  "unknown variant `mesh-relay`, expected one of `uds`, `tcp`, `mesh_relay` at line 1 column 25"},
        // Not a string: scalars are read first, arrays and objects are refused at once.
        ErrorCase{R"({"transport":5})", "invalid type: integer `5`, expected variant identifier at line 1 column 14"},
        ErrorCase{R"({"transport":-1.5})",
                  "invalid type: floating point `-1.5`, expected variant identifier at line 1 column 17"},
        ErrorCase{R"({"transport":null})", "invalid type: null, expected variant identifier at line 1 column 17"},
        ErrorCase{R"({"transport":false})",
                  "invalid type: boolean `false`, expected variant identifier at line 1 column 18"},
        ErrorCase{R"({"transport":[]})", "invalid type: sequence, expected variant identifier at line 1 column 13"},
        ErrorCase{R"({"transport": {}})", "invalid type: map, expected variant identifier at line 1 column 14"},
        ErrorCase{R"([5,"/p"])", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
        ErrorCase{R"([["uds"],"/p"])", "invalid type: sequence, expected variant identifier at line 1 column 1"}));

INSTANTIATE_TEST_SUITE_P(
    ObjectFields, EndpointErrorTest,
    testing::Values(
        // Faults of the fields are found once the object is read: reported after '}'.
        ErrorCase{R"({"transport":"uds"})", "missing field `path` at line 1 column 19"},
        ErrorCase{R"({"transport":"tcp","host":"h"})", "missing field `port` at line 1 column 30"},
        ErrorCase{R"({"transport":"tcp","port":1})", "missing field `host` at line 1 column 28"},
        ErrorCase{R"({"transport":"tcp"})", "missing field `host` at line 1 column 19"},
        ErrorCase{R"({"transport":"mesh_relay","capability":"c"})", "missing field `peer_id` at line 1 column 43"},
        ErrorCase{R"({"transport":"mesh_relay","peer_id":"p"})", "missing field `capability` at line 1 column 40"},
        ErrorCase{R"({"transport":"uds","Path":"/p"})", "missing field `path` at line 1 column 31"},
        ErrorCase{R"({"transport":"uds","path":"/a","path":"/b"})", "duplicate field `path` at line 1 column 43"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":1,"port":1})", "duplicate field `port` at line 1 column 48"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":65536})",
                  "invalid value: integer `65536`, expected u16 at line 1 column 43"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":-1})",
                  "invalid value: integer `-1`, expected u16 at line 1 column 40"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":7800.0})",
                  "invalid type: floating point `7800.0`, expected u16 at line 1 column 44"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":1e3})",
                  "invalid type: floating point `1000.0`, expected u16 at line 1 column 41"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":"7800"})",
                  R"(invalid type: string "7800", expected u16 at line 1 column 44)"},
        ErrorCase{R"({"transport":"tcp","host":"h","port":null})",
                  "invalid type: null, expected u16 at line 1 column 42"},
        ErrorCase{R"({"transport":"tcp","host":5,"port":1})",
                  "invalid type: integer `5`, expected a string at line 1 column 37"},
        ErrorCase{R"({"transport":"uds","path":["/p"]})",
                  "invalid type: sequence, expected a string at line 1 column 33"},
        ErrorCase{R"({"transport":"uds","path":{}})", "invalid type: map, expected a string at line 1 column 29"},
        ErrorCase{R"({"transport":"mesh_relay","peer_id":true,"capability":"c"})",
                  "invalid type: boolean `true`, expected a string at line 1 column 58"},
        // Fields are decoded in the order they came: the first fault counts.
        ErrorCase{R"({"path":1,"path":"/b","transport":"uds"})",
                  "invalid type: integer `1`, expected a string at line 1 column 40"},
        ErrorCase{R"({"port":70000,"host":5,"transport":"tcp"})",
                  "invalid value: integer `70000`, expected u16 at line 1 column 41"},
        // Multi-line text: line and column of the byte after '}'.
        ErrorCase{"{\n  \"transport\": \"uds\"\n}", "missing field `path` at line 3 column 1"},
        ErrorCase{"{\n  \"transport\": \"uds\"\n}\n", "missing field `path` at line 3 column 1"}));

INSTANTIATE_TEST_SUITE_P(
    ArrayFields, EndpointErrorTest,
    testing::Values(
        ErrorCase{R"(["uds"])",
                  "invalid length 0, expected struct variant TransportEndpoint::Uds with 1 element at line 1 column 7"},
        ErrorCase{
            R"(["tcp","h"])",
            "invalid length 1, expected struct variant TransportEndpoint::Tcp with 2 elements at line 1 column 11"},
        ErrorCase{
            R"(["tcp"])",
            "invalid length 0, expected struct variant TransportEndpoint::Tcp with 2 elements at line 1 column 7"},
        ErrorCase{R"(["mesh_relay"])",
                  "invalid length 0, expected struct variant TransportEndpoint::MeshRelay with 2 elements at line 1 "
                  "column 14"},
        ErrorCase{R"(["mesh_relay","p"])",
                  "invalid length 1, expected struct variant TransportEndpoint::MeshRelay with 2 elements at line 1 "
                  "column 18"},
        ErrorCase{R"(["uds","/a","/b"])", "invalid length 2, expected 1 element in sequence at line 1 column 17"},
        ErrorCase{R"(["tcp","h",1,2])", "invalid length 3, expected 2 elements in sequence at line 1 column 15"},
        ErrorCase{R"(["mesh_relay","a","b",null,null])",
                  "invalid length 4, expected 2 elements in sequence at line 1 column 32"},
        ErrorCase{R"(["tcp",5,1])", "invalid type: integer `5`, expected a string at line 1 column 11"},
        ErrorCase{R"(["tcp",5])", "invalid type: integer `5`, expected a string at line 1 column 9"},
        ErrorCase{R"(["tcp","h",65536])", "invalid value: integer `65536`, expected u16 at line 1 column 17"},
        ErrorCase{R"(["tcp","h",80.5,1])", "invalid type: floating point `80.5`, expected u16 at line 1 column 18"}));

// The nesting limit counts the endpoint's own object or array.
TEST(EndpointNesting, MembersAreLimitedTo127Levels) {
    auto with_member = [](int levels) {
        return R"({"transport":"uds","path":"/p","x":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
    };
    EXPECT_EQ(read_error(with_member(126)), R"(read: {"path":"/p","transport":"uds"})");
    const std::size_t column = std::string(R"({"transport":"uds","path":"/p","x":)").size() + 127;
    EXPECT_EQ(read_error(with_member(127)), "recursion limit exceeded at line 1 column " + std::to_string(column));
    EXPECT_EQ(read_error(R"(["uds","/p",)" + std::string(127, '[') + std::string(127, ']') + "]"),
              "recursion limit exceeded at line 1 column 139");
}

TEST(EndpointRead, TrailingWhiteSpaceIsAccepted) {
    for (const char* tail : {"\n", " ", "\t\r\n ", ""}) {
        EXPECT_EQ(read_error(std::string(R"({"transport":"uds","path":"/p"})") + tail),
                  R"(read: {"path":"/p","transport":"uds"})");
    }
}

TEST(EndpointRead, InvalidUtf8DoesNotCrash) {
    EXPECT_EQ(read_error("{\"transport\":\"uds\",\"path\":\"\xff\"}"),
              "invalid unicode code point at line 1 column 29");
    EXPECT_EQ(read_error("\xff"), "expected value at line 1 column 1");
}

}  // namespace
}  // namespace quillfern::transport
