// Crash record files, read back at the next launch after a crash wrote them
// (perhaps cut short, perhaps with anything on disk in their place). The
// input is a record file: every line that is JSON comes back in order, every
// other line is reported, and nothing is lost around a bad line. The input
// also goes through the writer, as text from outside the kit: whatever the
// bytes, the written line reads back and decodes to them.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "platform/value.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace crash = vandrel::crash;
using vandrel::platform::Value;

void checkReader(std::string_view bytes) {
  const auto path = vandrel::fuzz::scratchHome() / "tmp" / "read.fltrecord";
  vandrel::fuzz::writeFile(path, bytes);
  auto read = crash::FLTFileReadSections(path.c_str(), /*deleteOnFailure=*/false);
  VANDREL_FUZZ_CHECK(read.ok(), read.ok() ? "" : read.error().message);

  // The oracle: each non-empty line on its own.
  std::size_t good = 0;
  std::size_t bad = 0;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    if (line.empty()) continue;
    auto parsed = Value::fromJson(line);
    if (!parsed.ok()) {
      ++bad;
      continue;
    }
    VANDREL_FUZZ_CHECK(good < read.value().sections.size(), "a line that parses went missing");
    VANDREL_FUZZ_CHECK(read.value().sections[good].toJson() == parsed.value().toJson(),
                       "section " + std::to_string(good) + " differs from its line");
    ++good;
  }
  VANDREL_FUZZ_CHECK(read.value().sections.size() == good, "more sections than good lines");
  VANDREL_FUZZ_CHECK(read.value().lineErrors.size() == bad, "errors do not match bad lines");
  VANDREL_FUZZ_CHECK(read.value().complete() == (bad == 0), "complete()");
}

// The text a hex entry holds, decoded.
std::string decodedEntry(const Value& section, const char* key) {
  const Value* hash = section.find("fuzz");
  VANDREL_FUZZ_CHECK(hash != nullptr, section.toJson());
  const Value* entry = hash->find(key);
  VANDREL_FUZZ_CHECK(entry != nullptr && entry->asString() != nullptr, section.toJson());
  return crash::FLTFileHexDecodeString(*entry->asString());
}

void checkWriter(std::string_view bytes, bool buffered) {
  const auto path = vandrel::fuzz::scratchHome() / "tmp" / "written.fltrecord";
  std::uint64_t number = 0;
  std::memcpy(&number, bytes.data(), std::min(bytes.size(), sizeof number));
  const std::string text(bytes);  // NUL-terminated for the string forms

  crash::FLTFile file;
  VANDREL_FUZZ_CHECK(crash::FLTFileInitWithPathMode(&file, path.c_str(), false, buffered),
                     path.string());
  crash::FLTFileWriteSectionStart(&file, "fuzz");
  crash::FLTFileWriteHashStart(&file);
  crash::FLTFileWriteHashEntryHexEncodedBytes(&file, "bytes", bytes.data(), bytes.size());
  crash::FLTFileWriteHashEntryHexEncodedString(&file, "string", text.c_str());
  crash::FLTFileWriteHashEntryUint64(&file, "unsigned", number);
  crash::FLTFileWriteHashEntryInt64(&file, "signed", static_cast<std::int64_t>(number));
  crash::FLTFileWriteHashKey(&file, "list");
  crash::FLTFileWriteArrayStart(&file);
  crash::FLTFileWriteArrayEntryHexEncodedString(&file, text.c_str());
  crash::FLTFileWriteArrayEntryUint64(&file, number);
  crash::FLTFileWriteArrayEnd(&file);
  crash::FLTFileWriteHashEnd(&file);
  crash::FLTFileWriteSectionEnd(&file);
  VANDREL_FUZZ_CHECK(crash::FLTFileCloseWithOffset(&file, nullptr), "close");

  auto read = crash::FLTFileReadSections(path.c_str(), false);
  VANDREL_FUZZ_CHECK(read.ok() && read.value().complete() && read.value().sections.size() == 1,
                     "the written record does not read back whole");
  const Value& section = read.value().sections[0];
  // Hex text decodes as a C string: it ends at the first NUL.
  const std::string upToNul(text.c_str());
  VANDREL_FUZZ_CHECK(decodedEntry(section, "bytes") == upToNul, section.toJson());
  VANDREL_FUZZ_CHECK(decodedEntry(section, "string") == upToNul, section.toJson());
  const Value* hash = section.find("fuzz");
  VANDREL_FUZZ_CHECK(hash->find("signed") && hash->find("signed")->asInt() ==
                                                  static_cast<std::int64_t>(number),
                     section.toJson());
  const Value* list = hash->find("list");
  VANDREL_FUZZ_CHECK(list && list->asArray() && list->asArray()->size() == 2, section.toJson());

  char digits[crash::kFLTNumberBufferSize];
  for (const unsigned base : {10u, 16u}) {
    const std::size_t count = crash::FLTFileFormatUint64(number, base, digits);
    VANDREL_FUZZ_CHECK(count == std::strlen(digits) && count > 0, digits);
    VANDREL_FUZZ_CHECK(std::stoull(digits, nullptr, static_cast<int>(base)) == number, digits);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = vandrel::fuzz::asText(data, size);
  checkReader(bytes);
  checkWriter(bytes, /*buffered=*/size % 2 == 0);
  (void)crash::FLTFileHexDecodeString(bytes);
  return 0;
}
