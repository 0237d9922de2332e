// Posting engine events on the shared ring buffer.
#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void post_event(nb::handle event) { G[Name("event_queue")].attr("append")(event); }

}  // namespace norvane::pulsebridge
