// The order in which a render session comes up: it opts out of being turned down for calls,
// then starts. Portable, so a fake session can record the steps.
#pragma once

#include "platform/result.h"

namespace brindle {

class RenderSessionSteps {
 public:
  // Best effort: a session that cannot opt out still plays.
  virtual void opt_out_of_ducking() = 0;
  virtual Status start() = 0;

 protected:
  ~RenderSessionSteps() = default;
};

// Every start of a stream, first and after a pause alike, asks again: the preference belongs to
// the session, which a stream may share with others of the process.
inline Status start_render_session(RenderSessionSteps& steps) {
  steps.opt_out_of_ducking();
  return steps.start();
}

}  // namespace brindle
