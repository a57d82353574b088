#include "analytics/transport/evt_load.h"

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_flat_file_storage.h"
#include "analytics/transport/evt_hub_uploader.h"
#include "analytics/transport/evt_upload_coordinator.h"

namespace vandrel::analytics {
namespace {

// The uploader of targets 1000 to 1002 registers itself with the registrar.
void loadUploaders() { EVTHUBUploader::load(); }

}  // namespace

void loadEventTransport() {
  static const bool loaded = [] {
    loadUploaders();
    EVTCORFlatFileStorage::load();
    // Creating the coordinator starts its timer.
    EVTCORUploadCoordinator::sharedInstance();
    EVTCORLifecycle::load();
    EVTCORApplication::load();
    return true;
  }();
  (void)loaded;
}

}  // namespace vandrel::analytics
