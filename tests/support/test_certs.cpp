#include "tests/support/test_certs.h"

#include <fstream>

namespace vandrel::test_support {

bool writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace vandrel::test_support
