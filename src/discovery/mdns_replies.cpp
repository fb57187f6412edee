#include "discovery/mdns_replies.h"

#include <algorithm>
#include <optional>

#include "discovery/dns_message.h"

namespace brindle {
namespace {

using dns::Name;
using dns::Record;

struct ServiceNames {
  Name service_type;
  Name instance;
  Name host;
  Name enumeration;
};

ServiceNames names_of(const ServiceRecord& service) {
  return {dns::name_from_text(service.service_type), dns::name_from_text(service.full_name()),
          dns::name_from_text(service.host_name), dns::name_from_text(SERVICES_ENUMERATION_NAME)};
}

Record make_record(Name name, uint16_t type, bool unique, uint32_t ttl, dns::RecordData data) {
  return Record{std::move(name), type, dns::CLASS_IN, unique, ttl, std::move(data)};
}

Record service_ptr(const ServiceNames& n) {
  return make_record(n.service_type, dns::TYPE_PTR, false, OTHER_RECORD_TTL, n.instance);
}
Record enumeration_ptr(const ServiceNames& n) {
  return make_record(n.enumeration, dns::TYPE_PTR, false, OTHER_RECORD_TTL, n.service_type);
}
Record srv(const ServiceRecord& service, const ServiceNames& n) {
  return make_record(n.instance, dns::TYPE_SRV, true, HOST_RECORD_TTL,
                     dns::SrvData{0, 0, service.port, n.host});
}
Record txt(const ServiceNames& n) {
  // No properties: one empty string, the smallest valid TXT data (RFC 6763 section 6.1).
  return make_record(n.instance, dns::TYPE_TXT, true, OTHER_RECORD_TTL, std::vector<uint8_t>{0});
}
std::vector<Record> address_records(const ServiceRecord& service, const ServiceNames& n) {
  std::vector<Record> out;
  for (const auto& address : service.addresses) {
    out.push_back(make_record(n.host, dns::TYPE_A, true, HOST_RECORD_TTL, address));
  }
  return out;
}

std::vector<Record> all_records(const ServiceRecord& service) {
  const ServiceNames n = names_of(service);
  std::vector<Record> out{service_ptr(n), enumeration_ptr(n), srv(service, n), txt(n)};
  for (auto& a : address_records(service, n)) out.push_back(std::move(a));
  return out;
}

bool asks_for(const dns::Question& q, uint16_t type) {
  return q.type == type || q.type == dns::TYPE_ANY;
}

std::vector<Record> answers_for(const ServiceRecord& service, const ServiceNames& n,
                                const dns::Question& q) {
  std::vector<Record> out;
  if (q.klass != dns::CLASS_IN && q.klass != dns::CLASS_ANY) return out;
  if (dns::same_name(q.name, n.service_type) && asks_for(q, dns::TYPE_PTR)) {
    out.push_back(service_ptr(n));
  }
  if (dns::same_name(q.name, n.enumeration) && asks_for(q, dns::TYPE_PTR)) {
    out.push_back(enumeration_ptr(n));
  }
  if (dns::same_name(q.name, n.instance)) {
    if (asks_for(q, dns::TYPE_SRV)) out.push_back(srv(service, n));
    if (asks_for(q, dns::TYPE_TXT)) out.push_back(txt(n));
  }
  if (dns::same_name(q.name, n.host) && asks_for(q, dns::TYPE_A)) {
    for (auto& a : address_records(service, n)) out.push_back(std::move(a));
  }
  return out;
}

bool contains(const std::vector<Record>& records, const Record& r) {
  return std::any_of(records.begin(), records.end(),
                     [&](const Record& x) { return dns::same_record(x, r); });
}

void add_unique(std::vector<Record>& records, Record r) {
  if (!contains(records, r)) records.push_back(std::move(r));
}

// RFC 6762 section 7.1: the querier already holds the record with at least half its lifetime.
bool known_to_querier(const dns::Message& query, const Record& r) {
  return std::any_of(query.answers.begin(), query.answers.end(), [&](const Record& known) {
    return dns::same_record(known, r) && known.ttl >= r.ttl / 2;
  });
}

// RFC 6763 section 12: what a querier will ask for next.
std::vector<Record> additionals_for(const ServiceRecord& service, const ServiceNames& n,
                                    const std::vector<Record>& answers) {
  std::vector<Record> out;
  auto add = [&](Record r) {
    if (!contains(answers, r)) add_unique(out, std::move(r));
  };
  for (const auto& a : answers) {
    const bool names_instance = a.type == dns::TYPE_PTR && dns::same_name(a.name, n.service_type);
    if (names_instance) {
      add(srv(service, n));
      add(txt(n));
    }
    if (names_instance || a.type == dns::TYPE_SRV) {
      for (auto& r : address_records(service, n)) add(std::move(r));
    }
  }
  return out;
}

std::vector<uint8_t> encode_or_nothing(const dns::Message& m) {
  auto bytes = dns::encode_message(m);
  return bytes ? std::move(bytes).value() : std::vector<uint8_t>{};
}

// The legacy form: no cache-flush bits, which such resolvers would misread, and short TTLs.
void make_legacy(std::vector<Record>& records) {
  for (auto& r : records) {
    r.cache_flush = false;
    r.ttl = std::min(r.ttl, LEGACY_TTL_LIMIT);
  }
}

std::optional<Reply> build_reply(const ServiceRecord& service, const ServiceNames& n,
                                 std::vector<Record> answers, const dns::Message& query,
                                 bool multicast, bool legacy, const Ipv4Endpoint& source) {
  if (answers.empty()) return std::nullopt;
  dns::Message m;
  m.flags = dns::FLAG_RESPONSE | dns::FLAG_AUTHORITATIVE;
  m.id = multicast ? 0 : query.id;
  m.additionals = additionals_for(service, n, answers);
  m.answers = std::move(answers);
  if (legacy) {
    m.questions = query.questions;
    for (auto& q : m.questions) q.unicast_response = false;
    make_legacy(m.answers);
    make_legacy(m.additionals);
  }
  Reply reply{multicast, multicast ? Ipv4Endpoint{MDNS_GROUP, MDNS_PORT} : source,
              encode_or_nothing(m)};
  if (reply.bytes.empty()) return std::nullopt;
  return reply;
}

std::vector<uint8_t> unsolicited(const ServiceRecord& service, bool goodbye) {
  dns::Message m;
  m.flags = dns::FLAG_RESPONSE | dns::FLAG_AUTHORITATIVE;
  m.answers = all_records(service);
  if (goodbye) {
    for (auto& r : m.answers) r.ttl = 0;
  }
  return encode_or_nothing(m);
}

}  // namespace

std::vector<Reply> replies_to_datagram(const ServiceRecord& service,
                                       std::span<const uint8_t> datagram,
                                       const Ipv4Endpoint& source) {
  const auto decoded = dns::decode_message(datagram);
  if (!decoded) return {};
  const dns::Message& query = decoded.value();
  // Responses are never answered: other responders' records, conflicts included, are not our
  // business. Non-zero opcodes and rcodes must be ignored (RFC 6762 section 18).
  if ((query.flags & dns::FLAG_RESPONSE) != 0 || (query.flags & dns::OPCODE_MASK) != 0 ||
      (query.flags & dns::RCODE_MASK) != 0) {
    return {};
  }
  const bool legacy = source.port != MDNS_PORT;
  const ServiceNames n = names_of(service);
  std::vector<Record> to_group;
  std::vector<Record> to_querier;
  for (const auto& q : query.questions) {
    for (auto& r : answers_for(service, n, q)) {
      if (known_to_querier(query, r)) continue;
      add_unique(legacy || q.unicast_response ? to_querier : to_group, std::move(r));
    }
  }
  std::vector<Reply> replies;
  if (auto r = build_reply(service, n, std::move(to_group), query, true, false, source)) {
    replies.push_back(std::move(*r));
  }
  if (auto r = build_reply(service, n, std::move(to_querier), query, false, legacy, source)) {
    replies.push_back(std::move(*r));
  }
  return replies;
}

std::vector<uint8_t> announcement_message(const ServiceRecord& service) {
  return unsolicited(service, false);
}

std::vector<uint8_t> goodbye_message(const ServiceRecord& service) {
  return unsolicited(service, true);
}

std::vector<uint8_t> address_goodbye_message(const ServiceRecord& service,
                                             std::span<const Ipv4Address> gone) {
  if (gone.empty()) return {};
  ServiceRecord withdrawn = service;
  withdrawn.addresses.assign(gone.begin(), gone.end());
  dns::Message m;
  m.flags = dns::FLAG_RESPONSE | dns::FLAG_AUTHORITATIVE;
  m.answers = address_records(withdrawn, names_of(withdrawn));
  for (auto& r : m.answers) r.ttl = 0;
  return encode_or_nothing(m);
}

}  // namespace brindle
