#include "discovery/service_record.h"

#include <algorithm>

#include <fmt/format.h>

#include "discovery/dns_message.h"

namespace brindle {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool ends_with_dot(std::string_view text) {
  return !text.empty() && text.back() == '.';
}

// "_name._udp.local." or "_name._tcp.local." with a non-empty name.
bool valid_service_type(std::string_view type) {
  const auto labels = dns::name_from_text(type).labels;
  if (!ends_with_dot(type) || labels.size() != 3) return false;
  const auto& service = labels[0];
  const bool named = service.size() >= 2 && service.front() == '_';
  const bool protocol = labels[1] == "_udp" || labels[1] == "_tcp";
  return named && protocol && labels[2] == "local";
}

bool has_empty_label(std::string_view name) {
  const auto labels = dns::name_from_text(name).labels;
  return std::any_of(labels.begin(), labels.end(), [](const auto& l) { return l.empty(); });
}

}  // namespace

std::string ServiceRecord::full_name() const {
  return instance_name + "." + service_type;
}

Result<ServiceRecord> make_service_record(std::string_view service_type,
                                          std::string_view instance_name,
                                          std::string_view host_name, std::string_view addresses,
                                          uint16_t port) {
  if (!valid_service_type(service_type)) {
    return make_error(fmt::format("invalid service type \"{}\"", service_type));
  }
  if (instance_name.empty()) return make_error("instance name must not be empty");
  // Names are handled as dot-separated labels here, so a dot would split the instance.
  if (instance_name.find('.') != std::string_view::npos) {
    return make_error("instance name must not contain \".\"");
  }
  if (!ends_with_dot(host_name) || !host_name.ends_with(".local.") || has_empty_label(host_name)) {
    return make_error(fmt::format("host name \"{}\" must end in \".local.\"", host_name));
  }
  ServiceRecord record;
  record.service_type = std::string(service_type);
  record.instance_name = std::string(instance_name);
  record.host_name = std::string(host_name);
  record.port = port;
  while (true) {
    const size_t comma = addresses.find(',');
    const std::string_view piece = trim(addresses.substr(0, comma));
    const auto address = parse_ipv4(piece);
    if (!address) return make_error(fmt::format("invalid IPv4 address \"{}\"", piece));
    if (std::find(record.addresses.begin(), record.addresses.end(), *address) ==
        record.addresses.end()) {
      record.addresses.push_back(*address);
    }
    if (comma == std::string_view::npos) break;
    addresses.remove_prefix(comma + 1);
  }
  return record;
}

Status check_registrable(const ServiceRecord& record) {
  if (dns::wire_length(dns::name_from_text(record.host_name)) > dns::MAX_NAME_BYTES) {
    return make_error(fmt::format("Hostname length must be <= {} bytes", dns::MAX_NAME_BYTES));
  }
  for (const auto& label : dns::name_from_text(record.host_name).labels) {
    if (label.size() > dns::MAX_LABEL_BYTES) {
      return make_error(
          fmt::format("Hostname label length must be <= {} bytes", dns::MAX_LABEL_BYTES));
    }
  }
  if (record.instance_name.size() > dns::MAX_LABEL_BYTES) {
    return make_error(
        fmt::format("Instance name length must be <= {} bytes", dns::MAX_LABEL_BYTES));
  }
  if (dns::wire_length(dns::name_from_text(record.full_name())) > dns::MAX_NAME_BYTES) {
    return make_error(fmt::format("Service name length must be <= {} bytes", dns::MAX_NAME_BYTES));
  }
  return {};
}

}  // namespace brindle
