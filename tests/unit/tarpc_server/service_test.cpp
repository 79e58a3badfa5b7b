// QuillFernService's operations on a real store: each reply as the exact bytes of its
// encoded response, the payload texts inject accepts, and the store's refusals.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::tarpc_server {
namespace {

using tarpc_service::Context;
using ServiceRequest = tarpc_service::QuillFernServiceRequest;

using testing::FakeClock;
using testing::kNow;

// A length-prefixed text as the encoder writes it (texts here are shorter than 251 bytes).
std::string text(std::string_view s) { return std::string(1, static_cast<char>(s.size())) + std::string(s); }

// The payload of a response with request id 9, success, to the given variant index.
std::string reply(std::uint8_t index, std::string_view body) {
    return std::string("\x09\x00", 2) + static_cast<char>(index) + std::string(body);
}

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() { EXPECT_TRUE(store->start().has_value()); }

    // The encoded response to `call`, as text for readable comparisons.
    std::string served(ServiceRequest call) const {
        const tarpc_service::Response response{9, server.serve(Context{}, std::move(call))};
        const std::vector<std::uint8_t> bytes = tarpc_service::encode_response(response);
        return std::string(bytes.begin(), bytes.end());
    }

    // The JSON text of a gossip reply.
    std::string json_of(ServiceRequest call) const {
        const tarpc_service::QuillFernServiceResponse response = server.serve(Context{}, std::move(call));
        return std::visit(
            [](const auto& v) -> std::string {
                if constexpr (requires { v.json; }) {
                    return v.json;
                } else {
                    ADD_FAILURE() << "not a gossip reply";
                    return {};
                }
            },
            response.value);
    }

    // An entry as a peer sends it, with a fixed nonce.
    static gossip::GossipEntry entry(std::string key, std::string nonce, json::Value payload) {
        gossip::GossipEntry e;
        e.topic = gossip::Topic::Data;
        e.key = gossip::share_text(std::move(key));
        e.payload = gossip::share_payload(std::move(payload));
        e.origin_gate = gossip::share_text("gate-b");
        e.nonce = std::move(nonce);
        e.ttl = 3;
        e.version = kNow;
        e.created_at_epoch = kNow - 5;
        e.expires_at_epoch = kNow + 100;
        return e;
    }

    std::shared_ptr<FakeClock> clock = FakeClock::at(kNow);
    std::shared_ptr<gossip::GossipStore> store = std::make_shared<gossip::GossipStore>("gate-a", clock);
    QuillFernTarpcServer server{store};
};

TEST_F(ServiceTest, EachOperationOnAnEmptyStoreWithItsExactReplyBytes) {
    std::string methods = "\x0c";
    for (std::string_view name : {"health.liveness", "health.readiness", "health.check", "capabilities.list",
                                  "btsp.negotiate", "wendle.announce", "gossip.spread", "gossip.inject", "gossip.query",
                                  "gossip.status", "gossip.peers", "gossip.subscribe"}) {
        methods += text(name);
    }
    const std::string invalid_topic = R"({"error":"invalid topic"})";
    struct Case {
        std::string_view name;
        ServiceRequest call;
        std::string bytes;
    };
    const Case cases[] = {
        {"liveness", ServiceRequest{ServiceRequest::HealthLiveness{}}, reply(0, "\x01")},
        {"readiness", ServiceRequest{ServiceRequest::HealthReadiness{}}, reply(1, "\x01")},
        {"health check", ServiceRequest{ServiceRequest::HealthCheck{}},
         reply(2, text("Healthy") + text("quillFern") + text("0.1.0"))},
        {"capabilities", ServiceRequest{ServiceRequest::CapabilitiesList{}},
         reply(3, text("quillFern") + text("0.1.0") + methods)},
        {"query", ServiceRequest{ServiceRequest::GossipQuery{"data", "endpoint."}},
         reply(5, text(R"({"count":0,"entries":[]})"))},
        {"query without prefix", ServiceRequest{ServiceRequest::GossipQuery{"compute", std::nullopt}},
         reply(5, text(R"({"count":0,"entries":[]})"))},
        {"status", ServiceRequest{ServiceRequest::GossipStatus{}},
         reply(6, text(R"({"compute_entries":0,"data_entries":0,"nonce_history_size":0,"peer_count":0,)"
                       R"("total_evicted":0,"total_ingested":0,"varne_entries":0})"))},
        {"peers", ServiceRequest{ServiceRequest::GossipPeers{}}, reply(7, text(R"({"node_id":"gate-a","peers":{}})"))},
        {"subscribe", ServiceRequest{ServiceRequest::GossipSubscribe{"varne", std::nullopt}},
         reply(8, text(R"({"count":0,"entries":[],"mode":"snapshot","subscriber_count":0})"))},
        {"inject to Varne", ServiceRequest{ServiceRequest::GossipInject{"Varne", "k.2", "1"}},
         reply(4, text(invalid_topic))},
        {"inject to ' varne'", ServiceRequest{ServiceRequest::GossipInject{" varne", "k.2", "1"}},
         reply(4, text(invalid_topic))},
        {"inject to 'varne '", ServiceRequest{ServiceRequest::GossipInject{"varne ", "k.2", "1"}},
         reply(4, text(invalid_topic))},
        {"inject to ''", ServiceRequest{ServiceRequest::GossipInject{"", "k.2", "1"}}, reply(4, text(invalid_topic))},
        {"query of DATA", ServiceRequest{ServiceRequest::GossipQuery{"DATA", std::nullopt}},
         reply(5, text(invalid_topic))},
        {"subscribe to comput", ServiceRequest{ServiceRequest::GossipSubscribe{"comput", "x"}},
         reply(8, text(invalid_topic))},
        // Last: the only one that changes the store.
        {"inject", ServiceRequest{ServiceRequest::GossipInject{"varne", "k.1", R"({"a":1})"}},
         reply(4, text(R"({"result":"Accepted"})"))},
    };
    for (const Case& c : cases) EXPECT_EQ(served(c.call), c.bytes) << c.name;
    // Only the one valid inject reached the store.
    EXPECT_EQ(store->stats().varne_entries, 1u);
    EXPECT_EQ(take_pending(*store).size(), 1u);
}

TEST_F(ServiceTest, HealthBeforeTheStoreRuns) {
    auto built = std::make_shared<gossip::GossipStore>("gate-a", clock);
    const QuillFernTarpcServer idle(built);
    EXPECT_FALSE(idle.health_liveness(Context{}));
    EXPECT_FALSE(idle.health_readiness(Context{}));
    EXPECT_EQ(idle.health_check(Context{}), (tarpc_service::HealthReport{"Unknown", "quillFern", "0.1.0"}));
    EXPECT_TRUE(server.health_liveness(Context{}));
    EXPECT_EQ(server.health_check(Context{}).status, "Healthy");
}

TEST_F(ServiceTest, InjectStoresThePayloadTextAsOneJsonValueElseNull) {
    struct Case {
        std::string payload;
        std::string stored;
    };
    const Case cases[] = {
        {R"({"a":1})", R"({"a":1})"},
        {"{\"a\":1}\n", R"({"a":1})"},
        {" \t[1, 2]\r\n", "[1,2]"},
        {R"("text")", R"("text")"},
        {R"({"b":[1],"a":{"d":null,"c":true}})", R"({"a":{"c":true,"d":null},"b":[1]})"},
        {R"("\u00e9\n")", "\"\u00e9\\n\""},
        {"", "null"},
        {"{\"a\":1} x", "null"},
        {"{\"a\":1}{}", "null"},
        {"nul", "null"},
        {"{\"a\":", "null"},
        {std::string(127, '[') + std::string(127, ']'), std::string(127, '[') + std::string(127, ']')},
        {std::string(128, '[') + std::string(128, ']'), "null"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string key = "payload." + std::to_string(n++);
        EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"data", key, c.payload}}),
                  R"({"result":"Accepted"})")
            << key;
        const std::vector<gossip::GossipEntry> found = store->query(gossip::Topic::Data, key);
        ASSERT_EQ(found.size(), 1u) << key;
        EXPECT_EQ(json::to_string(gossip::payload_of(found[0].payload)), c.stored) << "payload " << c.payload;
    }
}

// [{},{},...] of 12 MB would take more memory as a value than one value may have; the
// payload is stored as its text all the same, as on the JSON-RPC socket.
TEST_F(ServiceTest, InjectKeepsThePayloadAsTextWithoutBuildingItsValue) {
    std::string payload = "[{}";
    payload.reserve(12'000'000);
    while (payload.size() < 12'000'000) payload += ",{}";
    payload += ']';
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"data", "wide", payload}}),
              R"({"result":"Accepted"})");
    const std::vector<gossip::GossipEntry> found = store->query(gossip::Topic::Data, "wide");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(gossip::payload_text(found[0].payload) == payload);
}

TEST_F(ServiceTest, InjectRepliesTheStoresOutcome) {
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"data", "", "1"}}), R"({"result":"Rejected"})");
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"data", "k", "1"}}), R"({"result":"Accepted"})");
    // The version is the second of creation: the same second again is a duplicate.
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"data", "k", "2"}}), R"({"result":"Duplicate"})");
    clock->set(kNow + 1);
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"data", "k", "3"}}), R"({"result":"Accepted"})");
    const std::vector<gossip::GossipEntry> found = store->query(gossip::Topic::Data, "k");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(json::to_string(gossip::payload_of(found[0].payload)), "3");
    EXPECT_EQ(found[0].version, kNow + 1);
}

TEST_F(ServiceTest, QuerySubscribePeersAndStatusReportWhatTheStoreHolds) {
    ASSERT_EQ(store->ingest(entry("user.alice", "n-1", {{"s", "on\"line"}}), "gate-b"),
              gossip::IngestOutcome::Accepted);
    ASSERT_EQ(store->ingest(entry("svc.x", "n-2", nullptr), "gate-b"), gossip::IngestOutcome::Accepted);

    const std::string alice =
        R"({"created_at_epoch":1699999995,"expires_at_epoch":1700000100,"key":"user.alice","nonce":"n-1",)"
        R"("origin_gate":"gate-b","payload":{"s":"on\"line"},"topic":"data","ttl":3,"version":1700000000})";
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipQuery{"data", "user."}}),
              R"({"count":1,"entries":[)" + alice + "]}");
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipSubscribe{"data", "user.a"}}),
              R"({"count":1,"entries":[)" + alice + R"(],"mode":"snapshot","subscriber_count":0})");
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipQuery{"varne", std::nullopt}}),
              R"({"count":0,"entries":[]})");

    // No prefix and an empty prefix select the same: every entry of the topic.
    const std::string all = json_of(ServiceRequest{ServiceRequest::GossipQuery{"data", std::nullopt}});
    EXPECT_EQ(all.rfind(R"({"count":2,"entries":[)", 0), 0u) << all;
    EXPECT_NE(all.find(alice), std::string::npos) << all;
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipQuery{"data", ""}}), all);

    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipPeers{}}),
              R"({"node_id":"gate-a","peers":{"gate-b":{"entries_received":2,"entries_rejected":0,)"
              R"("entries_sent":0,"last_exchange_epoch":1700000000}}})");
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipStatus{}}),
              R"({"compute_entries":0,"data_entries":2,"nonce_history_size":2,"peer_count":1,)"
              R"("total_evicted":0,"total_ingested":2,"varne_entries":0})");
}

// Replies are written from the payloads' stored texts: byte for byte what the entries'
// JSON values give, for every kind of payload and for texts that need escapes.
TEST_F(ServiceTest, QueryAndSubscribeRepliesAreTheEntriesJsonFormByteForByte) {
    const char* const payloads[] = {
        "null",
        "true",
        "0",
        "-0",
        "18446744073709551615",
        "18446744073709551616",
        "-9223372036854775808",
        "1e16",
        "0.1",
        "100.0",
        "1.5e-7",
        "-2.5E+300",
        R"("")",
        R"("\u0000\u001f\"\\/\b\f\n\r\t\u007f")",
        R"("ü€😀\ud83d\ude00")",
        "[]",
        "{}",
        R"({"b":[1,{"a":null}],"a":true,"":{},"B":"x"})",
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
    };
    int n = 0;
    for (const char* text : payloads) {
        auto value = json::parse(text);
        ASSERT_TRUE(value.has_value()) << text;
        const std::string id = std::to_string(n++);
        // Keys, nonces and origins with bytes that need escapes, too (a key holds no control bytes).
        gossip::GossipEntry e = entry("p." + id + "\"\\ü/", "nonce\t\n\x01" + id, std::move(*value));
        e.origin_gate = gossip::share_text("gate\x7f\"b");
        ASSERT_EQ(store->ingest(std::move(e), "gate-b"), gossip::IngestOutcome::Accepted) << text;
    }
    gossip::GossipEntry bare = entry("p.bare", "n-bare", nullptr);
    bare.payload = nullptr;  // no payload at all: written as null
    ASSERT_EQ(store->ingest(std::move(bare), "gate-b"), gossip::IngestOutcome::Accepted);

    const std::vector<gossip::GossipEntry> found = store->query(gossip::Topic::Data, "p.");
    ASSERT_EQ(found.size(), std::size(payloads) + 1);
    const std::string entries = json::to_string(gossip::entries_to_json(found));
    const std::string count = R"({"count":)" + std::to_string(found.size());
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipQuery{"data", "p."}}),
              count + R"(,"entries":)" + entries + "}");
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipSubscribe{"data", "p."}}),
              count + R"(,"entries":)" + entries + R"(,"mode":"snapshot","subscriber_count":0})");
}

// With a bound on its text, a reply that would be longer is counted and not built; one of
// exactly the bound is the reply as ever. Escapes count as written.
TEST_F(ServiceTest, QueryAndSubscribeOverABoundAreNotBuilt) {
    for (int i = 0; i < 3; ++i) {
        const std::string id = std::to_string(i);
        gossip::GossipEntry e = entry("p." + id + "\"\\", "nonce\x01\x02\x03" + id, json::Value(std::string(40, 'v')));
        ASSERT_EQ(store->ingest(std::move(e), "gate-b"), gossip::IngestOutcome::Accepted);
    }
    const ServiceRequest calls[] = {
        {ServiceRequest::GossipQuery{"data", "p."}},    {ServiceRequest::GossipSubscribe{"data", "p."}},
        {ServiceRequest::GossipQuery{"data", "none"}},  {ServiceRequest::GossipSubscribe{"data", std::nullopt}},
        {ServiceRequest::GossipQuery{"nowhere", "p."}},
    };
    for (const ServiceRequest& call : calls) {
        const std::string whole = json_of(call);
        const tarpc_service::QuillFernServiceResponse bounded = server.serve(Context{}, call, whole.size());
        EXPECT_FALSE(QuillFernTarpcServer::left_unbuilt(bounded)) << whole;
        EXPECT_EQ(bounded, server.serve(Context{}, call)) << whole;
        if (whole.starts_with(R"({"error")")) continue;  // refusals are short
        for (const std::size_t longest : {whole.size() - 1, whole.size() / 2}) {
            const tarpc_service::QuillFernServiceResponse unbuilt = server.serve(Context{}, call, longest);
            EXPECT_TRUE(QuillFernTarpcServer::left_unbuilt(unbuilt)) << whole;
            EXPECT_EQ(unbuilt.index(), call.index()) << whole;
        }
    }
}

TEST_F(ServiceTest, CopiesShareTheStore) {
    const QuillFernTarpcServer copy = server;
    EXPECT_EQ(copy.store(), store);
    EXPECT_EQ(json_of(ServiceRequest{ServiceRequest::GossipInject{"compute", "c", "{}"}}), R"({"result":"Accepted"})");
    EXPECT_EQ(copy.gossip_status(Context{}), json_of(ServiceRequest{ServiceRequest::GossipStatus{}}));
}

}  // namespace
}  // namespace quillfern::tarpc_server
