#pragma once
// Every command and reply, time-stamped, with its target, bytes escaped.
#include <cstdio>
#include <string>

namespace fleet {

class SendLog {
public:
    // Appends to `path`; throws Refused when it cannot be opened. An empty path logs nothing.
    explicit SendLog(const std::string& path);
    ~SendLog();
    SendLog(const SendLog&) = delete;
    SendLog& operator=(const SendLog&) = delete;
    // `target` is the target's text, with its name quoted after it when it has one.
    void Write(const std::string& target, const char* what, const std::string& text);
    // False for an empty path: what would be written need not be made.
    bool Enabled() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
};

} // namespace fleet
