// The one structure the window, the core and the hand-off server share. Everything the
// user sees is read from here; everything the user asks of the core is left here in a
// request slot. One mutex guards the whole of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "ble/scan_list.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/wake.h"
#include "shell/event_feed.h"

namespace dovan {

// Asks the window to repaint (the window's private repaint message). Never called with
// the UI lock held.
using RepaintFn = std::function<void()>;

enum class Page : std::uint8_t {
    Connect = 0,
    Notifications = 1,
    Clipboard = 2,
    Files = 3,
    Media = 4,
    Features = 5,
    Settings = 6,
    Album = 7,
    About = 8,
};

enum class InputFocus : std::uint8_t { None = 0, SendBox = 1, ManualIp = 2, ReplyBox = 3 };

// Engine state numbers as the connect page reads them.
inline constexpr std::uint8_t kEngineDiscover = 0;
inline constexpr std::uint8_t kEnginePaired = 4;
inline constexpr std::uint8_t kEngineClosed = 7;

inline constexpr std::size_t kMaxNotices = 3;
inline constexpr std::size_t kMaxSystemNotifications = 4;
inline constexpr std::size_t kMaxTransferRows = 10;
// From this much silence on, the phone counts as gone quiet.
inline constexpr std::uint64_t kQuietAfterMs = 25000;

inline constexpr std::string_view kReplyStillQueued = "上一条回复还没发出去，稍等一下再发";

struct HoverTarget {
    static constexpr std::uint8_t kNone = 255;
    std::uint8_t action = kNone;
    std::uint64_t index = 0;  // wide enough for a device id
    bool operator==(const HoverTarget&) const = default;
};

struct Notice {
    std::string text;
    std::uint32_t count = 1;
    bool operator==(const Notice&) const = default;
};

// How a notice reads on screen: repeats are counted, not listed.
std::string notice_line(const Notice& notice);

// What a reply to a phone notification must name so the phone finds its reply action.
struct ReplyTarget {
    std::string package;
    std::string tag;
    std::int32_t key_hash = 0;
    std::int32_t notification_id = 0;
    std::int32_t action_index = 0;
    std::string result_key;
    bool operator==(const ReplyTarget&) const = default;
};

// A request for a toast or balloon.
struct SystemNotification {
    std::string title;
    std::string body;
    std::optional<std::string> code;
    std::optional<ReplyTarget> reply_target;
    // A file this program saved: the notification offers to open it and its folder.
    std::optional<std::string> saved_path = std::nullopt;
    bool operator==(const SystemNotification&) const = default;
};

// What "打开" and "打开所在文件夹" ask for.
enum class OpenWhat : std::uint8_t { File, Folder };
struct OpenRequest {
    std::string path;  // the file as this program saved it
    OpenWhat what = OpenWhat::File;
    bool operator==(const OpenRequest&) const = default;
};

// One-shot toast button: copy a code, open the reply box for a notification, or open a
// received file or its folder.
struct CopyCodeAction {
    std::string code;
};
struct ReplyAction {
    ReplyTarget target;
};
struct ToastAction {
    std::variant<CopyCodeAction, ReplyAction, OpenRequest> action;
    Instant created{};
};

struct SelfWrittenClipboard {
    std::string text;
    // Set for copy actions, which show the "copied" hint for a while.
    std::optional<Instant> at;
};

// The user's settings as the window shows and edits them.
struct UiSettings {
    bool toast_enabled = true;
    bool toast_show_content = true;
    bool clip_sync = true;
    bool auto_connect = true;
    bool debug_enabled = false;
    std::uint8_t theme = 0;           // 0 follow system, 1 light, 2 dark
    std::uint8_t close_behavior = 0;  // 0 ask, 1 minimize to tray, 2 exit
    bool feat_notifications = true;
    bool feat_clipboard = true;
    bool feat_file_transfer = true;
    bool feat_media = true;
    bool feat_album = true;
    std::string inbox;
    // The autostart entry as last read back from the system.
    bool autostart_present = false;
    bool autostart_ours = false;
};

// The feature switches as they were at start; later changes wait for a restart.
struct LoadedModules {
    std::uint8_t bits = 0;

    static constexpr std::uint8_t kNotifications = 1u << 0;
    static constexpr std::uint8_t kClipboard = 1u << 1;
    static constexpr std::uint8_t kFileTransfer = 1u << 2;
    static constexpr std::uint8_t kMedia = 1u << 3;
    static constexpr std::uint8_t kAlbum = 1u << 4;

    static LoadedModules from(const UiSettings& s);

    bool notifications() const { return bits & kNotifications; }
    bool clipboard() const { return bits & kClipboard; }
    bool file_transfer() const { return bits & kFileTransfer; }
    bool media() const { return bits & kMedia; }
    bool album() const { return bits & kAlbum; }
    bool operator==(const LoadedModules&) const = default;
};

struct IdentityChangePrompt {
    std::string name;
    std::string old_fingerprint;
    std::string new_fingerprint;
    bool operator==(const IdentityChangePrompt&) const = default;
};

struct BoundDevice {
    std::string fingerprint;
    std::string name;  // empty is shown as "（未知设备）"
};

struct DeviceStatusView {
    std::uint64_t ts_ms = 0;
    std::int32_t battery = -1;  // negative: not reported
    std::uint8_t charging = 2;  // 2: no data
};

struct PhoneNotification {
    std::string package;
    std::string title;
    std::string text;
    std::uint64_t post_ts_ms = 0;  // below 1 is shown as "--"
    std::int32_t key_hash = 0;
    Bytes cover_jpeg;
    std::string tag;
    std::int32_t notification_id = 0;
    bool can_reply = false;
    std::int32_t reply_action_index = 0;
    std::string reply_result_key;
    bool active = true;

    ReplyTarget reply_target() const;
};

struct AwaitingReply {
    std::uint32_t id = 0;
    Instant sent{};
};

struct ReplyStatus {
    std::string text;
    bool ok = false;
    Instant at{};
};

struct TransferRow {
    TransferDirection direction = TransferDirection::Send;
    std::string name;
    std::string status;
    std::uint8_t percent = 0;
    std::uint64_t size = 0;  // 0: not known, and then no speed is shown
    bool sampled = false;    // a speed sample was taken since the size became known
    Instant sample_at{};
    std::uint8_t sample_percent = 0;
    std::uint32_t speed_kib = 0;  // smoothed KiB/s; 0 until two samples exist
    // Where a verified received file was saved, under its final name; cleared whenever the
    // status changes, so it belongs to the "已完成" it came with.
    std::string saved_path{};
};

struct QueuedFile {
    std::string path;
    std::uint64_t size = 0;
};

struct MediaView {
    std::string title;
    std::string artist;
    std::string album;
    std::string package;
    bool playing = false;
    std::uint64_t position_ms = 0;
    std::uint64_t duration_ms = 0;
    std::int32_t speed_percent = 100;
    std::int32_t volume = -1;  // negative: not reported
};

struct AlbumItemView {
    std::uint64_t id = 0;
    std::string name;
    std::uint64_t size_bytes = 0;
    std::uint64_t mtime_ms = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t kind = 0;
    std::uint64_t duration_ms = 0;
};

struct ThumbnailEntry {
    // The JPEG bytes, or the text the cell shows instead.
    std::variant<Bytes, std::string> content;
    Instant last_used{};
};

// The drag-out of the current batch: files still coming, ready to drag, or failed.
struct DragStatus {
    enum class Kind : std::uint8_t { Pending, Ready, Failed };
    Kind kind = Kind::Pending;
    std::string text;  // the path when ready, why not when failed
};

struct AlbumView {
    std::vector<AlbumItemView> items;
    std::uint32_t total = 0;
    std::uint32_t page = 0;
    std::uint32_t per_page = 0;
    std::vector<std::uint64_t> selection;
    bool loading = false;
    std::string error;
    std::unordered_map<std::uint64_t, ThumbnailEntry> thumbnails;
    // The ids the window shows cells for and wants thumbnails of.
    std::vector<std::uint64_t> thumbnail_queue;
    std::int32_t scroll = 0;
    std::uint64_t generation = 0;
    // Full-size files fetched for dragging out, by item id (filled by the album feature).
    std::unordered_map<std::uint64_t, std::string> drag_files;
    std::uint32_t thumbs_in_flight = 0;
    std::optional<DragStatus> drag;
};

// Requests the window leaves for the core. Each slot holds one request: a second one
// before the core's next turn replaces the first.
struct CancelRequest {
    TransferDirection direction = TransferDirection::Send;
    std::string name;
};
struct ReplyRequest {
    ReplyTarget target;
    std::string text;
    std::uint32_t reply_id = 0;
};
struct MediaCommandRequest {
    std::int32_t action = 0;
    std::int32_t volume = 0;
    std::int64_t delta_ms = 0;
};
struct AlbumPageRequest {
    std::uint32_t page = 0;
    std::uint32_t per_page = 0;
};
// The window chose the folder before asking.
struct AlbumExportRequest {
    std::string folder;
    std::vector<std::uint64_t> ids;
};

struct UiRequests {
    std::optional<std::uint64_t> connect;
    bool sas_confirm = false;
    bool sas_reject = false;
    bool identity_accept = false;
    bool identity_reject = false;
    bool manual_connect = false;
    bool unbind = false;
    std::optional<std::vector<std::string>> send_files;
    std::optional<CancelRequest> cancel;
    std::optional<ReplyRequest> send_reply;
    std::optional<MediaCommandRequest> media;
    std::optional<AlbumPageRequest> album_page;
    std::optional<AlbumExportRequest> album_export;
    std::optional<std::vector<std::uint64_t>> album_drag;
    std::optional<std::uint64_t> thumbnail_wanted;
    std::optional<std::string> send_clipboard;

    bool empty() const;
};

struct UiState {
    // Shell and view.
    Page page = Page::Connect;
    std::uint64_t change_counter = 0;
    std::optional<Instant> transition_start;
    HoverTarget hover;
    InputFocus focus = InputFocus::None;
    std::string send_box;
    std::string manual_ip_box;
    std::string reply_box;
    bool restart_dialog = false;
    bool restart_requested = false;
    bool close_dialog = false;
    bool remember_close_choice = false;
    // The front end has a tray icon to hide into; without one, "minimize" keeps the window
    // on the task bar, so the running program never vanishes from the screen.
    bool tray_present = true;
    std::deque<Notice> notices;  // newest first
    std::deque<SystemNotification> system_notifications;  // oldest first
    std::unordered_map<std::uint64_t, ToastAction> toast_actions;
    std::optional<SelfWrittenClipboard> self_clipboard;

    UiSettings settings;

    // Link and peer.
    std::uint8_t engine_state = kEngineDiscover;
    bool paired = false;
    bool tcp_ready = false;
    std::uint64_t ms_since_rx = 0;
    std::vector<ScannedDevice> devices;  // the core's copy of the scan list, latest last
    std::optional<std::uint64_t> connecting;
    std::string peer_name;
    std::optional<std::string> peer_fingerprint;
    std::string peer_address;
    std::optional<DeviceStatusView> device_status;  // the battery shown; none until reported
    std::optional<std::uint32_t> sas_prompt;
    std::optional<IdentityChangePrompt> identity_change;
    std::vector<BoundDevice> bound_devices;
    std::string local_fingerprint;
    // Why no BLE stack could be opened; set, the core does not run and nothing scans.
    std::optional<std::string> ble_failure;

    // Notifications.
    std::vector<PhoneNotification> notifications;  // newest first
    std::int32_t notification_scroll = 0;
    std::optional<ReplyTarget> reply_target;
    std::vector<AwaitingReply> awaiting_replies;
    std::uint32_t next_reply_id = 1;
    std::optional<ReplyStatus> reply_status;

    // Clipboard page.
    std::string clip_last_received;
    std::string clip_last_sent;

    // Files.
    std::vector<QueuedFile> send_queue;
    std::deque<TransferRow> transfer_rows;  // newest first

    std::optional<MediaView> media;
    AlbumView album;

    UiRequests requests;

    // The feed the changes below are announced on; none for a state outside SharedUi.
    EventFeed* feed = nullptr;

    void bump() { ++change_counter; }
    // Announces a change on the feed. The setters below do it themselves; code that writes
    // fields directly announces what it changed.
    void emit(FeedData event) {
        if (feed != nullptr) feed->append(std::move(event));
    }

    // Each of these changes the field, bumps the counter and announces the change, and does
    // nothing when the value stays the same.
    void set_engine_state(std::uint8_t state);
    void set_tcp_ready(bool ready);
    // A new prompt is announced; its clearing is not.
    void set_sas_prompt(std::optional<std::uint32_t> sas);
    void set_identity_change(std::optional<IdentityChangePrompt> prompt);
    // The phone with this fingerprint is trusted; announced with the peer name when the
    // flag was clear or the fingerprint differs.
    void mark_paired(const std::string& fingerprint);

    // Newest first, at most three; a repeat of the newest is counted instead.
    void add_notice(std::string_view text);
    // At most four wait; the oldest gives way.
    void queue_system_notification(SystemNotification request);
    // Creates the row or updates its progress, status and speed sample.
    void update_transfer_row(TransferDirection direction, std::string_view name,
                             std::uint8_t percent, std::string_view status, Instant now);
    TransferRow* find_transfer_row(TransferDirection direction, std::string_view name);
    // Ends the wait for one reply. False (and no change) when that id is not awaited.
    bool finish_reply(std::uint32_t id, bool ok, std::string_view error_text, Instant now);
    void clear_reply_target();
    // The text box that has the keyboard, if any.
    std::string* focused_text();
    const std::string* focused_text() const;
    // Moves the typed reply into the send-reply slot. True when a reply was queued.
    bool submit_reply(Instant now);

    // Empties every request slot and hands their contents over.
    UiRequests take_requests();
};

// The receive folder used while the settings name none.
std::string default_inbox(const char* userprofile, const char* home);
std::string default_inbox_from_env();

// The state before settings are applied.
UiState initial_ui_state();

// The shared handle. Lock it, touch a few fields, let go:
//     auto g = ui->lock(); g->add_notice("…");
class SharedUi {
public:
    class Guard {
    public:
        UiState* operator->() { return state_; }
        UiState& operator*() { return *state_; }
        Guard(Guard&&) = delete;
        // A request left in a slot wakes the core, whoever wrote it.
        ~Guard() {
            const bool wake = !state_->requests.empty();
            lock_.unlock();
            if (wake) wake_->notify();
        }

    private:
        friend class SharedUi;
        Guard(std::mutex& m, UiState& s, WakeSignal& w) : lock_(m), state_(&s), wake_(&w) {}
        std::unique_lock<std::mutex> lock_;
        UiState* state_;
        WakeSignal* wake_;
    };

    explicit SharedUi(UiState state = initial_ui_state(), LoadedModules modules = {},
                      std::size_t feed_capacity = kFeedCapacity)
        : feed_(feed_capacity), state_(std::move(state)), modules_(modules) {
        state_.feed = &feed_;
    }
    SharedUi(const SharedUi&) = delete;
    SharedUi& operator=(const SharedUi&) = delete;

    static std::shared_ptr<SharedUi> create(UiState state, LoadedModules modules) {
        return std::make_shared<SharedUi>(std::move(state), modules);
    }

    [[nodiscard]] Guard lock() { return Guard(mu_, state_, core_wake_); }

    // Read without the UI lock; appended to under it.
    EventFeed& feed() { return feed_; }

    // What the core's pause waits on: request slots, the transports and the platform
    // callbacks notify it when they leave work.
    WakeSignal& core_wake() { return core_wake_; }

    // Fixed before the other threads start; read without the lock.
    LoadedModules modules() const { return modules_; }

    // Set once the window exists; threads other than the window's post through it.
    void set_repaint(RepaintFn fn);
    void post_repaint() const;

private:
    WakeSignal core_wake_;
    EventFeed feed_;
    std::mutex mu_;
    UiState state_;
    const LoadedModules modules_;
    mutable std::mutex repaint_mu_;
    RepaintFn repaint_;
};

}  // namespace dovan
