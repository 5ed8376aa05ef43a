#pragma once
// Runs scaledb-send as a child process, as cron or a shell would.
//
//   SendProcess send(dir);
//   int status = send.Run({"table.csv", "tcp:127.0.0.1:4001"});
//   send.Out(), send.Err()
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

class SendProcess {
public:
    using Ms = std::chrono::milliseconds;

    // `dir` holds the outputs; `program` may be a copy of the executable elsewhere.
    explicit SendProcess(std::string dir, std::string program = SCALEDB_BIN_DIR "/scaledb-send")
        : dir_(std::move(dir)), program_(std::move(program)) {}
    SendProcess(const SendProcess&) = delete;
    SendProcess& operator=(const SendProcess&) = delete;
    ~SendProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }

    void Start(const std::vector<std::string>& args) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir_ + "/stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_ + "/stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
        // Qt blocks signals in the test's threads; the command needs them.
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
        std::vector<char*> argv{const_cast<char*>(program_.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, program_.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) throw std::runtime_error("cannot start " + program_);
    }

    // The exit status (128 + n after signal n), or -1 after `timeout` (the child is then killed).
    int Wait(Ms timeout = Ms(60000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                status_ = -1;
                break;
            }
            std::this_thread::sleep_for(Ms(2));
        }
        return status_;
    }

    int Run(const std::vector<std::string>& args, Ms timeout = Ms(60000)) {
        Start(args);
        return Wait(timeout);
    }

    pid_t Pid() const {
        return pid_;
    }
    void Signal(int sig) const {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    std::string Out() const {
        return Read(dir_ + "/stdout");
    }
    std::string Err() const {
        return Read(dir_ + "/stderr");
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string dir_;
    std::string program_;
    pid_t pid_ = -1;
    int status_ = -1;
};
