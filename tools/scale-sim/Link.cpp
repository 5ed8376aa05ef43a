#include "Link.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace scalesim {

namespace {
// A line that never ends must not eat the memory of the machine running the tests.
constexpr std::size_t kMaxLine = 16 * 1024 * 1024;
} // namespace

bool Link::Command(std::string_view command, std::string_view logBytes, std::uint64_t target,
                   const sockaddr_in& to) {
    if (options_.verbose) Verbose("received " + Escape(logBytes));
    Decision d = scale_.OnCommand(command, logBytes);
    if (d.drop != Decision::Drop::None) {
        Verbose(d.drop == Decision::Drop::Reset ? "resetting the connection" : "closing the connection");
        Drop(d.drop);
        return false;
    }
    if (d.reply) {
        if (options_.verbose) Verbose("reply " + Escape(*d.reply));
        Queue(*d.reply, target, to);
    }
    if (d.stray) {
        if (options_.verbose) Verbose("stray reply " + Escape(*d.stray));
        QueueAfter(*d.stray, target, to, std::chrono::milliseconds(20));
    }
    if (d.exitAfterReply) exitPending_ = true;
    return true;
}

bool Link::ConsumeStream(std::string& pending, std::string_view data, std::uint64_t target) {
    std::size_t scan = pending.size(); // only the new bytes can hold the next LF
    pending.append(data);
    std::size_t start = 0;
    for (std::size_t lf; (lf = pending.find('\n', scan)) != std::string::npos; scan = start) {
        std::string_view raw(pending.data() + start, lf + 1 - start);
        std::string_view content = raw.substr(0, raw.size() - 1);
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        start = lf + 1;
        if (!Command(content, raw, target)) {
            pending.clear();
            return false;
        }
    }
    pending.erase(0, start);
    if (pending.size() > kMaxLine) {
        Verbose("line too long, discarded");
        pending.clear();
    }
    return true;
}

void Link::Queue(const std::string& reply, std::uint64_t target, const sockaddr_in& to) {
    const auto pause = std::chrono::milliseconds(options_.splitPauseMs);
    auto due = Clock::now() + std::chrono::milliseconds(options_.delayMs);
    // Replies never overtake or interleave with one still waiting.
    if (!queue_.empty())
        due = std::max(due, queue_.back().due + (options_.split ? pause : Clock::duration::zero()));
    const auto gap = std::chrono::milliseconds(options_.doubleGapMs);
    // --double: the same reply once more, --double-gap after the first one went out
    // (counted from the write, so a late start keeps the gap) and, on a pty,
    // once the program has read the first.
    for (int copy = options_.doubleReply ? 2 : 1; copy > 0; --copy) {
        const auto next = due + gap;
        const std::size_t first = queue_.size();
        if (!options_.split) {
            queue_.push_back({due, reply, target, to});
        } else {
            for (char c : reply) {
                queue_.push_back({due, std::string(1, c), target, to});
                due += pause;
            }
        }
        if (copy == 1 && options_.doubleReply) queue_[first].gap = gap;
        due = std::max(next, due);
    }
}

void Link::QueueAfter(const std::string& bytes, std::uint64_t target, const sockaddr_in& to,
                      Clock::duration gap) {
    auto due = Clock::now();
    if (!queue_.empty()) due = std::max(due, queue_.back().due);
    queue_.push_back({due + gap, bytes, target, to});
    queue_.back().gap = gap;
}

void Link::Flush() {
    if (queue_.empty()) {
        writeBlocked_ = false;
        return;
    }
    const auto now = Clock::now();
    while (!queue_.empty() && queue_.front().due <= now) {
        // A second copy must reach the program as a reply of its own.
        Chunk& next = queue_.front();
        if (next.gap > Clock::duration::zero() && next.readWaits < 1000 && !PeerHasRead()) {
            ++next.readWaits;
            next.due = now + std::chrono::milliseconds(1);
            break;
        }
        // --hold: replies due at once go out in one write, as from a busy scale's buffer.
        while (options_.holdMs > 0 && !options_.split && queue_.size() > 1 && queue_[1].due <= now &&
               queue_[1].gap == Clock::duration::zero() && queue_[1].target == queue_.front().target) {
            std::string more = std::move(queue_[1].bytes);
            queue_.erase(queue_.begin() + 1); // references into the queue are gone now
            queue_.front().bytes += more;
        }
        if (Write(queue_.front()) != WriteResult::Done) {
            writeBlocked_ = true;
            return;
        }
        queue_.pop_front();
        if (!queue_.empty() && queue_.front().gap > Clock::duration::zero())
            queue_.front().due = std::max(queue_.front().due, Clock::now() + queue_.front().gap);
    }
    writeBlocked_ = false;
}

Clock::time_point Link::Due() const {
    const auto own = LinkDue();
    if (queue_.empty() || writeBlocked_) return own;
    return std::min(own, queue_.front().due);
}

void Link::Verbose(const std::string& text) const {
    if (!options_.verbose) return;
    std::cerr << "scale-sim: ";
    if (options_.index != 0) std::cerr << "#" << options_.index << ": ";
    std::cerr << text << std::endl;
}

std::string Link::Escape(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace scalesim
