#pragma once

namespace vandrel::analytics {

// Brings up the event transport: the load steps of the uploader, the
// flat-file storage (registered for targets 999 to 1002; the upload
// coordinator starts its timer), the lifecycle forwarder and the
// application, in that order. Idempotent and thread-safe; main() calls it
// first thing.
void loadEventTransport();

}  // namespace vandrel::analytics
