// What the front ends do with the local clipboard: notice a copy made elsewhere, send the
// clipboard on request, and copy a notification's text or code. They run on the front
// end's thread, touch the UI state under its lock and leave the sending to the core.
#pragma once

#include <cstddef>

#include "platform/clipboard.h"
#include "platform/clock.h"
#include "shell/ui_state.h"

namespace dovan {

// Another program changed the clipboard. The text becomes the send-clipboard request only
// when syncing is on, the link is live, and it is not the text this program itself put
// there (so nothing the phone sent, or a copied code, goes back to it). "最近发送" is set by
// the core once a text went out, never here.
void on_clipboard_changed(SharedUi& ui, Clipboard& clipboard);

// The "send my clipboard now" button: no automatic checks. False when there was no text.
bool send_local_clipboard(SharedUi& ui, Clipboard& clipboard);

// Copies notification row `index` (0 = newest): its text, or its title when the text is
// empty. False when the row does not exist or there is nothing to copy.
bool copy_notification_text(SharedUi& ui, Clipboard& clipboard, std::size_t index, Instant now);
// Copies the verification code found in row `index`; false when there is none.
bool copy_code(SharedUi& ui, Clipboard& clipboard, std::size_t index, Instant now);

// Records `text` as written by this program and writes it; the toast's copy button uses it
// too. An empty text copies nothing.
bool copy_to_clipboard(SharedUi& ui, Clipboard& clipboard, const std::string& text, Instant now);

// The link counts as live for automatic clipboard sync.
bool clipboard_link_live(const UiState& s);

}  // namespace dovan
