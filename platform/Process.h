#pragma once
// Who a process is, well enough to tell later whether it still runs: a pid is
// reused, so its start time since boot and the boot it ran in come with it.
#include <cstdint>
#include <string>

namespace platform {

struct ProcessIdentity {
    int pid = 0;
    std::uint64_t start = 0; // clock ticks after boot (/proc/PID/stat)
    std::string boot;        // "HOST BOOT-ID": the machine and the boot it ran in
};

// This process.
ProcessIdentity ThisProcess();

enum class ProcessState {
    Running, // still the same process
    Gone,    // ended: the pid is free or another process's, or the machine booted since
    Unknown  // not known here: another machine's, or nothing was recorded
};
ProcessState StateOf(const ProcessIdentity& process);

} // namespace platform
