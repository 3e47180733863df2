// Files from the phone: receive sessions with safe names, chunks checked and written in
// order, gaps asked for again, the finished file checked and announced, holds and cancels.
//
// A file never sits under its final name unverified, not even after a crash. FILE_META
// creates only the working file "<name>.partial", choosing <name> (or a numbered variant)
// so that it is free as a final name and its working name is new; that working file keeps
// the name for this receive. Only a verified file is synced and renamed onto the final
// name, never replacing anything (then the folder is synced); a failed or dropped one
// stays "<name>.partial", one whose digest is wrong or missing becomes "<name>.unverified".
//
// A file carrying a photo id is an album original: the album (FullSizeSink) says where
// it goes and hears how it ended.
//
// Events: FileMetaReceived, FileDoneReceived, TransferInterrupted and TransferCancelled (for its sessions).
// Requests: cancel (receiving).
// Steps: ReceivedChunks, ReceiveHolds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "features/feature.h"
#include "features/full_size.h"
#include "transfer/chunk.h"
#include "transfer/chunk_writer.h"

namespace dovan {

inline constexpr std::uint64_t kMaxReceiveSize = 4294967296ULL;
inline constexpr std::uint64_t kEarlyBytesPerSession = std::uint64_t{4} * 1024 * 1024;
inline constexpr std::uint64_t kEarlyBytesTotal = std::uint64_t{8} * 1024 * 1024;
inline constexpr std::uint32_t kMaxResendTries = 8;
inline constexpr Duration kReceiveHold = std::chrono::seconds(20);
inline constexpr std::size_t kMaxReceiveSessions = 8;
inline constexpr std::string_view kPartialSuffix = ".partial";
inline constexpr std::string_view kUnverifiedSuffix = ".unverified";

class FileReceive final : public Feature {
public:
    explicit FileReceive(FeatureHost& host);
    ~FileReceive() override;

    std::string_view name() const override { return "file_receive"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;
    void on_link(const LinkChange& change) override;
    std::optional<Instant> next_deadline() const override;

    void set_full_size_sink(FullSizeSink* sink) { album_ = sink; }
    // Tests stand in for the volume's free space (nothing: unknown).
    using FreeSpaceFn = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;
    void set_free_space(FreeSpaceFn fn) { free_space_ = std::move(fn); }

    bool has_session(std::uint64_t file_id) const;
    std::size_t session_count() const { return sessions_.size(); }

    // A new BLE connection: every session ends, its bytes kept under the working name.
    void drop_all_receives();

private:
    struct Session;

    void on_file_meta(const FileMetaReceivedEvent& meta);
    void on_chunks(std::optional<std::uint64_t> only_file);
    void on_chunk(Session& s, ReceivedChunk& c);
    void on_file_done(const FileDoneReceivedEvent& done);
    void on_file_cancel(std::uint64_t file_id, const std::string& reason);
    void on_transfer_failed(std::uint64_t file_id, const std::string& reason);
    void cancel_by_user(const std::string& name);
    void check_holds(Instant now);

    bool write_chunk(Session& s, std::uint32_t index, Bytes data, std::uint32_t crc);
    // A write that failed on the writer thread ends its session here, on the core.
    void end_failed_writes();
    void request_resend(Session& s, std::uint64_t index, std::string_view reason);
    void finish(std::unique_ptr<Session> s, const std::optional<Bytes>& done_digest);
    void fail_session(std::unique_ptr<Session> s, std::string_view reason);
    void end_with_error(std::unique_ptr<Session> s, std::string_view detail, std::string_view reason);
    void reject(std::uint64_t file_id, std::uint64_t photo_id, std::string_view reason, std::string_view detail);
    void tell_phone(std::uint64_t file_id, bool ok, std::string_view reason);
    void row(const Session& s, std::string_view status, std::optional<std::uint8_t> percent = std::nullopt);
    std::unique_ptr<Session> take(std::uint64_t file_id);
    std::uint64_t early_total() const;

    FeatureHost& host_;
    // Declared before the sessions: their sinks need the writer until they are gone.
    ChunkWriter writer_;
    std::vector<std::unique_ptr<Session>> sessions_;
    FullSizeSink* album_ = nullptr;
    FreeSpaceFn free_space_;
};

}  // namespace dovan
