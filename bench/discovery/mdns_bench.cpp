// What one hostile query from the link costs the responder: the largest message it accepts,
// packed with repeated questions for the host and known answers that match nothing, or with
// names that are chains of compression pointers.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "discovery/dns_message.h"
#include "discovery/interface_addresses.h"
#include "discovery/mdns_replies.h"
#include "discovery/service_record.h"

namespace brindle {
namespace {

ServiceRecord service_with(int addresses) {
  std::vector<Ipv4Address> list;
  for (int i = 0; i < addresses; ++i) {
    list.push_back({10, 1, static_cast<uint8_t>(i / 250), static_cast<uint8_t>(1 + i % 250)});
  }
  return make_service_record("_brindle._udp.local.", "DESKTOP-AB12", "DESKTOP-AB12.local.",
                             join_addresses(list), 45333)
      .value();
}

// Questions and known answers alternate until the message is as large as the decoder takes.
std::vector<uint8_t> crafted_query() {
  dns::Message m;
  const dns::Name host = dns::name_from_text("DESKTOP-AB12.local.");
  std::vector<uint8_t> last;
  for (int i = 0;; ++i) {
    m.questions.push_back(dns::Question{host, dns::TYPE_ANY, dns::CLASS_IN, false});
    const Ipv4Address other{192, 0, 2, static_cast<uint8_t>(i)};
    m.answers.push_back(dns::Record{host, dns::TYPE_A, dns::CLASS_IN, false, 120, other});
    auto bytes = dns::encode_message(m);
    if (!bytes) return last;
    last = std::move(bytes).value();
  }
}

void BM_CraftedQuery(benchmark::State& state) {
  const ServiceRecord service = service_with(static_cast<int>(state.range(0)));
  const std::vector<uint8_t> query = crafted_query();
  const Ipv4Endpoint source{{10, 1, 0, 200}, MDNS_PORT};
  for (auto _ : state) {
    auto replies = replies_to_datagram(service, query, source);
    benchmark::DoNotOptimize(replies);
  }
  state.counters["query_bytes"] = static_cast<double>(query.size());
}
BENCHMARK(BM_CraftedQuery)->Arg(4)->Arg(100)->Unit(benchmark::kMillisecond);

// As many questions as 9000 bytes hold, each name a pointer to the class of an earlier question.
// Type and class are pointers too, so each of the first `depth` questions makes the chain three
// pointers longer and the later ones all end it: a name spells "a." through up to 3 * depth
// pointers, which a decoder following every pointer anew pays for again with every name.
std::vector<uint8_t> pointer_chain_query(size_t depth) {
  std::vector<uint8_t> b = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0xC0, 12, 0xC0, 15};
  auto pointer = [&](size_t to) {
    b.push_back(static_cast<uint8_t>(0xC0 | (to >> 8)));
    b.push_back(static_cast<uint8_t>(to & 0xFF));
  };
  size_t questions = 1;
  size_t last_class = 17;
  while (b.size() + 6 <= dns::MAX_MESSAGE_BYTES) {
    const size_t start = b.size();
    pointer(last_class);
    pointer(start);
    pointer(start + 2);
    if (++questions < depth) last_class = start + 4;
  }
  b[4] = static_cast<uint8_t>(questions >> 8);
  b[5] = static_cast<uint8_t>(questions & 0xFF);
  return b;
}

void BM_PointerChainQuery(benchmark::State& state) {
  const ServiceRecord service = service_with(4);
  const std::vector<uint8_t> query = pointer_chain_query(static_cast<size_t>(state.range(0)));
  const Ipv4Endpoint source{{10, 1, 0, 200}, MDNS_PORT};
  for (auto _ : state) {
    auto replies = replies_to_datagram(service, query, source);
    benchmark::DoNotOptimize(replies);
  }
  state.counters["query_bytes"] = static_cast<double>(query.size());
  state.counters["decodes"] = dns::decode_message(query).ok() ? 1 : 0;
}
// Depth 1: every name one short hop; 42: names at the hop limit; 2000: one chain through all.
BENCHMARK(BM_PointerChainQuery)->Arg(1)->Arg(42)->Arg(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brindle
