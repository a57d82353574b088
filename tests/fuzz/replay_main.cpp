// Replays a fuzz target's corpus without libFuzzer: every file named on the
// command line, and every regular file of every directory named there (in
// name order), goes to LLVMFuzzerTestOneInput once, in a buffer of exactly
// its size, as the fuzzer would pass it. A target that finds a fault aborts;
// an empty or missing corpus is an error too, so a mistyped path cannot pass.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<std::filesystem::path> corpusFiles(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
      if (entry.is_regular_file(error)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
  } else if (std::filesystem::is_regular_file(path, error)) {
    files.push_back(path);
  }
  return files;
}

bool readFile(const std::filesystem::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const auto found = corpusFiles(argv[i]);
    if (found.empty()) {
      std::fprintf(stderr, "replay: no corpus files at %s\n", argv[i]);
      return 1;
    }
    files.insert(files.end(), found.begin(), found.end());
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

  for (const auto& file : files) {
    std::string bytes;
    if (!readFile(file, bytes)) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 1;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.filename().c_str(), bytes.size());
    // A buffer of exactly the input's size: a read past its end is a
    // finding under AddressSanitizer, as it is while fuzzing.
    auto buffer = std::make_unique<std::uint8_t[]>(bytes.size());
    std::memcpy(buffer.get(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(buffer.get(), bytes.size());
  }
  std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
  return 0;
}
