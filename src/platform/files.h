// Whole-file reads and writes with the modes and syncing the local stores need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "common/result.h"
#include "common/text.h"

namespace dovan::files {

// Reads a whole regular file. Anything else (a directory, a FIFO, a device) is refused so a
// stray special file in the data directory cannot hang or flood start-up.
Result<Bytes> read_file(const std::filesystem::path& path);

// Replaces the file's whole content. `mode` applies to a new file and is enforced on an
// existing regular one; `durable` syncs the data before returning.
Status write_file(const std::filesystem::path& path, ByteView data, mode_t mode, bool durable);

// Creates the directory (0700, the owner's alone) with any missing parents.
Status ensure_dir(const std::filesystem::path& dir);

// Syncs a directory so a rename inside it survives a crash.
void sync_dir(const std::filesystem::path& dir);

// True when something (of any kind) sits at the path.
bool exists(const std::filesystem::path& path);

}  // namespace dovan::files

namespace dovan::files {

// Bytes an unprivileged writer may still use on the volume holding `path`; nothing when
// the volume cannot be asked.
std::optional<std::uint64_t> free_space(const std::filesystem::path& path);
// Renames without ever replacing: fails with EEXIST when `to` is taken.
Status rename_noreplace(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace dovan::files
