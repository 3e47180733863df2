// What file receive asks of the album for a file that carries a photo id: where the original
// goes, and telling the album how it ended. The album implements it; file receive calls it
// on the core thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

namespace dovan {

// Why a full-size original is refused. `detail` is shown to the user unless `silent`;
// `reason` goes back to the phone in the failed FILE_DONE.
struct FullSizeRefusal {
    std::string detail;
    std::string reason;
    bool silent = false;
};

class FullSizeSink {
public:
    virtual ~FullSizeSink() = default;

    // The folder the original of `photo_id` is written to (file receive creates it), or why
    // it is refused. A folder marks the transfer as started.
    virtual std::variant<std::filesystem::path, FullSizeRefusal> full_size_folder(std::uint64_t photo_id) = 0;

    // The original of `photo_id` ended: on success `file` is where it lies and `text` the
    // line announcing it; on failure `text` says why. Also called after a refusal.
    virtual void full_size_done(std::uint64_t photo_id, bool ok, std::string_view text,
                                const std::filesystem::path& file) = 0;
};

}  // namespace dovan
