// Whole-file reads and writes with the modes and syncing the local stores need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "common/result.h"
#include "common/text.h"

namespace dovan::files {

// Reads a whole regular file of at most `max_bytes`. Anything else (a directory, a FIFO, a
// device) is refused so a stray special file in the data directory cannot hang or flood
// start-up; a larger file (even a sparse one that costs no disk) fails with EFBIG before
// anything is allocated, and so does one that grows past the limit while it is read.
// Without `follow_links` a symbolic link is refused too (ELOOP). The error's code is the
// errno.
Result<Bytes> read_file(const std::filesystem::path& path, std::uint64_t max_bytes, bool follow_links = true);

// Replaces the file's whole content atomically: a temporary file beside it is written
// with `mode`, then renamed over it, so a crash leaves the old content or the new, never a
// mix. A link or special file at the path is refused, never written through or replaced.
// `durable` syncs the data before the rename and the folder after it.
Status write_file(const std::filesystem::path& path, ByteView data, mode_t mode, bool durable);

// Lets tests make a step fail as the system would (a revoked permission, an I/O error, a
// crash before the rename): return an errno to fail the step, 0 to let it run.
enum class IoStep : std::uint8_t { Read, Rename };
using IoFault = std::function<int(IoStep, const std::filesystem::path&)>;
void set_io_fault(IoFault fault);

// Creates the directory (0700, the owner's alone) with any missing parents.
Status ensure_dir(const std::filesystem::path& dir);

// Makes a folder only this user may enter, in a place others can write to (the shared
// temporary folder): created 0700; an existing one is used only when it is a real directory
// (not a link) owned by this user, and is closed to others if it was open.
Status ensure_private_dir(const std::filesystem::path& dir);

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
