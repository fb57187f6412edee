#include "discovery/dns_message.h"

#include <map>
#include <optional>
#include <tuple>

namespace brindle::dns {
namespace {

constexpr uint16_t TOP_BIT = 0x8000;
constexpr uint8_t POINTER_TAG = 0xC0;
constexpr size_t MAX_POINTER_OFFSET = 0x3FFF;

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_label(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// ---- decoding ----

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return bytes_.size() - pos_; }

  std::optional<uint16_t> u16() {
    if (remaining() < 2) return std::nullopt;
    const uint16_t v = static_cast<uint16_t>((bytes_[pos_] << 8) | bytes_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  std::optional<uint32_t> u32() {
    const auto hi = u16();
    if (!hi) return std::nullopt;
    const auto lo = u16();
    if (!lo) return std::nullopt;
    return (static_cast<uint32_t>(*hi) << 16) | *lo;
  }
  bool skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }

  // A pointer must lead before the start of the run of labels it ends, so the runs start ever
  // earlier and every name ends; the total wire length is capped like an uncompressed name's.
  // What a pointer target spells is remembered, so no pointer is followed through twice in one
  // message and decoding stays linear in its size however the pointers chain.
  std::optional<Name> name() {
    Name name;
    size_t wire = 1;  // the root
    size_t cursor = pos_;
    size_t run_start = pos_;
    std::optional<size_t> resume;  // where reading goes on after the first pointer
    targets_.clear();
    for (;;) {
      if (cursor >= bytes_.size()) return std::nullopt;
      const uint8_t len = bytes_[cursor];
      if ((len & POINTER_TAG) == POINTER_TAG) {
        if (cursor + 1 >= bytes_.size()) return std::nullopt;
        const size_t target = (static_cast<size_t>(len & 0x3F) << 8) | bytes_[cursor + 1];
        if (target >= run_start) return std::nullopt;
        if (!resume) resume = cursor + 2;
        if (spelled_.empty()) spelled_.resize(bytes_.size());
        if (const Spelled known = spelled_[target]; known.name != Spelled::NONE) {
          wire += known.wire;
          if (wire > MAX_NAME_BYTES) return std::nullopt;
          const auto& from = seen_[known.name].labels;
          name.labels.insert(name.labels.end(), from.begin() + known.label, from.end());
          break;
        }
        targets_.emplace_back(target, name.labels.size(), wire);
        cursor = target;
        run_start = target;
        continue;
      }
      if ((len & POINTER_TAG) != 0) return std::nullopt;  // 0x40 and 0x80 label types
      if (len == 0) break;
      if (cursor + 1 + len > bytes_.size()) return std::nullopt;
      wire += 1 + static_cast<size_t>(len);
      if (wire > MAX_NAME_BYTES) return std::nullopt;
      name.labels.emplace_back(reinterpret_cast<const char*>(&bytes_[cursor + 1]), len);
      cursor += 1 + static_cast<size_t>(len);
    }
    if (!targets_.empty()) {
      for (const auto& [target, label, wire_before] : targets_) {
        spelled_[target] =
            Spelled{static_cast<uint32_t>(seen_.size()), static_cast<uint16_t>(label),
                    static_cast<uint16_t>(wire - wire_before)};
      }
      seen_.push_back(name);
    }
    pos_ = resume ? *resume : cursor + 1;
    return name;
  }

  std::vector<uint8_t> raw(size_t n) {
    std::vector<uint8_t> out(bytes_.begin() + static_cast<ptrdiff_t>(pos_),
                             bytes_.begin() + static_cast<ptrdiff_t>(pos_ + n));
    pos_ += n;
    return out;
  }

 private:
  // A pointer target already read: the name that read it, from which label on, and the wire
  // length of those labels (the root not counted).
  struct Spelled {
    static constexpr uint32_t NONE = UINT32_MAX;
    uint32_t name = NONE;
    uint16_t label = 0;
    uint16_t wire = 0;
  };

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  std::vector<Spelled> spelled_;  // by offset, once the first pointer is met
  std::vector<Name> seen_;        // the names that followed a pointer
  std::vector<std::tuple<size_t, size_t, size_t>> targets_;  // offset, labels and wire before
};

std::optional<Question> read_question(Reader& in) {
  Question q;
  auto name = in.name();
  if (!name) return std::nullopt;
  q.name = std::move(*name);
  const auto type = in.u16();
  const auto klass = in.u16();
  if (!type || !klass) return std::nullopt;
  q.type = *type;
  q.unicast_response = (*klass & TOP_BIT) != 0;
  q.klass = *klass & static_cast<uint16_t>(~TOP_BIT);
  return q;
}

std::optional<Record> read_record(Reader& in) {
  Record r;
  auto name = in.name();
  if (!name) return std::nullopt;
  r.name = std::move(*name);
  const auto type = in.u16();
  const auto klass = in.u16();
  const auto ttl = in.u32();
  const auto length = in.u16();
  if (!type || !klass || !ttl || !length || in.remaining() < *length) return std::nullopt;
  r.type = *type;
  r.cache_flush = (*klass & TOP_BIT) != 0;
  r.klass = *klass & static_cast<uint16_t>(~TOP_BIT);
  r.ttl = *ttl;
  const size_t end = in.position() + *length;
  switch (r.type) {
    case TYPE_A: {
      if (*length != 4) return std::nullopt;
      const auto bytes = in.raw(4);
      r.data = Ipv4Address{bytes[0], bytes[1], bytes[2], bytes[3]};
      break;
    }
    case TYPE_PTR: {
      auto target = in.name();
      if (!target) return std::nullopt;
      r.data = std::move(*target);
      break;
    }
    case TYPE_SRV: {
      SrvData srv;
      const auto priority = in.u16();
      const auto weight = in.u16();
      const auto port = in.u16();
      if (!priority || !weight || !port) return std::nullopt;
      auto target = in.name();
      if (!target) return std::nullopt;
      srv = SrvData{*priority, *weight, *port, std::move(*target)};
      r.data = std::move(srv);
      break;
    }
    default:
      r.data = in.raw(*length);
      break;
  }
  if (in.position() != end) return std::nullopt;  // data and its stated length disagree
  return r;
}

bool read_records(Reader& in, uint16_t count, std::vector<Record>& out) {
  for (uint16_t i = 0; i < count; ++i) {
    auto record = read_record(in);
    if (!record) return false;
    out.push_back(std::move(*record));
  }
  return true;
}

// ---- encoding ----

class Writer {
 public:
  void u8(uint8_t v) { bytes_.push_back(v); }
  void u16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    bytes_.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v >> 16));
    u16(static_cast<uint16_t>(v & 0xFFFF));
  }
  size_t size() const { return bytes_.size(); }
  void patch_u16(size_t at, uint16_t v) {
    bytes_[at] = static_cast<uint8_t>(v >> 8);
    bytes_[at + 1] = static_cast<uint8_t>(v & 0xFF);
  }

  // Writes the longest suffix already present as a pointer; remembers the new suffixes.
  bool name(const Name& name) {
    if (wire_length(name) > MAX_NAME_BYTES) return false;
    for (size_t i = 0; i < name.labels.size(); ++i) {
      if (name.labels[i].empty() || name.labels[i].size() > MAX_LABEL_BYTES) return false;
    }
    for (size_t i = 0; i < name.labels.size(); ++i) {
      const std::vector<std::string> suffix(name.labels.begin() + static_cast<ptrdiff_t>(i),
                                            name.labels.end());
      if (const auto found = suffixes_.find(suffix); found != suffixes_.end()) {
        u16(static_cast<uint16_t>(0xC000 | found->second));
        return true;
      }
      if (size() <= MAX_POINTER_OFFSET) suffixes_.emplace(suffix, size());
      const std::string& label = name.labels[i];
      u8(static_cast<uint8_t>(label.size()));
      bytes_.insert(bytes_.end(), label.begin(), label.end());
    }
    u8(0);
    return true;
  }

  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  std::map<std::vector<std::string>, size_t> suffixes_;
};

bool write_record(Writer& out, const Record& r) {
  if (!out.name(r.name)) return false;
  out.u16(r.type);
  out.u16(static_cast<uint16_t>(r.klass | (r.cache_flush ? TOP_BIT : 0)));
  out.u32(r.ttl);
  const size_t length_at = out.size();
  out.u16(0);
  const size_t start = out.size();
  bool ok = true;
  std::visit(
      [&](const auto& data) {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          for (const uint8_t b : data) out.u8(b);
        } else if constexpr (std::is_same_v<T, Ipv4Address>) {
          for (const uint8_t b : data) out.u8(b);
        } else if constexpr (std::is_same_v<T, Name>) {
          ok = out.name(data);
        } else {
          out.u16(data.priority);
          out.u16(data.weight);
          out.u16(data.port);
          ok = out.name(data.target);
        }
      },
      r.data);
  const size_t length = out.size() - start;
  if (!ok || length > 0xFFFF) return false;
  out.patch_u16(length_at, static_cast<uint16_t>(length));
  return true;
}

}  // namespace

Name name_from_text(std::string_view text) {
  Name name;
  while (!text.empty()) {
    const size_t dot = text.find('.');
    name.labels.emplace_back(text.substr(0, dot));
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return name;
}

std::string name_to_text(const Name& name) {
  std::string text;
  for (const auto& label : name.labels) {
    text += label;
    text += '.';
  }
  return text.empty() ? "." : text;
}

bool same_name(const Name& a, const Name& b) {
  if (a.labels.size() != b.labels.size()) return false;
  for (size_t i = 0; i < a.labels.size(); ++i) {
    if (!same_label(a.labels[i], b.labels[i])) return false;
  }
  return true;
}

size_t wire_length(const Name& name) {
  size_t n = 1;
  for (const auto& label : name.labels) n += 1 + label.size();
  return n;
}

namespace {

// Length-prefixed lower-case labels, so that neither a dot inside a label nor letter case can
// make two different names look alike.
void append_name(std::string& out, const Name& name) {
  for (const auto& label : name.labels) {
    out += static_cast<char>(label.size());
    for (const char c : label) out += ascii_lower(c);
  }
  out += '\0';
}

}  // namespace

std::string record_identity(const Record& record) {
  std::string out;
  append_name(out, record.name);
  out += static_cast<char>(record.type >> 8);
  out += static_cast<char>(record.type & 0xFF);
  out += static_cast<char>(record.klass >> 8);
  out += static_cast<char>(record.klass & 0xFF);
  out += static_cast<char>(record.data.index());
  if (const auto* name = std::get_if<Name>(&record.data)) {
    append_name(out, *name);
  } else if (const auto* srv = std::get_if<SrvData>(&record.data)) {
    for (const uint16_t v : {srv->priority, srv->weight, srv->port}) {
      out += static_cast<char>(v >> 8);
      out += static_cast<char>(v & 0xFF);
    }
    append_name(out, srv->target);
  } else if (const auto* a = std::get_if<Ipv4Address>(&record.data)) {
    out.append(a->begin(), a->end());
  } else {
    const auto& raw = std::get<std::vector<uint8_t>>(record.data);
    out.append(raw.begin(), raw.end());
  }
  return out;
}

bool same_record(const Record& a, const Record& b) {
  return record_identity(a) == record_identity(b);
}

Result<Message> decode_message(std::span<const uint8_t> bytes) {
  if (bytes.size() > MAX_MESSAGE_BYTES) return make_error("message too long");
  Reader in(bytes);
  Message m;
  const auto id = in.u16();
  const auto flags = in.u16();
  const auto qd = in.u16();
  const auto an = in.u16();
  const auto ns = in.u16();
  const auto ar = in.u16();
  if (!ar) return make_error("truncated header");
  m.id = *id;
  m.flags = *flags;
  for (uint16_t i = 0; i < *qd; ++i) {
    auto q = read_question(in);
    if (!q) return make_error("malformed question");
    m.questions.push_back(std::move(*q));
  }
  if (!read_records(in, *an, m.answers) || !read_records(in, *ns, m.authorities) ||
      !read_records(in, *ar, m.additionals)) {
    return make_error("malformed record");
  }
  return m;
}

Result<std::vector<uint8_t>> encode_message(const Message& m) {
  if (m.questions.size() > 0xFFFF || m.answers.size() > 0xFFFF || m.authorities.size() > 0xFFFF ||
      m.additionals.size() > 0xFFFF) {
    return make_error("too many entries");
  }
  Writer out;
  out.u16(m.id);
  out.u16(m.flags);
  out.u16(static_cast<uint16_t>(m.questions.size()));
  out.u16(static_cast<uint16_t>(m.answers.size()));
  out.u16(static_cast<uint16_t>(m.authorities.size()));
  out.u16(static_cast<uint16_t>(m.additionals.size()));
  for (const auto& q : m.questions) {
    if (!out.name(q.name)) return make_error("invalid name");
    out.u16(q.type);
    out.u16(static_cast<uint16_t>(q.klass | (q.unicast_response ? TOP_BIT : 0)));
  }
  for (const auto* section : {&m.answers, &m.authorities, &m.additionals}) {
    for (const auto& r : *section) {
      if (!write_record(out, r)) return make_error("invalid record");
    }
  }
  if (out.size() > MAX_MESSAGE_BYTES) return make_error("message too long");
  return out.take();
}

}  // namespace brindle::dns
