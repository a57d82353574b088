#pragma once

#include <string>
#include <vector>

#include "platform/process.h"

namespace vandrel::platform {

// The posix_spawn runner behind ProcessRunner::system(). Stateless, so one
// instance serves every thread.
class LinuxProcessRunner final : public ProcessRunner {
 public:
  Result<ProcessOutput> run(const std::vector<std::string>& argv,
                            const ProcessOptions& options = {}) override;
};

}  // namespace vandrel::platform
