// The system clipboard through QClipboard. Qt's clipboard lives on the GUI thread: reads
// from other threads get the text last seen there, writes are handed over to it.
#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clipboard.h"

namespace dovan {

class QtClipboard final : public QObject, public Clipboard {
public:
    QtClipboard();
    std::optional<std::string> read_text() override;
    void write_text(std::string_view text) override;
    void set_on_change(std::function<void()> on_change) override;

private:
    void changed();
    void write_here(const std::string& text);
    std::optional<std::string> read_here() const;

    std::mutex mu_;
    std::optional<std::string> last_;
    std::function<void()> on_change_;
    bool writing_ = false;
};

}  // namespace dovan
