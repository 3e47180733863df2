// The system clipboard through Qt. Qt's clipboard belongs to the main thread: writes from
// other threads are queued to it, reads there answer from the text last seen.
#pragma once

#include <QObject>

#include <mutex>
#include <optional>
#include <string>

#include "platform/clipboard.h"

namespace dovan {

class QtClipboard final : public QObject, public Clipboard {
    Q_OBJECT
public:
    QtClipboard();  // on the main thread

    std::optional<std::string> read_text() override;
    void write_text(std::string_view text) override;
    void set_on_change(std::function<void()> on_change) override;

private:
    void changed();
    void write_here(const std::string& text);

    std::mutex mu_;
    std::optional<std::string> seen_;
    std::optional<std::string> written_;  // our own last write, which is no outside change
    std::function<void()> on_change_;
};

}  // namespace dovan
