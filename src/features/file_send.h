// Files from the PC to the phone: the send queue, one job at a time over the bound TCP
// channel, resumption on request, the phone's final answer and cancelling.
//
// Events: FileDoneReceived (when no receive session has the id), ResumeRequested, TransferInterrupted and TransferCancelled (for the current job).
// Requests: send_files, cancel (sending).
// Steps: FileSending.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "features/feature.h"
#include "transfer/chunk.h"

namespace dovan {

inline constexpr std::size_t kSendQueueMax = 64;
inline constexpr std::size_t kSendWindowFrames = 16;
inline constexpr std::uint32_t kMaxResumeRounds = 8;
inline constexpr Duration kSendAckWait = std::chrono::seconds(30);

class FileSend final : public Feature {
public:
    explicit FileSend(FeatureHost& host);
    ~FileSend() override;

    std::string_view name() const override { return "file_send"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;
    void on_link(const LinkChange& change) override;
    // Now while chunks could be queued (the core then turns again at once), else the end
    // of the acknowledgement wait.
    std::optional<Instant> next_deadline() const override;

    std::size_t queued() const { return queue_.size(); }
    std::optional<std::uint64_t> job_id() const;

private:
    struct Job;

    void enqueue_files(std::vector<std::string> paths);
    void send_step(Instant now);
    void start_job(Instant now);
    void send_chunks(Instant now);
    void end_of_file(Instant now);
    void on_resume_request(std::uint64_t file_id, std::uint32_t from);
    void on_peer_done(const FileDoneReceivedEvent& done);
    void fail_send(std::string_view reason);
    void cancel_send(const std::string& name);
    void row(std::string_view name, std::string_view status, std::uint8_t percent);
    std::uint8_t progress() const;
    bool can_send_chunks() const;

    FeatureHost& host_;
    std::deque<std::string> queue_;
    std::unique_ptr<Job> job_;
};

}  // namespace dovan
