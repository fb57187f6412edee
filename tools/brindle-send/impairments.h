// Network faults the simulated phone can inject: drops, duplicates and swapped pairs.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "datagram.h"

namespace brindle::send {

struct ImpairmentCounts {
  uint64_t dropped = 0;
  uint64_t duplicated = 0;
  uint64_t reordered = 0;  // datagrams sent after their successor
};

// Datagrams are numbered from 1 in the order they are made. A rule with period N applies to
// numbers N, 2N, ...; 0 switches it off. A dropped datagram is never sent. A datagram picked
// for reordering is held and sent right after the next datagram that is sent. A duplicated
// datagram goes out twice, back to back.
class Impairments {
 public:
  Impairments(uint64_t drop_every, uint64_t duplicate_every, uint64_t reorder_every)
      : drop_every_(drop_every), duplicate_every_(duplicate_every), reorder_every_(reorder_every) {}

  // Appends to `out` what is to be sent now, in order.
  void submit(uint64_t number, Datagram datagram, std::vector<Datagram>& out);
  // At the end of the stream: a held datagram has no successor, so it goes out now.
  void flush(std::vector<Datagram>& out);

  const ImpairmentCounts& counts() const { return counts_; }

 private:
  struct Held {
    uint64_t number;
    Datagram datagram;
  };
  static bool hits(uint64_t number, uint64_t every) { return every != 0 && number % every == 0; }
  void emit(uint64_t number, Datagram datagram, std::vector<Datagram>& out);

  uint64_t drop_every_;
  uint64_t duplicate_every_;
  uint64_t reorder_every_;
  std::optional<Held> held_;
  ImpairmentCounts counts_;
};

}  // namespace brindle::send
