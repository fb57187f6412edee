#include "discovery/mdns_replies.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "discovery/dns_message.h"

namespace brindle {
namespace {

using dns::Name;
using dns::Record;

constexpr size_t HEADER_BYTES = 12;
constexpr size_t RECORD_FIXED_BYTES = 10;  // type, class, TTL, data length
constexpr size_t QUESTION_FIXED_BYTES = 4;

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

// The service's records in a fixed order: the first six are one of a kind each, the address
// records follow. A query is answered by marking kinds, which keeps the work linear.
enum Kind : unsigned {
  SERVICE_PTR = 1,
  ENUMERATION_PTR = 2,
  SRV = 4,
  TXT = 8,
  INSTANCE_NSEC = 16,
  HOST_NSEC = 32,
  ADDRESSES = 64,
};
constexpr size_t SINGLE_KINDS = 6;
constexpr size_t SRV_POSITION = 2;  // the first record that is ours alone

unsigned kind_of(size_t index) {
  return index < SINGLE_KINDS ? 1u << index : ADDRESSES;
}

// RFC 6762 section 6.1: the restricted form, the name itself as next name and one bitmap window
// for types below 256, listing the types the name has.
std::vector<uint8_t> nsec_data(const Name& name, std::initializer_list<uint16_t> types) {
  std::vector<uint8_t> data;
  for (const auto& label : name.labels) {
    data.push_back(static_cast<uint8_t>(label.size()));
    data.insert(data.end(), label.begin(), label.end());
  }
  data.push_back(0);
  uint16_t highest = 0;
  for (const uint16_t t : types) highest = std::max(highest, t);
  const size_t bitmap_at = data.size() + 2;
  data.push_back(0);  // window 0
  data.push_back(static_cast<uint8_t>(highest / 8 + 1));
  data.resize(bitmap_at + highest / 8 + 1, 0);
  for (const uint16_t t : types) data[bitmap_at + t / 8] |= static_cast<uint8_t>(0x80 >> (t % 8));
  return data;
}

std::vector<Record> all_records(const ServiceRecord& service, const ServiceNames& n) {
  std::vector<Record> out;
  out.reserve(SINGLE_KINDS + service.addresses.size());
  out.push_back(make_record(n.service_type, dns::TYPE_PTR, false, OTHER_RECORD_TTL, n.instance));
  out.push_back(make_record(n.enumeration, dns::TYPE_PTR, false, OTHER_RECORD_TTL, n.service_type));
  out.push_back(make_record(n.instance, dns::TYPE_SRV, true, HOST_RECORD_TTL,
                            dns::SrvData{0, 0, service.port, n.host}));
  // No properties: one empty string, the smallest valid TXT data (RFC 6763 section 6.1).
  out.push_back(
      make_record(n.instance, dns::TYPE_TXT, true, OTHER_RECORD_TTL, std::vector<uint8_t>{0}));
  // A missing type lives in caches as long as a record of the name would have.
  out.push_back(make_record(n.instance, dns::TYPE_NSEC, true, HOST_RECORD_TTL,
                            nsec_data(n.instance, {dns::TYPE_TXT, dns::TYPE_SRV})));
  out.push_back(
      make_record(n.host, dns::TYPE_NSEC, true, HOST_RECORD_TTL, nsec_data(n.host, {dns::TYPE_A})));
  for (const auto& address : service.addresses) {
    out.push_back(make_record(n.host, dns::TYPE_A, true, HOST_RECORD_TTL, address));
  }
  return out;
}

// What announcements and goodbyes carry: the records, not the denials.
std::vector<Record> published_records(const ServiceRecord& service, const ServiceNames& n) {
  std::vector<Record> out = all_records(service, n);
  std::erase_if(out, [](const Record& r) { return r.type == dns::TYPE_NSEC; });
  return out;
}

bool asks_for(const dns::Question& q, uint16_t type) {
  return q.type == type || q.type == dns::TYPE_ANY;
}

unsigned kinds_asked(const ServiceNames& n, const dns::Question& q) {
  if (q.klass != dns::CLASS_IN && q.klass != dns::CLASS_ANY) return 0;
  unsigned kinds = 0;
  if (asks_for(q, dns::TYPE_PTR) && dns::same_name(q.name, n.service_type)) kinds |= SERVICE_PTR;
  if (asks_for(q, dns::TYPE_PTR) && dns::same_name(q.name, n.enumeration)) {
    kinds |= ENUMERATION_PTR;
  }
  if (dns::same_name(q.name, n.instance)) {
    if (asks_for(q, dns::TYPE_SRV)) kinds |= SRV;
    if (asks_for(q, dns::TYPE_TXT)) kinds |= TXT;
    if (q.type != dns::TYPE_ANY && q.type != dns::TYPE_SRV && q.type != dns::TYPE_TXT) {
      kinds |= INSTANCE_NSEC;
    }
  }
  if (dns::same_name(q.name, n.host)) {
    if (asks_for(q, dns::TYPE_A)) kinds |= ADDRESSES;
    if (q.type != dns::TYPE_ANY && q.type != dns::TYPE_A) kinds |= HOST_NSEC;
  }
  return kinds;
}

// RFC 6762 section 7.1: records the querier already holds with at least half their lifetime.
std::vector<bool> known_to_querier(const dns::Message& query, const std::vector<Record>& ours) {
  std::vector<bool> known(ours.size(), false);
  if (query.answers.empty()) return known;
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < ours.size(); ++i) index.emplace(dns::record_identity(ours[i]), i);
  for (const auto& k : query.answers) {
    const auto found = index.find(dns::record_identity(k));
    if (found != index.end() && k.ttl >= ours[found->second].ttl / 2) known[found->second] = true;
  }
  return known;
}

// RFC 6763 section 12: what a querier will ask for next.
unsigned additional_kinds(unsigned answered) {
  unsigned kinds = 0;
  if ((answered & SERVICE_PTR) != 0) kinds |= SRV | TXT | ADDRESSES;
  if ((answered & SRV) != 0) kinds |= ADDRESSES;
  return kinds & ~answered;
}

struct Selection {
  std::vector<Record> answers;
  std::vector<Record> additionals;
};

Selection select(const std::vector<Record>& ours, const std::vector<bool>& known, unsigned asked) {
  Selection s;
  unsigned answered = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    if ((asked & kind_of(i)) != 0 && !known[i]) {
      s.answers.push_back(ours[i]);
      answered |= kind_of(i);
    }
  }
  // Kinds asked for but all known are not offered again as additionals either.
  const unsigned extra = additional_kinds(answered) & ~asked;
  for (size_t i = 0; i < ours.size(); ++i) {
    if ((extra & kind_of(i)) != 0) s.additionals.push_back(ours[i]);
  }
  return s;
}

// ---- fitting messages into datagrams ----

// Length-prefixed labels, letter case kept: the encoder compresses only exact repeats.
std::string name_key(const Name& name) {
  std::string key;
  for (const auto& label : name.labels) {
    key += static_cast<char>(label.size());
    key += label;
  }
  return key;
}

// What a message takes on the wire at most, as records are added: a name written once before
// becomes a two-byte pointer, any other compression only makes it shorter still.
class SizeBound {
 public:
  bool fits(size_t bytes) const { return used_ + bytes <= MAX_REPLY_BYTES; }

  size_t of(const dns::Question& q) const { return name(q.name) + QUESTION_FIXED_BYTES; }
  size_t of(const Record& r) const {
    size_t data = 0;
    if (const auto* n = std::get_if<Name>(&r.data)) {
      data = name(*n);
    } else if (const auto* srv = std::get_if<dns::SrvData>(&r.data)) {
      data = 6 + name(srv->target);
    } else if (std::holds_alternative<Ipv4Address>(r.data)) {
      data = 4;
    } else {
      data = std::get<std::vector<uint8_t>>(r.data).size();
    }
    return name(r.name) + RECORD_FIXED_BYTES + data;
  }

  void add(const dns::Question& q) {
    used_ += of(q);
    written_.insert(name_key(q.name));
  }
  void add(const Record& r) {
    used_ += of(r);
    written_.insert(name_key(r.name));
    if (const auto* n = std::get_if<Name>(&r.data)) written_.insert(name_key(*n));
    if (const auto* srv = std::get_if<dns::SrvData>(&r.data))
      written_.insert(name_key(srv->target));
  }

 private:
  size_t name(const Name& n) const {
    return written_.contains(name_key(n)) ? 2 : dns::wire_length(n);
  }

  size_t used_ = HEADER_BYTES;
  std::unordered_set<std::string> written_;
};

// Answers first, then additionals, each message filled up to the datagram size; additionals
// that do not fit beside the answers follow in messages of their own.
std::vector<dns::Message> split(const dns::Message& head, std::vector<Record> answers,
                                std::vector<Record> additionals) {
  std::vector<dns::Message> out;
  dns::Message current = head;
  SizeBound bound;
  auto place = [&](Record r, bool answer) {
    const bool empty = current.answers.empty() && current.additionals.empty();
    if (!empty && !bound.fits(bound.of(r))) {
      out.push_back(std::move(current));
      current = head;
      bound = SizeBound{};
    }
    bound.add(r);
    (answer ? current.answers : current.additionals).push_back(std::move(r));
  };
  for (auto& r : answers) place(std::move(r), true);
  for (auto& r : additionals) place(std::move(r), false);
  if (!current.answers.empty() || !current.additionals.empty()) out.push_back(std::move(current));
  return out;
}

// An ordinary resolver reads one datagram: what fits, and the truncation bit when an answer or
// an echoed question had to stay out (additional records may go silently, as in unicast DNS).
dns::Message fit_one(dns::Message m, std::vector<Record> answers, std::vector<Record> additionals) {
  SizeBound bound;
  bool truncated = false;
  std::vector<dns::Question> questions;
  for (auto& q : m.questions) {
    if (!bound.fits(bound.of(q))) {
      truncated = true;
      continue;
    }
    bound.add(q);
    questions.push_back(std::move(q));
  }
  m.questions = std::move(questions);
  for (auto& r : answers) {
    if (!bound.fits(bound.of(r))) {
      truncated = true;
      continue;
    }
    bound.add(r);
    m.answers.push_back(std::move(r));
  }
  for (auto& r : additionals) {
    if (!bound.fits(bound.of(r))) continue;
    bound.add(r);
    m.additionals.push_back(std::move(r));
  }
  if (truncated) m.flags |= dns::FLAG_TRUNCATED;
  return m;
}

Messages encode_all(const std::vector<dns::Message>& messages) {
  Messages out;
  for (const auto& m : messages) {
    // Only names beyond DNS limits fail, and registration has refused those already.
    if (auto bytes = dns::encode_message(m)) out.push_back(std::move(bytes).value());
  }
  return out;
}

dns::Message response_head(uint16_t id) {
  dns::Message m;
  m.id = id;
  m.flags = dns::FLAG_RESPONSE | dns::FLAG_AUTHORITATIVE;
  return m;
}

// The legacy form: no cache-flush bits, which such resolvers would misread, and short TTLs.
void make_legacy(std::vector<Record>& records) {
  for (auto& r : records) {
    r.cache_flush = false;
    r.ttl = std::min(r.ttl, LEGACY_TTL_LIMIT);
  }
}

// Moves the records multicast on the link during the last second out of `records`.
std::vector<Record> withhold_limited(std::vector<Record>& records, const MulticastLimiter& limiter,
                                     MulticastLimiter::Clock::time_point now) {
  std::vector<Record> withheld;
  std::erase_if(records, [&](Record& r) {
    if (limiter.may_send(r, now)) return false;
    withheld.push_back(std::move(r));
    return true;
  });
  return withheld;
}

void note_sent(const std::vector<Record>& records, MulticastLimiter* limiter,
               MulticastLimiter::Clock::time_point now) {
  if (limiter == nullptr) return;
  for (const auto& r : records) limiter->sent(r, now);
}

Messages unsolicited(std::vector<Record> records, bool goodbye) {
  if (goodbye) {
    for (auto& r : records) r.ttl = 0;
  }
  return encode_all(split(response_head(0), std::move(records), {}));
}

}  // namespace

std::vector<Reply> replies_to_datagram(const ServiceRecord& service,
                                       std::span<const uint8_t> datagram,
                                       const Ipv4Endpoint& source, const ReplyLimits& limits) {
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
  unsigned to_group = 0;
  unsigned to_querier = 0;
  for (const auto& q : query.questions) {
    (legacy || q.unicast_response ? to_querier : to_group) |= kinds_asked(n, q);
  }
  if (to_group == 0 && to_querier == 0) return {};
  const std::vector<Record> ours = all_records(service, n);
  const std::vector<bool> known = known_to_querier(query, ours);
  MulticastLimiter* const limiter = limits.multicast;
  const auto now = limits.now;
  if (limiter != nullptr && !legacy) {
    // A unicast reply only while the link's caches are fresh; else the group hears it.
    for (size_t i = 0; i < ours.size(); ++i) {
      if ((to_querier & kind_of(i)) != 0 && !limiter->fresh_on_link(ours[i], now)) {
        to_group |= kind_of(i);
      }
    }
    to_querier &= ~to_group;
  }

  std::vector<Reply> replies;
  Selection group = select(ours, known, to_group);
  // A probe must hear our records at once, though not more than four times a second.
  const bool probe = !query.authorities.empty();
  if (limiter != nullptr && probe) {
    std::erase_if(group.answers, [&](const Record& r) {
      return !limiter->may_send(r, now, MulticastLimiter::PROBE_INTERVAL);
    });
    if (group.answers.empty()) group.additionals.clear();
  } else if (limiter != nullptr) {
    const std::vector<Record> late_answers = withhold_limited(group.answers, *limiter, now);
    std::vector<Record> late_additionals = withhold_limited(group.additionals, *limiter, now);
    const bool shared = std::any_of(group.answers.begin(), group.answers.end(),
                                    [](const Record& r) { return !r.cache_flush; });
    // Other responders may hold the same shared record: each answers after its own delay.
    const auto not_before = shared && limits.shared_delay > MulticastLimiter::Clock::duration{}
                                ? std::optional(now + limits.shared_delay)
                                : std::nullopt;
    if (!late_answers.empty() || not_before) {
      // Additionals that cannot go with an answer now go with the owed one.
      if (group.answers.empty() || not_before) {
        std::move(group.additionals.begin(), group.additionals.end(),
                  std::back_inserter(late_additionals));
        group.additionals.clear();
      }
      for (const auto& r : late_answers) limiter->owe(r, true, now);
      for (const auto& r : late_additionals) limiter->owe(r, false, now);
      if (not_before) {
        for (const auto& r : group.answers) limiter->owe(r, true, now, *not_before);
        group.answers.clear();
      }
    }
  }
  if (!group.answers.empty()) {
    note_sent(group.answers, limiter, now);
    note_sent(group.additionals, limiter, now);
    const auto messages =
        split(response_head(0), std::move(group.answers), std::move(group.additionals));
    for (auto& bytes : encode_all(messages)) {
      replies.push_back(Reply{true, Ipv4Endpoint{MDNS_GROUP, MDNS_PORT}, std::move(bytes)});
    }
  }

  // Records this querier was sent a moment ago count as known to it.
  std::vector<bool> held = known;
  if (limits.unicast != nullptr) {
    for (size_t i = 0; i < ours.size(); ++i) {
      if ((to_querier & kind_of(i)) != 0 &&
          !limits.unicast->may_send(source.address, ours[i], now)) {
        held[i] = true;
      }
    }
  }
  Selection querier = select(ours, held, to_querier);
  if (querier.answers.empty()) return replies;
  if (limits.unicast != nullptr) {
    for (const auto& r : querier.answers) limits.unicast->sent(source.address, r, now);
  }
  std::vector<dns::Message> messages;
  if (legacy) {
    make_legacy(querier.answers);
    make_legacy(querier.additionals);
    dns::Message head = response_head(query.id);
    head.questions = query.questions;
    for (auto& q : head.questions) q.unicast_response = false;
    messages.push_back(
        fit_one(std::move(head), std::move(querier.answers), std::move(querier.additionals)));
  } else {
    messages =
        split(response_head(query.id), std::move(querier.answers), std::move(querier.additionals));
  }
  for (auto& bytes : encode_all(messages)) {
    replies.push_back(Reply{false, source, std::move(bytes)});
  }
  return replies;
}

Messages announcement_messages(const ServiceRecord& service, MulticastLimiter* limiter,
                               MulticastLimiter::Clock::time_point now) {
  std::vector<Record> records = published_records(service, names_of(service));
  note_sent(records, limiter, now);
  return unsolicited(std::move(records), false);
}

Messages owed_messages(const ServiceRecord& service, MulticastLimiter& limiter,
                       MulticastLimiter::Clock::time_point now) {
  const auto due = limiter.owed_due();
  if (!due || now < *due) return {};
  const auto owed = limiter.take_owed();
  // Rebuilt from the service as it is now: a record it no longer holds is not owed any more.
  Selection s;
  for (auto& r : all_records(service, names_of(service))) {
    const auto found = owed.find(dns::record_identity(r));
    if (found == owed.end() || !limiter.may_send(r, now)) continue;
    (found->second ? s.answers : s.additionals).push_back(std::move(r));
  }
  if (s.answers.empty()) return {};
  note_sent(s.answers, &limiter, now);
  note_sent(s.additionals, &limiter, now);
  return encode_all(split(response_head(0), std::move(s.answers), std::move(s.additionals)));
}

Messages goodbye_messages(const ServiceRecord& service) {
  return unsolicited(published_records(service, names_of(service)), true);
}

std::vector<Record> unique_records(const ServiceRecord& service) {
  std::vector<Record> records = published_records(service, names_of(service));
  records.erase(records.begin(), records.begin() + SRV_POSITION);
  return records;
}

Messages address_goodbye_messages(const ServiceRecord& service, std::span<const Ipv4Address> gone) {
  if (gone.empty()) return {};
  ServiceRecord withdrawn = service;
  withdrawn.addresses.assign(gone.begin(), gone.end());
  std::vector<Record> records = all_records(withdrawn, names_of(withdrawn));
  records.erase(records.begin(), records.begin() + SINGLE_KINDS);
  return unsolicited(std::move(records), true);
}

}  // namespace brindle
