#include "impairments.h"

#include <utility>

namespace brindle::send {

void Impairments::emit(uint64_t number, Datagram datagram, std::vector<Datagram>& out) {
  if (hits(number, duplicate_every_)) {
    out.push_back(datagram);
    ++counts_.duplicated;
  }
  out.push_back(std::move(datagram));
}

void Impairments::submit(uint64_t number, Datagram datagram, std::vector<Datagram>& out) {
  if (hits(number, drop_every_)) {
    ++counts_.dropped;
    return;
  }
  if (held_) {
    // The successor goes first; it cannot be held itself, so pairs never chain.
    emit(number, std::move(datagram), out);
    ++counts_.reordered;
    Held held = std::move(*held_);
    held_.reset();
    emit(held.number, std::move(held.datagram), out);
    return;
  }
  if (hits(number, reorder_every_)) {
    held_ = Held{number, std::move(datagram)};
    return;
  }
  emit(number, std::move(datagram), out);
}

void Impairments::flush(std::vector<Datagram>& out) {
  if (!held_) return;
  Held held = std::move(*held_);
  held_.reset();
  emit(held.number, std::move(held.datagram), out);
}

}  // namespace brindle::send
