#include "discovery/name_claim.h"

#include <algorithm>

namespace brindle {
namespace {

using namespace std::chrono_literals;

constexpr int PROBES = 3;
constexpr auto PROBE_INTERVAL = 250ms;
constexpr auto TIE_LOST_WAIT = 1s;
constexpr size_t CONFLICT_LIMIT = 15;
constexpr auto CONFLICT_WINDOW = 10s;
constexpr auto CONFLICT_PAUSE = 5s;

void append_u16(std::string& out, uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xFF);
}

void append_labels(std::string& out, const std::vector<std::string>& labels) {
  for (const auto& label : labels) {
    out += static_cast<char>(label.size());
    out += label;
  }
  out += '\0';
}

// Class, type and data as uncompressed wire bytes: what the tie-break compares (RFC 6762
// section 8.2), byte by byte as unsigned values.
std::string tie_break_key(const dns::Record& r) {
  std::string out;
  append_u16(out, r.klass);
  append_u16(out, r.type);
  if (const auto* name = std::get_if<dns::Name>(&r.data)) {
    append_labels(out, name->labels);
  } else if (const auto* srv = std::get_if<dns::SrvData>(&r.data)) {
    for (const uint16_t v : {srv->priority, srv->weight, srv->port}) append_u16(out, v);
    append_labels(out, srv->target.labels);
  } else if (const auto* a = std::get_if<Ipv4Address>(&r.data)) {
    out.append(a->begin(), a->end());
  } else {
    const auto& raw = std::get<std::vector<uint8_t>>(r.data);
    out.append(raw.begin(), raw.end());
  }
  return out;
}

std::vector<std::string> sorted_keys(const std::vector<dns::Record>& records,
                                     const dns::Name& name) {
  std::vector<std::string> keys;
  for (const auto& r : records) {
    if (dns::same_name(r.name, name)) keys.push_back(tie_break_key(r));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<dns::Name> names_of(const std::vector<dns::Record>& records) {
  std::vector<dns::Name> names;
  for (const auto& r : records) {
    const bool seen = std::any_of(names.begin(), names.end(),
                                  [&](const dns::Name& n) { return dns::same_name(n, r.name); });
    if (!seen) names.push_back(r.name);
  }
  return names;
}

bool claims_against(const dns::Record& theirs, const std::vector<dns::Record>& ours, bool probing) {
  // A goodbye gives a name up; it claims nothing.
  if (theirs.ttl == 0) return false;
  bool same_owner = false;
  bool same_type = false;
  for (const auto& r : ours) {
    if (!dns::same_name(r.name, theirs.name)) continue;
    if (dns::same_record(r, theirs)) return false;
    same_owner = true;
    same_type = same_type || r.type == theirs.type;
  }
  return probing ? same_owner : same_type;
}

}  // namespace

std::string numbered_label(const std::string& label, unsigned number) {
  if (number <= 1) return label;
  std::string suffix(1, '-');
  suffix += std::to_string(number);
  const size_t room = dns::MAX_LABEL_BYTES - suffix.size();
  return label.substr(0, std::min(label.size(), room)) + suffix;
}

NameClaim::NameClaim(std::string label) : label_(std::move(label)) {}

void NameClaim::start(Clock::time_point at) {
  probes_sent_ = 0;
  owned_ = false;
  next_ = at;
}

NameClaim::Step NameClaim::step(Clock::time_point now) {
  if (!next_ || now < *next_) return Step::WAIT;
  if (probes_sent_ < PROBES) {
    ++probes_sent_;
    next_ = now + PROBE_INTERVAL;
    return Step::PROBE;
  }
  owned_ = true;
  next_.reset();
  return Step::WON;
}

void NameClaim::conflict(Clock::time_point now) {
  conflicts_.push_back(now);
  if (conflicts_.size() > CONFLICT_LIMIT) conflicts_.pop_front();
  ++number_;
  const bool flooded =
      conflicts_.size() == CONFLICT_LIMIT && now - conflicts_.front() <= CONFLICT_WINDOW;
  start(flooded ? now + CONFLICT_PAUSE : now);
}

void NameClaim::lost_tie(Clock::time_point now) {
  start(now + TIE_LOST_WAIT);
}

ClaimVerdict judge_message(const dns::Message& message, const std::vector<dns::Record>& ours,
                           bool probing) {
  if ((message.flags & dns::FLAG_RESPONSE) != 0) {
    for (const auto* section : {&message.answers, &message.additionals}) {
      for (const auto& r : *section) {
        if (claims_against(r, ours, probing)) return ClaimVerdict::CONFLICT;
      }
    }
    return ClaimVerdict::NONE;
  }
  // Once the names are ours, a probe for them is answered, not judged.
  if (!probing || message.authorities.empty()) return ClaimVerdict::NONE;
  for (const auto& name : names_of(ours)) {
    const bool asked =
        std::any_of(message.questions.begin(), message.questions.end(),
                    [&](const dns::Question& q) { return dns::same_name(q.name, name); });
    if (!asked) continue;
    const auto theirs = sorted_keys(message.authorities, name);
    // Equal sets are our own probe, or a host that wants exactly what we want.
    if (!theirs.empty() && sorted_keys(ours, name) < theirs) return ClaimVerdict::LOST_TIE;
  }
  return ClaimVerdict::NONE;
}

std::optional<std::vector<uint8_t>> probe_message(const std::vector<dns::Record>& ours) {
  dns::Message probe;
  for (const auto& name : names_of(ours)) {
    probe.questions.push_back(dns::Question{name, dns::TYPE_ANY, dns::CLASS_IN, true});
  }
  probe.authorities = ours;
  // Authority records carry no cache-flush bit (RFC 6762 section 10.2).
  for (auto& r : probe.authorities) r.cache_flush = false;
  auto bytes = dns::encode_message(probe);
  if (!bytes) return std::nullopt;
  return std::move(bytes).value();
}

}  // namespace brindle
