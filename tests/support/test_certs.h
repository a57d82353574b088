#pragma once

// Certificates made at test time (the demo world's certificate maker): the
// stand-ins' default CA is the one made once per process, and the one tests
// pack into the pinned certificate bundle.

#include <string>

#include "tools/demo-world/certificates.h"

namespace vandrel::test_support {

using TestIdentity = demo::ServerIdentity;
using TestCertificateAuthority = demo::CertificateAuthority;

// Writes `text` to `path` (replacing it); false on failure.
bool writeTextFile(const std::string& path, const std::string& text);

}  // namespace vandrel::test_support
