#include "transfer/chunk_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace dovan {

// Everything here is guarded by the writer's mutex, except the file's bytes, which the
// writing thread alone touches, and `hasher`, which only the sink's owner touches.
struct ChunkSinkState {
    FileHandle file;
    FileHasher hasher;
    std::optional<ChunkWriteFailure> failure;
    std::size_t pending = 0;  // queued or in progress
};

struct ChunkWriterShared {
    struct Job {
        std::shared_ptr<ChunkSinkState> sink;
        std::uint64_t offset = 0;
        Bytes data;
    };

    explicit ChunkWriterShared(std::size_t limit) : max_bytes(limit) {}

    void run() {
        std::unique_lock lock(mu);
        for (;;) {
            work.wait(lock, [&] { return stopping || !jobs.empty(); });
            if (jobs.empty()) return;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            ChunkSinkState& sink = *job.sink;
            if (!sink.failure) {
                lock.unlock();
                const auto failed = write_all(sink.file.fd(), job.offset, job.data);
                lock.lock();
                if (failed) sink.failure = failed;
            }
            queued_bytes -= job.data.size();
            sink.pending -= 1;
            // The job's buffer goes back to the allocator outside the lock.
            lock.unlock();
            job = {};
            lock.lock();
            done.notify_all();
        }
    }

    static std::optional<ChunkWriteFailure> write_all(int fd, std::uint64_t offset, ByteView data) {
        std::size_t written = 0;
        while (written < data.size()) {
            const ssize_t n = ::pwrite(fd, data.data() + written, data.size() - written,
                                       static_cast<off_t>(offset + written));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return ChunkWriteFailure{offset, n < 0 ? errno : EIO};
            written += static_cast<std::size_t>(n);
        }
        return std::nullopt;
    }

    const std::size_t max_bytes;
    std::mutex mu;
    std::condition_variable work;  // jobs queued or stopping
    std::condition_variable done;  // a job finished
    std::deque<Job> jobs;
    std::size_t queued_bytes = 0;
    bool stopping = false;
    std::thread thread;
};

ChunkSink::ChunkSink(std::shared_ptr<ChunkWriterShared> shared, std::shared_ptr<ChunkSinkState> state)
    : shared_(std::move(shared)), state_(std::move(state)) {}

ChunkSink::~ChunkSink() {
    // What was handed over is written, as a synchronous write would have been: a failed
    // file keeps every byte it got. The file must not be closed under a write either (its
    // descriptor number could be reused by the next open).
    std::unique_lock lock(shared_->mu);
    shared_->done.wait(lock, [&] { return state_->pending == 0; });
    state_->file.reset();
}

void ChunkSink::write(std::uint64_t offset, Bytes data, std::uint32_t crc) {
    // Hashed here, on the caller's thread, while the writing thread copies the previous chunk
    // into the page cache: one thread doing both was the slowest stage of a receive. A file
    // whose write fails is refused whatever its digest says.
    state_->hasher.update(data, crc);
    std::unique_lock lock(shared_->mu);
    if (state_->failure) return;
    shared_->done.wait(lock, [&] {
        return shared_->queued_bytes == 0 || shared_->queued_bytes + data.size() <= shared_->max_bytes;
    });
    shared_->queued_bytes += data.size();
    state_->pending += 1;
    shared_->jobs.push_back({state_, offset, std::move(data)});
    shared_->work.notify_one();
}

std::optional<ChunkWriteFailure> ChunkSink::failure() const {
    std::lock_guard lock(shared_->mu);
    return state_->failure;
}

ChunkSinkResult ChunkSink::finish() {
    ChunkSinkResult result;
    {
        std::unique_lock lock(shared_->mu);
        shared_->done.wait(lock, [&] { return state_->pending == 0; });
        result.failure = state_->failure;
    }
    // Nothing of this file is queued any more: the writing thread is done with it.
    const int fd = state_->file.fd();
    result.flushed = fd >= 0 && ::fsync(fd) == 0;
    struct stat st {};
    result.on_disk = fd >= 0 && ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    result.digest = state_->hasher.finish();
    state_->file.reset();
    return result;
}

ChunkWriter::ChunkWriter(std::size_t max_queued_bytes)
    : shared_(std::make_shared<ChunkWriterShared>(max_queued_bytes)) {}

ChunkWriter::~ChunkWriter() {
    {
        std::lock_guard lock(shared_->mu);
        shared_->stopping = true;
    }
    shared_->work.notify_all();
    if (shared_->thread.joinable()) shared_->thread.join();
}

std::unique_ptr<ChunkSink> ChunkWriter::sink(FileHandle file) {
    auto state = std::make_shared<ChunkSinkState>();
    state->file = std::move(file);
    if (!shared_->thread.joinable()) shared_->thread = std::thread([s = shared_.get()] { s->run(); });
    return std::unique_ptr<ChunkSink>(new ChunkSink(shared_, std::move(state)));
}

}  // namespace dovan
