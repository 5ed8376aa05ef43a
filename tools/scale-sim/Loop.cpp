// The event loop of all links. With hundreds of scales in one process, a turn costs
// what is ready in it: descriptors are registered with epoll when a link's wishes
// change, and the links' own times (delayed replies, the end of a hold) wait in a heap.
#include "Link.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <optional>
#include <queue>
#include <sys/epoll.h>
#include <unistd.h>

namespace scalesim {

namespace {

static_assert(EPOLLIN == POLLIN && EPOLLPRI == POLLPRI && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP);

constexpr auto kNever = Clock::time_point::max();

// The upper half of an event's data: 0 for the loop's own descriptors, else the link's
// index plus one. The lower half is the descriptor.
std::uint64_t Tag(std::size_t slot, int fd) {
    return (static_cast<std::uint64_t>(slot) << 32) | static_cast<std::uint32_t>(fd);
}

class Loop {
public:
    Loop(const std::vector<Link*>& links, int stopFd, bool watchStdin)
        : epoll_(::epoll_create1(EPOLL_CLOEXEC)), stopFd_(stopFd), watchStdin_(watchStdin) {
        if (!epoll_) ThrowErrno("epoll_create1");
        Control(EPOLL_CTL_ADD, stopFd_, EPOLLIN, Tag(0, stopFd_));
        if (watchStdin_) WatchStdin();
        entries_.resize(links.size());
        for (std::size_t i = 0; i < links.size(); ++i) {
            entries_[i].link = links[i];
            Register(i);
            Schedule(i);
        }
    }

    int Run() {
        for (;;) {
            if (events_.size() < registered_ + 2) events_.resize(registered_ + 2);
            const int n = Wait();
            if (n < 0) {
                if (errno == EINTR) continue;
                ThrowErrno("epoll_wait");
            }
            ++turn_;
            ready_.clear();
            bool stop = false;
            bool stdinReady = stdinAlwaysReady_;
            for (int k = 0; k < n; ++k) {
                const std::uint64_t slot = events_[k].data.u64 >> 32;
                const int fd = static_cast<int>(static_cast<std::uint32_t>(events_[k].data.u64));
                if (slot == 0) {
                    (fd == stopFd_ ? stop : stdinReady) = true;
                    continue;
                }
                Entry& e = Mark(slot - 1);
                for (pollfd& p : e.watched)
                    if (p.fd == fd) p.revents = static_cast<short>(events_[k].events);
            }
            if (stop) {
                Verbose("stop signal");
                break;
            }
            if (watchStdin_ && stdinReady) {
                char buf[512];
                ssize_t r = ::read(STDIN_FILENO, buf, sizeof buf);
                if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
                    Verbose("end of standard input");
                    break;
                }
            }
            const auto now = Clock::now();
            while (!timers_.empty() && timers_.top().at <= now) {
                const Timer t = timers_.top();
                timers_.pop();
                if (entries_[t.entry].due != t.at) continue; // rescheduled since
                entries_[t.entry].due = kNever;
                Mark(t.entry);
            }
            // In the order of the scales, as when every link was looked at in every turn.
            std::sort(ready_.begin(), ready_.end());
            for (std::size_t i : ready_)
                Handle(i);
            if (!entries_.empty() && finished_ == entries_.size()) {
                for (Entry& e : entries_)
                    e.link->Finish();
                break;
            }
        }
        int status = 0;
        for (const Entry& e : entries_)
            status = std::max(status, e.link->ExitCode());
        return status;
    }

private:
    struct Entry {
        Link* link = nullptr;
        // As registered; the turn's results in revents.
        std::vector<pollfd> watched;
        std::uint64_t closes = 0;       // the link's Closes() when `watched` was registered
        Clock::time_point due = kNever; // of its timer in the heap
        std::uint64_t turn = 0;         // the last turn it was marked ready in
        bool finished = false;
    };
    struct Timer {
        Clock::time_point at;
        std::size_t entry;
        bool operator>(const Timer& other) const { return at > other.at; }
    };

    void Control(int op, int fd, std::uint32_t events, std::uint64_t tag) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = tag;
        if (::epoll_ctl(epoll_.Get(), op, fd, &ev) != 0) ThrowErrno("epoll_ctl");
    }

    void WatchStdin() {
        if (STDIN_FILENO == stopFd_) { // standard input was closed when the pipe was made
            watchStdin_ = false;
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = Tag(0, STDIN_FILENO);
        if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, STDIN_FILENO, &ev) == 0) return;
        if (errno == EPERM)
            stdinAlwaysReady_ = true; // a file or /dev/null: always readable, as poll() says
        else if (errno == EBADF)
            watchStdin_ = false; // no standard input at all: nothing to wait for
        else
            ThrowErrno("epoll_ctl");
    }

    // Brings epoll in line with the descriptors the link wants watched now.
    void Register(std::size_t i) {
        Entry& e = entries_[i];
        wanted_.clear();
        e.link->AddFds(wanted_);
        const bool closed = e.link->Closes() != e.closes;
        e.closes = e.link->Closes();
        auto find = [](std::vector<pollfd>& fds, int fd) {
            return std::find_if(fds.begin(), fds.end(), [fd](const pollfd& p) { return p.fd == fd; });
        };
        for (const pollfd& old : e.watched) {
            if (!closed && find(wanted_, old.fd) != wanted_.end()) continue;
            // A closed descriptor has already left epoll: the error is expected then.
            ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, old.fd, nullptr);
            --registered_;
        }
        for (const pollfd& p : wanted_) {
            const auto old = closed ? e.watched.end() : find(e.watched, p.fd);
            if (old == e.watched.end()) {
                Control(EPOLL_CTL_ADD, p.fd, static_cast<std::uint16_t>(p.events), Tag(i + 1, p.fd));
                ++registered_;
            } else if (old->events != p.events) {
                Control(EPOLL_CTL_MOD, p.fd, static_cast<std::uint16_t>(p.events), Tag(i + 1, p.fd));
            }
        }
        e.watched.swap(wanted_);
    }

    void Schedule(std::size_t i) {
        Entry& e = entries_[i];
        const auto due = e.link->Due();
        if (due == e.due) return;
        e.due = due;
        if (due != kNever) timers_.push({due, i});
    }

    Entry& Mark(std::size_t i) {
        Entry& e = entries_[i];
        if (e.turn != turn_) {
            e.turn = turn_;
            for (pollfd& p : e.watched)
                p.revents = 0;
            ready_.push_back(i);
        }
        return e;
    }

    void Handle(std::size_t i) {
        Entry& e = entries_[i];
        e.link->Handle(e.watched.data(), e.watched.size());
        Register(i);
        Schedule(i);
        const bool finished = e.link->Finished();
        if (finished != e.finished) {
            e.finished = finished;
            finished ? ++finished_ : --finished_;
        }
    }

    // Waits for events until the first timer is due.
    int Wait() {
        while (!timers_.empty() && entries_[timers_.top().entry].due != timers_.top().at)
            timers_.pop();
        std::optional<Clock::duration> wait; // none: no timer
        if (stdinAlwaysReady_)
            wait = Clock::duration::zero();
        else if (!timers_.empty())
            wait = std::max(Clock::duration::zero(), timers_.top().at - Clock::now());
        const int size = static_cast<int>(events_.size());
// Not under ThreadSanitizer: it does not intercept epoll_pwait2, and runs a
// signal's handler only at a call it intercepts, so SIGTERM could wait for ever.
#if defined(__GLIBC_PREREQ) && !defined(__SANITIZE_THREAD__)
#if __GLIBC_PREREQ(2, 35)
        // To the nanosecond: rounded to whole milliseconds, the replies of hundreds of
        // scales, each due at its own moment, would be half a millisecond late on average.
        if (precise_) {
            timespec ts{};
            if (wait) {
                const auto s = std::chrono::floor<std::chrono::seconds>(*wait);
                ts.tv_sec = static_cast<time_t>(s.count());
                ts.tv_nsec = static_cast<long>(std::chrono::nanoseconds(*wait - s).count());
            }
            const int n = ::epoll_pwait2(epoll_.Get(), events_.data(), size, wait ? &ts : nullptr, nullptr);
            if (n >= 0 || errno != ENOSYS) return n;
            precise_ = false; // an older kernel
        }
#endif
#endif
        int ms = -1;
        if (wait) {
            // Rounded up: waking early would only spin.
            const auto up = std::chrono::ceil<std::chrono::milliseconds>(*wait).count();
            ms = up < INT_MAX ? static_cast<int>(up) : INT_MAX;
        }
        return ::epoll_wait(epoll_.Get(), events_.data(), size, ms);
    }

    void Verbose(const char* text) const {
        if (!entries_.empty()) entries_.front().link->Note(text);
    }

    Fd epoll_;
    const int stopFd_;
    bool watchStdin_;
    bool stdinAlwaysReady_ = false;
    bool precise_ = true;
    std::vector<Entry> entries_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::vector<epoll_event> events_;
    std::vector<std::size_t> ready_;
    std::vector<pollfd> wanted_;
    std::size_t registered_ = 0;
    std::size_t finished_ = 0;
    std::uint64_t turn_ = 0;
};

} // namespace

int RunLinks(const std::vector<Link*>& links, int stopFd, bool watchStdin) {
    return Loop(links, stopFd, watchStdin).Run();
}

} // namespace scalesim
