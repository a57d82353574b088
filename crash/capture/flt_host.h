#pragma once

// Host facts. What the crash path needs of the host (page size, the
// directory whose volume is measured) is gathered once at set-up, on the
// context's set-up queue, and kept in the read-only context; the `host` line
// of "metadata.fltrecord" is written at set-up too. Only
// `FLTHostRecordStorage` runs at crash time.

#include <cstddef>
#include <cstdint>

#include "crash/kit/trl_system_facts.h"

namespace vandrel::crash {

struct FLTAllocator;
struct FLTFile;
struct FLTReadOnlyContext;
struct FLTWritableContext;

// Registers the two host hooks with the crash context (before
// `FLTContextInitialize`).
void FLTHostRegisterSetUp() noexcept;

// The set-up hook: page size and the measured directory, duplicated into
// the read-only region: the user's documents folder (XDG_DOCUMENTS_DIR of
// the environment or of user-dirs.dirs, else "$HOME/Documents") when it
// exists, else the home folder; none without a home directory.
void FLTHostInitialize(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                       FLTAllocator* allocator);

// The `host` line: model, machine, cpu, os_build_version,
// os_display_version, platform, locale. Machine and cpu read "(failed)"
// when unknown. Not for crash time.
bool FLTHostWriteInfo(FLTFile* file);
bool FLTHostWriteInfo(FLTFile* file, const SystemFactsSource& source);

// The page size; 4096 (with a warning) when the system will not say.
std::size_t FLTHostGetPageSize() noexcept;

// Minor version 6-9: 1000 + 10 × minor; 10-16: 100000 + 100 × minor; any
// other: 0. The major number plays no part.
std::int64_t FLTHostGetOSVersionCode(const TRLOperatingSystemVersionValue& version) noexcept;
std::int64_t FLTHostGetOSVersionCode(const SystemFactsSource& source = SystemFactsSource::live());

// Crash time: the `storage` section, free and total bytes of the volume of
// `directory` (by default the measured directory of the read-only context);
// an empty section when the volume cannot be measured. Async-signal-safe.
void FLTHostRecordStorage(FLTFile* file) noexcept;
void FLTHostRecordStorage(FLTFile* file, const char* directory) noexcept;

}  // namespace vandrel::crash
