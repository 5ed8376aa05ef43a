#include "Stale.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace sendcmd {

namespace {

struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    bool operator==(const FileState& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileState StateOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw EInOutError(std::strerror(errno), errno);
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

scales::FileDigest DigestOf(const std::string& path) {
    std::string why;
    auto digest = scales::DigestFile(path, &why);
    if (digest) return *digest;
    // The loader names what is wrong (a folder, a device) as everywhere else.
    LoadDatabaseFile(path);
    throw EInOutError(why, 0);
}

} // namespace

SteadyTable LoadSteadyTable(const std::string& path) {
    // A point-of-sale system may still be writing its export when a run starts: the bytes
    // sent and the hash recorded must both be of one finished file.
    const FileState before = StateOf(path);
    const scales::FileDigest first = DigestOf(path);
    SteadyTable steady{LoadDatabaseFile(path), {}};
    steady.digest = DigestOf(path);
    const FileState after = StateOf(path);
    if (!(before == after) || first.sha256 != steady.digest.sha256 || first.size != steady.digest.size ||
        steady.digest.size != after.size)
        throw TableChanging("the table " + path +
                            " changed while it was read (is it still being written?); nothing was sent, "
                            "try again when it is complete");
    return steady;
}

StaleSplit SplitByHolding(scales::History& history, const std::vector<Target>& targets,
                          const scales::FileDigest& digest, scales::TableKind kind, int rows) {
    StaleSplit split;
    std::vector<std::optional<TargetResult>> held(targets.size());
    bool any = false;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Target& t = targets[i];
        for (const scales::Holding& h : history.Holdings(ScaleKey(t.text))) {
            if (h.kind != kind || h.Incomplete() || !h.complete || h.complete->sha256 != digest.sha256 ||
                h.complete->size != digest.size)
                continue;
            TargetResult r;
            r.target = t.text;
            r.name = t.name.empty() ? h.name : t.name;
            r.outcome = TargetResult::Outcome::Sent;
            r.rows = rows;
            r.heldSince = scales::FormatLocalTime(h.complete->ended);
            held[i] = std::move(r);
            any = true;
        }
        if (!held[i]) split.stale.push_back(t);
    }
    if (any) split.held = std::move(held);
    return split;
}

std::vector<TargetResult> MergeResults(const StaleSplit& split, const std::vector<TargetResult>& sent) {
    if (split.held.empty()) return sent;
    std::vector<TargetResult> all;
    auto next = sent.begin();
    for (const auto& h : split.held) {
        if (h)
            all.push_back(*h);
        else if (next != sent.end())
            all.push_back(*next++);
    }
    return all;
}

} // namespace sendcmd
