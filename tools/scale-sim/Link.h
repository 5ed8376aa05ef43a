#pragma once

#include "Options.h"
#include "Scale.h"
#include "Sys.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>

namespace scalesim {

using Clock = std::chrono::steady_clock;

// The reply queue shared by the three links, and their side of the event loop. A link
// supplies its descriptors, reads commands and writes the queued reply bytes.
class Link {
public:
    Link(const Options& options, Scale& scale) : options_(options), scale_(scale) {}
    virtual ~Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Text after "PORT " on the first line of standard output.
    virtual std::string PortText() const = 0;

    // The event loop's side (RunLinks).
    // Appends the descriptors to watch now, with their events.
    void AddFds(std::vector<pollfd>& fds) { AddPollFds(fds); }
    // Takes the entries AddFds appended, then writes the replies that are due.
    void Handle(const pollfd* fds, std::size_t count) {
        HandlePoll(fds, count);
        Flush();
    }
    // When the link has something to do although none of its descriptors is ready;
    // time_point::max(): nothing.
    Clock::time_point Due() const;
    // How many descriptors the link has closed, so that a new one given the same
    // number is not taken for the old one.
    std::uint64_t Closes() const { return closes_; }
    // --exit-when-done was met and the last reply is out.
    bool Finished() const { return exitPending_ && queue_.empty(); }
    void Finish() { Drain(); }
    int ExitCode() const { return scale_.ExitCode(); }
    void Note(const std::string& text) const { Verbose(text); }

protected:
    // Bytes to write once `due` has come. `target` tells the link where they go:
    // the connection number on TCP; `to` the address on UDP.
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
        std::uint64_t target = 0;
        sockaddr_in to{};
        // Written no sooner than this long after the chunk before it went out,
        // and not before the peer has read that chunk (for a second at most).
        Clock::duration gap{};
        int readWaits = 0;
    };
    enum class WriteResult { Done, Partial, Blocked };

    virtual void AddPollFds(std::vector<pollfd>& fds) = 0;
    // Gets the entries that AddPollFds appended, with their results.
    virtual void HandlePoll(const pollfd* fds, std::size_t count) = 0;
    // Writes as much of the chunk as the descriptor takes and removes what was written.
    // A chunk whose target is gone counts as written.
    virtual WriteResult Write(Chunk& chunk) = 0;
    // Closes the current connection (TCP only).
    virtual void Drop(Decision::Drop) {}
    // Called before exiting so the last reply reaches the peer.
    virtual void Drain() {}
    // When the link itself has something to do; time_point::max(): nothing.
    virtual Clock::time_point LinkDue() const { return Clock::time_point::max(); }
    // True when the peer has taken everything written so far (known on a pty only).
    virtual bool PeerHasRead() const { return true; }

    // Handles one received command; `target` and `to` say where its reply goes.
    // Returns false when the command closed the stream.
    bool Command(std::string_view command, std::string_view logBytes, std::uint64_t target = 0,
                 const sockaddr_in& to = {});
    // Splits a byte stream at LF into command lines; keeps the unfinished rest in `pending`.
    // Stops early (returns false) when a command closed the stream.
    bool ConsumeStream(std::string& pending, std::string_view data, std::uint64_t target);

    bool WriteBlocked() const { return writeBlocked_; }
    // To be called whenever the link closes a descriptor it watched.
    void Closed() { ++closes_; }
    void Verbose(const std::string& text) const;
    static std::string Escape(std::string_view bytes);

    const Options& options_;
    Scale& scale_;

private:
    void Queue(const std::string& reply, std::uint64_t target, const sockaddr_in& to);
    // Bytes written `gap` after everything queued before them went out.
    void QueueAfter(const std::string& bytes, std::uint64_t target, const sockaddr_in& to,
                    Clock::duration gap);
    void Flush();

    std::deque<Chunk> queue_;
    bool writeBlocked_ = false;
    bool exitPending_ = false;
    std::uint64_t closes_ = 0;
};

// Runs the links until a stop signal arrives on `stopFd`, standard input ends (when
// watched) or every link is finished. Returns the highest exit status of their scales.
int RunLinks(const std::vector<Link*>& links, int stopFd, bool watchStdin);

std::unique_ptr<Link> MakeSerialLink(const Options& options, Scale& scale);
std::unique_ptr<Link> MakeTcpLink(const Options& options, Scale& scale);
std::unique_ptr<Link> MakeUdpLink(const Options& options, Scale& scale);

} // namespace scalesim
