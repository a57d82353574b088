#pragma once

namespace vandrel::app {

// Binds the process's main queue to the running Qt event loop: every post
// wakes the loop, which drains the queue on the GUI thread. Jobs posted
// before this call are delivered once the loop runs. Call it once, on the
// GUI thread, after the QApplication exists.
void bindMainQueueToQt();

}  // namespace vandrel::app
