#pragma once

namespace vandrel::crash {

// What the kit registry does when the program loads: observes
// "BCNAppReadyToConfigureSDKNotification" on the process's notification
// center, so the app-configuration core can start the kits, and plugs the
// settings download and onboarding into the registry. Static
// initialisers of a static library are dropped by the linker, so the
// program's main() calls this before anything posts. Idempotent and
// thread-safe; the observer runs at most once.
void loadKitRegistry();

}  // namespace vandrel::crash
