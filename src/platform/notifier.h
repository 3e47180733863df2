// The desktop's notification service: a title, a body and a few buttons. Posting never
// blocks; what happens next arrives through the callbacks, on the service's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dovan {

struct NotificationButton {
    std::string key;    // handed back when the button is pressed
    std::string label;  // what the button says
};

struct DesktopNotification {
    std::uint64_t cookie = 0;  // the caller's id, handed back with the outcome
    std::string title;
    std::string body;
    std::vector<NotificationButton> buttons;
};

struct NotifierCallbacks {
    // The service showed the notification (no error) or gave up on it (the error text).
    std::function<void(std::uint64_t cookie, std::optional<std::string> error)> on_outcome;
    // A button of a notification this notifier posted was pressed.
    std::function<void(std::string_view key)> on_button;
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // False when the notification could not even be handed over (then no outcome follows).
    virtual bool post(DesktopNotification notification) = 0;
};

}  // namespace dovan
