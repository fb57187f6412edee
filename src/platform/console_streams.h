// The platform half of the console writer: the standard streams themselves.
#pragma once

#include <memory>
#include <string_view>

#include "platform/console_queue.h"

namespace brindle::console {

// Writes synchronously; may block as long as the console does. One thread at a time.
class Streams {
 public:
  virtual ~Streams() = default;
  virtual void write(Stream stream, std::string_view text) = 0;
};

std::unique_ptr<Streams> make_streams();

// Before the writer thread takes over: a vanished reader must not end the process.
void ignore_broken_pipes();

}  // namespace brindle::console
