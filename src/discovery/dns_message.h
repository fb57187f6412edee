// DNS messages as multicast DNS uses them: a compact codec with name compression on the way
// out and bounds, pointer-loop and size checks on the way in.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "discovery/ipv4.h"
#include "platform/result.h"

namespace brindle::dns {

inline constexpr uint16_t TYPE_A = 1;
inline constexpr uint16_t TYPE_PTR = 12;
inline constexpr uint16_t TYPE_TXT = 16;
inline constexpr uint16_t TYPE_AAAA = 28;
inline constexpr uint16_t TYPE_SRV = 33;
inline constexpr uint16_t TYPE_NSEC = 47;
inline constexpr uint16_t TYPE_ANY = 255;
inline constexpr uint16_t CLASS_IN = 1;
inline constexpr uint16_t CLASS_ANY = 255;

inline constexpr uint16_t FLAG_RESPONSE = 0x8000;
inline constexpr uint16_t FLAG_AUTHORITATIVE = 0x0400;
inline constexpr uint16_t FLAG_TRUNCATED = 0x0200;
inline constexpr uint16_t OPCODE_MASK = 0x7800;
inline constexpr uint16_t RCODE_MASK = 0x000F;

inline constexpr size_t MAX_LABEL_BYTES = 63;
inline constexpr size_t MAX_NAME_BYTES = 255;  // on the wire, length octets included

// A domain name as its labels, without the root; labels may hold any bytes.
struct Name {
  std::vector<std::string> labels;

  bool operator==(const Name&) const = default;
};

// Splits "a.b.local." (trailing dot optional) at every dot; no escapes.
Name name_from_text(std::string_view text);
// Labels joined by ".", with a trailing dot.
std::string name_to_text(const Name& name);
// Case-insensitive for ASCII letters, as DNS compares names.
bool same_name(const Name& a, const Name& b);
// Bytes the name takes uncompressed on the wire.
size_t wire_length(const Name& name);

struct Question {
  Name name;
  uint16_t type = 0;
  uint16_t klass = CLASS_IN;      // without the unicast-response bit
  bool unicast_response = false;  // the top bit of the class ("QU")

  bool operator==(const Question&) const = default;
};

struct SrvData {
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  Name target;

  bool operator==(const SrvData&) const = default;
};

// A, PTR and SRV data decoded; every other type (TXT included) kept as its raw bytes.
using RecordData = std::variant<std::vector<uint8_t>, Ipv4Address, Name, SrvData>;

struct Record {
  Name name;
  uint16_t type = 0;
  uint16_t klass = CLASS_IN;  // without the cache-flush bit
  bool cache_flush = false;   // the top bit of the class
  uint32_t ttl = 0;
  RecordData data;

  bool operator==(const Record&) const = default;
};

// Same owner, type, class and data (names compared without case); TTL and flush bit ignored.
bool same_record(const Record& a, const Record& b);

// Equal for two records exactly when same_record holds: a key for hashing records.
std::string record_identity(const Record& record);

struct Message {
  uint16_t id = 0;
  uint16_t flags = 0;
  std::vector<Question> questions;
  std::vector<Record> answers;
  std::vector<Record> authorities;
  std::vector<Record> additionals;

  bool operator==(const Message&) const = default;
};

// Largest message the decoder accepts and the encoder produces (RFC 6762 section 17).
inline constexpr size_t MAX_MESSAGE_BYTES = 9000;

// Any malformed input (truncation, bad label, forward or looping pointer, overlong name,
// record data that disagrees with its length) is an error; bytes after the last record are
// ignored.
Result<Message> decode_message(std::span<const uint8_t> bytes);

// Compresses owner names and the names inside PTR and SRV data. Fails only for names that
// break the label or name limits, or when the message would outgrow MAX_MESSAGE_BYTES.
Result<std::vector<uint8_t>> encode_message(const Message& message);

}  // namespace brindle::dns
