// The phone's file transfers: sending files to the PC and receiving the PC's, each with
// the faults a test asks for. Runs on the phone's worker thread only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "phone.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "transfer/chunk.h"
#include "transfer/filename.h"

namespace dovan::phonesim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kWindow = 16;

std::uint64_t next_file_id() {
    static std::uint64_t n = 0x5A00000000000000ULL;
    return ++n;
}

Bytes sha_bytes(const FileDigest& d) { return Bytes(d.sha256.begin(), d.sha256.end()); }

}  // namespace

struct Phone::Outgoing {
    std::string path;
    std::string name;
    SendFaults f;
    std::uint64_t id = 0;
    FileHandle file;
    std::uint64_t size = 0;
    std::uint32_t chunks = 0;
    std::uint32_t next = 0;
    FileHasher hasher;  // fed in index order up to `next`
    bool started = false;
    bool done_sent = false;
    bool dropped = false;
    bool corrupted = false;
    bool swapped = false;
    bool paused = false;

    Bytes buffer;  // the chunk being sent, its storage kept from chunk to chunk

    // Into `data`, whose storage is reused: a chunk-sized buffer is not zero-filled again.
    bool read_into(std::uint32_t index, Bytes& data) const {
        const std::uint64_t off = std::uint64_t{index} * f.chunk_size;
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(f.chunk_size, size - off));
        data.resize(len);
        std::size_t got = 0;
        while (got < len) {
            const ssize_t n = ::pread(file.fd(), data.data() + got, len - got, static_cast<off_t>(off + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    Result<Bytes> read(std::uint32_t index) const {
        Bytes data;
        if (!read_into(index, data)) return fail_text("read failed");
        return data;
    }
};

struct Phone::Incoming {
    std::uint64_t id = 0;
    std::string name;
    fs::path path;
    std::unique_ptr<ChunkSink> sink;  // written and hashed off the phone's loop, as on the PC
    std::uint64_t size = 0;
    std::uint32_t chunk_size = 1;
    std::uint32_t next = 0;
    std::uint64_t received = 0;
    std::optional<Bytes> digest;
    bool resumed = false;
    std::optional<std::uint32_t> waiting_from;
};

// Here, where the transfer types are complete.
Phone::Phone(PhoneOptions options, LineSink sink, Clock& clock)
    : opt_(std::move(options)), sink_(std::move(sink)), clock_(clock) {}

Phone::~Phone() { stop(); }

void Phone::send_file(std::string path, SendFaults faults) { post(SendFile{std::move(path), faults}); }

void Phone::continue_sending() { post(Continue{}); }

void Phone::resume_paused() {
    if (outgoing_.empty() || !outgoing_.front()->paused) return;
    outgoing_.front()->paused = false;
    outgoing_.front()->f.pause_after.reset();
    emit("file-continued " + outgoing_.front()->name);
}

bool Phone::sending() const {
    return !outgoing_.empty() && engine_ && engine_->tcp_bound() && tcp_fd_ >= 0 &&
           !outgoing_.front()->done_sent && !outgoing_.front()->paused;
}

void Phone::pump_send() {
    if (!engine_ || !engine_->tcp_bound() || tcp_fd_ < 0 || outgoing_.empty()) return;
    Outgoing& o = *outgoing_.front();
    if (o.paused) return;
    const std::uint64_t ts = clock_.wall_ms();
    auto finish_job = [&](const std::string& line) {
        emit(line);
        outgoing_.pop_front();
    };
    if (!o.started) {
        int fd = ::open(o.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return finish_job("file-out " + o.name + " fail cannot open");
        o.file = FileHandle(fd);
        o.size = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));
        o.chunks = static_cast<std::uint32_t>((o.size + o.f.chunk_size - 1) / o.f.chunk_size);
        o.id = next_file_id();
        pb::FileMeta meta;
        meta.set_name(o.name);
        meta.set_size(o.size);
        meta.set_file_id(o.id);
        meta.set_chunk_size(o.f.chunk_size);
        engine_->set_transfer_lock({LockChannel::Tcp, o.id});
        if (!engine_->send_business(FILE_META, encode_file_meta(meta), ts, false)) return;
        o.started = true;
    }
    // `data` leaves as it came: a corrupted copy goes on the wire, the true bytes are hashed.
    auto send_data = [&](std::uint32_t index, Bytes& data, bool corrupt) -> bool {
        const std::uint32_t crc = crc32(data);
        if (corrupt && !data.empty()) data[0] ^= 0x5A;
        const bool sent = engine_->send_business(FILE_CHUNK, encode_file_chunk(FileChunkView{o.id, index, data, crc}), ts, true);
        if (corrupt && !data.empty()) data[0] ^= 0x5A;
        return sent;
    };
    auto send_chunk = [&](std::uint32_t index, bool corrupt) -> bool {
        auto data = o.read(index);
        return data && send_data(index, *data, corrupt);
    };
    auto send_done = [&]() {
        FileHasher whole = o.hasher;
        for (std::uint32_t i = o.next; i < o.chunks; ++i)
            if (auto d = o.read(i)) whole.update(*d);
        std::optional<Bytes> sha;
        if (o.f.digest) sha = sha_bytes(whole.finish());
        if (sha && o.f.wrong_digest) (*sha)[0] ^= 0xFF;
        engine_->send_file_done(o.id, true, std::nullopt, sha, false, ts);
        // Until the PC answers the file is still ours: its FILE_CANCEL must find it.
        engine_->set_transfer_lock({LockChannel::Tcp, o.id});
        o.done_sent = true;
    };
    while (!o.done_sent && engine_->tcp_out().size() < kWindow) {
        const std::uint32_t k = o.next;
        const bool last = o.chunks > 0 && k + 1 == o.chunks;
        if (k >= o.chunks) {
            send_done();
            break;
        }
        if (last && (o.f.done_early || o.f.withhold_last)) {
            send_done();
            if (o.f.done_early) send_chunk(k, false);
            break;
        }
        if (o.f.swap_chunk == k && !o.swapped && k + 1 < o.chunks) {
            o.swapped = true;
            send_chunk(k + 1, false);
            send_chunk(k, false);
            for (std::uint32_t i : {k, k + 1})
                if (auto d = o.read(i)) o.hasher.update(*d);
            o.next = k + 2;
            continue;
        }
        const bool drop = o.f.drop_chunk == k && !o.dropped;
        const bool corrupt = o.f.corrupt_chunk == k && !o.corrupted;
        if (drop) o.dropped = true;
        if (corrupt) o.corrupted = true;
        // One read serves the wire and the digest.
        if (!o.read_into(k, o.buffer) || (!drop && !send_data(k, o.buffer, corrupt))) return;
        o.hasher.update(o.buffer);
        o.next = k + 1;
        if (o.f.cancel_after == k) {
            engine_->send_file_done(o.id, false, std::string("手机端已取消"), std::nullopt, true, ts);
            return finish_job("file-out " + o.name + " cancelled 手机端已取消");
        }
        if (o.f.drop_tcp_after == k) {
            drop_tcp_after_flush_ = true;
            return finish_job("file-out " + o.name + " dropped");
        }
        if (o.f.pause_after == k) {
            o.paused = true;
            emit("file-paused " + o.name + " " + std::to_string(k));
            return;
        }
    }
}

void Phone::take_chunks() {
    if (!engine_) return;
    const ReceiveFaults& f = opt_.receive_faults;
    const std::uint64_t ts = clock_.wall_ms();
    for (ReceivedChunk& c : engine_->take_chunks()) {
        auto it = std::find_if(incoming_.begin(), incoming_.end(), [&](const auto& in) { return in->id == c.file_id; });
        if (it == incoming_.end()) continue;
        Incoming& in = **it;
        auto ask_from = [&](std::uint32_t k) {
            if (in.waiting_from == k) return;
            in.waiting_from = k;
            engine_->send_file_resume(in.id, k, ts);
            emit("file-resume " + in.name + " " + std::to_string(k));
        };
        if (c.index != in.next || crc32(c.data) != c.crc32) {
            if (c.index >= in.next) ask_from(in.next);
            continue;
        }
        if (f.resume_from == c.index && !in.resumed) {
            in.resumed = true;
            ask_from(c.index);
            continue;
        }
        const std::size_t length = c.data.size();
        in.sink->write(std::uint64_t{c.index} * in.chunk_size, std::move(c.data), c.crc32);
        if (in.sink->failure()) {
            emit("file-in " + in.name + " fail write");
            incoming_.erase(it);
            continue;
        }
        in.received += length;
        in.next += 1;
        in.waiting_from.reset();
        if (f.cancel_after == c.index) {
            pb::FileCancel cancel;
            cancel.set_file_id(in.id);
            cancel.set_reason("手机端已取消");
            engine_->add_cancelled(in.id);
            engine_->send_business(FILE_CANCEL, encode_file_cancel(cancel), ts, false);
            emit("file-in " + in.name + " cancelled");
            incoming_.erase(it);
            continue;
        }
        if (f.drop_tcp_after == c.index) drop_tcp_after_flush_ = true;
    }
}

void Phone::file_event(const AppEvent& e) {
    const std::uint64_t ts = clock_.wall_ms();
    const ReceiveFaults& f = opt_.receive_faults;
    if (const auto* meta = e.as<FileMetaReceivedEvent>()) {
        const std::string name = sanitize_file_name(meta->name).name;
        if (!f.refuse.empty()) {
            engine_->send_file_done(meta->file_id, false, f.refuse, std::nullopt, false, ts);
            emit("file-refused " + name);
            return;
        }
        auto in = std::make_unique<Incoming>();
        std::error_code ec;
        fs::create_directories(opt_.inbox, ec);
        in->path = fs::path(opt_.inbox) / name;
        const int fd = ::open(in->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            engine_->send_file_done(meta->file_id, false, std::string("手机端无法创建文件"), std::nullopt, false, ts);
            emit("file-in " + name + " fail create");
            return;
        }
        in->sink = writer_.sink(FileHandle(fd));
        in->id = meta->file_id;
        in->name = name;
        in->size = meta->size;
        in->chunk_size = meta->chunk_size == 0 ? 1 : meta->chunk_size;
        in->digest = meta->sha256;
        std::erase_if(incoming_, [&](const auto& old) { return old->id == in->id; });
        incoming_.push_back(std::move(in));
        return;
    }
    if (const auto* done = e.as<FileDoneReceivedEvent>()) {
        // Chunks queued ahead of the FILE_DONE belong before it.
        take_chunks();
        auto in_it = std::find_if(incoming_.begin(), incoming_.end(), [&](const auto& in) { return in->id == done->file_id; });
        if (in_it != incoming_.end()) {
            Incoming& in = **in_it;
            // The sender has not yet answered our resume request; its next FILE_DONE counts.
            if (done->ok && in.waiting_from) return;
            const ChunkSinkResult written = in.sink->finish();
            if (written.failure) {
                emit("file-in " + in.name + " fail write");
                incoming_.erase(in_it);
                return;
            }
            const Bytes sha = sha_bytes(written.digest);
            const std::optional<Bytes>& theirs = done->sha256 ? done->sha256 : in.digest;
            std::string reason;
            if (!done->ok) reason = done->error.empty() ? "电脑端报告失败" : done->error;
            else if (in.received != in.size) reason = "手机端不完整";
            else if (!theirs || *theirs != sha) reason = "手机端摘要不符";
            if (reason.empty() && f.never_answer) {
                emit("file-in " + in.name + " unanswered " + hex_lower(sha));
            } else if (reason.empty()) {
                engine_->send_file_done(in.id, true, std::nullopt, std::nullopt, false, ts);
                emit("file-in " + in.name + " ok " + hex_lower(sha));
            } else {
                if (done->ok) engine_->send_file_done(in.id, false, reason, std::nullopt, false, ts);
                emit("file-in " + in.name + " fail " + reason);
            }
            incoming_.erase(in_it);
            return;
        }
        if (!outgoing_.empty() && outgoing_.front()->id == done->file_id && outgoing_.front()->started) {
            const std::string name = outgoing_.front()->name;
            outgoing_.pop_front();
            engine_->set_transfer_lock({});
            emit("file-out " + name + (done->ok ? std::string(" ok") : " fail " + done->error));
        }
        return;
    }
    if (const auto* r = e.as<ResumeRequestedEvent>()) {
        if (outgoing_.empty() || outgoing_.front()->id != r->file_id) return;
        Outgoing& o = *outgoing_.front();
        if (r->chunk_index > o.chunks) return;
        o.hasher = FileHasher();
        for (std::uint32_t i = 0; i < r->chunk_index; ++i)
            if (auto d = o.read(i)) o.hasher.update(*d);
        o.next = r->chunk_index;
        o.done_sent = false;
        // Whatever was withheld is sent on a resume.
        o.f.withhold_last = false;
        o.f.done_early = false;
        emit("file-resume " + o.name + " " + std::to_string(r->chunk_index));
        return;
    }
    if (const auto* c = e.as<TransferCancelledEvent>()) {
        auto in_it = std::find_if(incoming_.begin(), incoming_.end(), [&](const auto& in) { return in->id == c->file_id; });
        if (in_it != incoming_.end()) {
            emit("file-in " + (*in_it)->name + " cancelled " + c->reason);
            ::unlink((*in_it)->path.c_str());
            incoming_.erase(in_it);
            return;
        }
        if (!outgoing_.empty() && outgoing_.front()->id == c->file_id) {
            emit("file-out " + outgoing_.front()->name + " cancelled " + c->reason);
            outgoing_.pop_front();
        }
        return;
    }
    if (const auto* t = e.as<TransferInterruptedEvent>()) {
        std::erase_if(incoming_, [&](const auto& in) { return in->id == t->file_id; });
        if (!outgoing_.empty() && outgoing_.front()->id == t->file_id) {
            emit("file-out " + outgoing_.front()->name + " fail " + t->text);
            outgoing_.pop_front();
        }
    }
}

void Phone::queue_outgoing(SendFile& s) {
    auto o = std::make_unique<Outgoing>();
    o->name = fs::path(s.path).filename().string();
    o->path = std::move(s.path);
    o->f = s.faults;
    if (o->f.chunk_size == 0) o->f.chunk_size = 1;
    outgoing_.push_back(std::move(o));
}

void Phone::drop_transfers() {
    incoming_.clear();
    outgoing_.clear();
}

}  // namespace dovan::phonesim
