// A received file name is made safe before anything is created from it, and a taken name
// gets a numbered variant, so a received file never overwrites an existing one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/result.h"
#include "transfer/chunk.h"

namespace dovan {

inline constexpr std::size_t kMaxFileNameBytes = 240;
inline constexpr std::uint32_t kMaxNumberedVariant = 999;
// How much of a received name the rename debug event keeps.
inline constexpr std::size_t kLoggedNameBytes = 256;

struct SanitizedName {
    std::string name;
    bool changed = false;  // differs byte for byte from what was received
};

// Always a single, non-empty path component of valid UTF-8, at most 240 bytes, never
// "." or "..", free of the characters NTFS and the Windows shell refuse and of the format
// characters (bidirectional controls, zero-width ones and the like). Writes the rename
// debug event when the name had to change.
SanitizedName sanitize_file_name(std::string_view received);

// n = 0: the name itself; otherwise "stem (n).ext", or "stem (n)" without an extension.
std::string numbered_name(std::string_view safe_name, std::uint32_t n);

struct CreatedFile {
    FileHandle file;  // open for writing, newly created
    std::filesystem::path path;
};

struct CreateUniqueError {
    bool too_many = false;        // all 1000 names exist
    int os_error = 0;             // errno of the failure otherwise
    std::filesystem::path path;   // the path whose creation failed (empty for too_many)
    std::string text;             // the system's error text, or a description for too_many

    const std::string& display() const { return text; }
};

// Creates `safe_name` or its first free numbered variant inside `folder`; each attempt is
// one atomic create-new, so a file that appears meanwhile is skipped, never overwritten.
Result<CreatedFile, CreateUniqueError> create_unique(const std::filesystem::path& folder,
                                                     std::string_view safe_name);

// A file being received: its bytes go to "<name><suffix>" and "<name>" itself is not
// created until they are verified, so no crash can leave a final name holding unverified
// bytes. `name` is `safe_name` or the first numbered variant that is free as a final name
// and whose working name could be created new (one atomic create-new, so two receives of
// the same name never share a working file).
struct WorkingFile {
    FileHandle file;             // the working file, open for writing, newly created
    std::filesystem::path path;  // the working file
    std::string name;            // the final name it is meant to take
    std::uint32_t variant = 0;   // the number of that variant (0: the name itself)
};
Result<WorkingFile, CreateUniqueError> create_working(const std::filesystem::path& folder,
                                                      std::string_view safe_name, std::string_view suffix);

// Moves a verified working file onto its final name, or, when something took that name
// meanwhile, onto the next numbered variant that is free and is no other receive's
// working name. Never replaces anything. Returns the path the file now has.
// `working` and `variant` are a WorkingFile's path and variant.
Result<std::filesystem::path, CreateUniqueError> claim_final_name(const std::filesystem::path& working,
                                                                  std::uint32_t variant,
                                                                  const std::filesystem::path& folder,
                                                                  std::string_view safe_name,
                                                                  std::string_view suffix);

}  // namespace dovan
