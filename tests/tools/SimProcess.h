#pragma once

// Runs the simulated scale (tools/scale-sim) as a child process for a test.
//
//   SimProcess sim;
//   sim.Start({"--tcp", "--log", sim.LogPath()});
//   connect to 127.0.0.1:sim.Port() ...
//   EXPECT_EQ(sim.ReadLog(), "SbP\r\n");
//
// The child's standard input is a pipe held by this object, so the simulator also ends
// when the test process dies. The destructor stops it (SIGTERM, then SIGKILL after a
// grace period) and removes the temporary directory of LogPath()/TempDir().

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

class SimProcess {
public:
    using Ms = std::chrono::milliseconds;

    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        Stop();
        if (!tempDir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(tempDir_, ec);
        }
    }

    static std::string ExecutablePath() { return SCALEDB_BIN_DIR "/scale-sim"; }

    // Starts the simulator and waits for its "PORT ..." line. Throws std::runtime_error
    // when it cannot start or exits first (a usage error, a port in use).
    void Start(std::vector<std::string> args, Ms timeout = Ms(10000)) {
        if (pid_ > 0) throw std::runtime_error("SimProcess already started");
        Launch(args);
        if (!WaitForLineIf([](const std::string& l) { return l.rfind("PORT ", 0) == 0; }, timeout)) {
            const int status = Stop();
            throw std::runtime_error("scale-sim did not report its port (exit status " +
                                     std::to_string(status) + ")");
        }
        std::lock_guard lock(mutex_);
        for (const auto& l : lines_)
            if (l.rfind("PORT ", 0) == 0) {
                portText_ = l.substr(5);
                break;
            }
    }

    // The device path (serial) or port number (TCP, UDP) the simulator listens on.
    const std::string& PortText() const { return portText_; }
    int Port() const { return std::stoi(portText_); }

    // With --count N: the N links in order, waiting until all their PORT lines came.
    std::vector<std::string> PortTexts(std::size_t n, Ms timeout = Ms(10000)) {
        std::vector<std::string> ports;
        auto collect = [&] {
            ports.clear();
            for (const auto& l : lines_)
                if (l.rfind("PORT ", 0) == 0) ports.push_back(l.substr(5));
            return ports.size() >= n || outputClosed_;
        };
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, collect);
        return ports;
    }
    std::vector<int> Ports(std::size_t n, Ms timeout = Ms(10000)) {
        std::vector<int> ports;
        for (const auto& p : PortTexts(n, timeout))
            ports.push_back(std::stoi(p));
        return ports;
    }
    pid_t Pid() const { return pid_; }

    // A private temporary directory, created on first use, removed by the destructor.
    const std::string& TempDir() {
        if (tempDir_.empty()) {
            std::string tmpl = (std::filesystem::temp_directory_path() / "scale-sim-XXXXXX").string();
            if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
            tempDir_ = tmpl;
        }
        return tempDir_;
    }
    std::string LogPath() { return TempDir() + "/scale.log"; }

    // The log's bytes so far ("" while it does not exist).
    std::string ReadLog() {
        std::ifstream in(LogPath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Waits until the log holds exactly `expected`, or the timeout; returns the last log read.
    std::string WaitForLog(const std::string& expected, Ms timeout = Ms(5000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string log = ReadLog();
        while (log != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(Ms(2));
            log = ReadLog();
        }
        return log;
    }

    // Lines the simulator printed on standard output so far, without their LF.
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    // Waits for a line of standard output equal to `line`. False on timeout or when the
    // simulator closed its output first.
    bool WaitForLine(const std::string& line, Ms timeout = Ms(5000)) {
        return WaitForLineIf([&](const std::string& l) { return l == line; }, timeout);
    }
    bool WaitForLineIf(const std::function<bool(const std::string&)>& match, Ms timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::any_of(lines_.begin(), lines_.end(), match) || outputClosed_;
        }) && std::any_of(lines_.begin(), lines_.end(), match);
    }

    // Ends the simulator's standard input, which makes it exit.
    void CloseStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    // Waits for the simulator to exit by itself. Returns its exit status (128 + signal
    // when killed), or nothing on timeout.
    std::optional<int> WaitForExit(Ms timeout = Ms(5000)) {
        if (pid_ <= 0) return exitStatus_;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                exitStatus_ =
                    r == pid_ ? (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) : -1;
                pid_ = -1;
                Cleanup();
                return exitStatus_;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(Ms(1));
        }
    }

    // Freezes the simulator (SIGSTOP) until Thaw or Stop: it hears and answers nothing, while
    // the kernel still takes connections and bytes for it. A sender then waits as long as
    // the test likes.
    void Freeze() {
        if (pid_ > 0 && ::kill(pid_, SIGSTOP) == 0) frozen_ = true;
    }
    void Thaw() {
        if (frozen_ && pid_ > 0) ::kill(pid_, SIGCONT);
        frozen_ = false;
    }

    // Stops the simulator (SIGTERM, SIGKILL when it does not end in 5 s). Returns its exit
    // status; -1 when it was never started. Safe to call more than once.
    int Stop() {
        Thaw();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (!WaitForExit(Ms(5000))) {
                ::kill(pid_, SIGKILL);
                WaitForExit(Ms(5000));
            }
        }
        Cleanup();
        return exitStatus_.value_or(-1);
    }

private:
    void Launch(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            throw std::runtime_error("pipe2 failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Descriptors the test holds (ptys, sockets) must not stay open in the simulator.
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
        // The spawning thread may block signals (Qt does); the simulator needs them.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
            sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        const std::string path = ExecutablePath();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            throw std::runtime_error("cannot start " + path + ": " + std::to_string(rc));
        }
        pid_ = pid;
        exitStatus_.reset();
        stdin_ = in[1];
        {
            std::lock_guard lock(mutex_);
            lines_.clear();
            outputClosed_ = false;
        }
        reader_ = std::thread([this, fd = out[0]] { ReadOutput(fd); });
    }

    void ReadOutput(int fd) {
        std::string partial;
        char buf[512];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            partial.append(buf, static_cast<std::size_t>(n));
            std::lock_guard lock(mutex_);
            for (std::size_t lf; (lf = partial.find('\n')) != std::string::npos; partial.erase(0, lf + 1))
                lines_.push_back(partial.substr(0, lf));
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        outputClosed_ = true;
        changed_.notify_all();
    }

    void Cleanup() {
        CloseStdin();
        // The reader ends at the end of the output, which comes with the simulator's exit.
        if (reader_.joinable() && pid_ <= 0) reader_.join();
    }

    pid_t pid_ = -1;
    bool frozen_ = false;
    int stdin_ = -1;
    std::optional<int> exitStatus_;
    std::string portText_;
    std::string tempDir_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool outputClosed_ = false;
};
