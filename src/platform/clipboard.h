// The system clipboard as plain text. The desktop puts the toolkit's clipboard behind it;
// the headless front end keeps one per process. Every text that comes out of it is valid
// UTF-8 and bounded, whatever another program put there.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace dovan {

// Longest text read back, in bytes; a longer one is cut at a character boundary.
inline constexpr std::size_t kClipboardReadLimit = std::size_t{4} * 1024 * 1024;

class Clipboard {
public:
    virtual ~Clipboard() = default;
    // The current text; none when the clipboard holds no text.
    virtual std::optional<std::string> read_text() = 0;
    virtual void write_text(std::string_view text) = 0;
    // Called (on any thread) after another program changed the clipboard. Writes made
    // through write_text do not call it.
    virtual void set_on_change(std::function<void()> on_change) = 0;
};

// The clipboard of the headless front end: a text in this process.
class ProcessClipboard final : public Clipboard {
public:
    std::optional<std::string> read_text() override;
    void write_text(std::string_view text) override;
    void set_on_change(std::function<void()> on_change) override;

    // Another program copied `text`: stores it and calls the change callback.
    void simulate_external_copy(std::string_view text);

private:
    std::mutex mu_;
    std::optional<std::string> text_;
    std::function<void()> on_change_;
};

// What read_text returns for raw clipboard bytes: invalid UTF-8 becomes U+FFFD, the text
// ends at the first NUL and is cut to kClipboardReadLimit without splitting a character.
std::string clipboard_text_from_bytes(std::string_view raw);

}  // namespace dovan
