#pragma once

// What the configuration core's utilities need to know about the configured
// apps. The app configuration installs the provider when it comes up; until
// then (and in a process that configures no app) the answers are those of a
// process without apps.

#include <cstddef>
#include <functional>
#include <string>

namespace vandrel::analytics {

struct BCNAppFacts {
  std::size_t allAppsCount = 0;
  bool isDefaultAppConfigured = false;
  // The default app's isDataCollectionDefaultEnabled; false without one.
  bool defaultAppDataCollectionDefaultEnabled = false;
  std::string beaconUserAgent;
};

using BCNAppFactsProvider = std::function<BCNAppFacts()>;

// Any thread. An empty provider restores the no-app answers.
void BCNSetAppFactsProvider(BCNAppFactsProvider provider);
BCNAppFacts BCNCurrentAppFacts();

}  // namespace vandrel::analytics
