#include "Log.h"

#include <QDateTime>

#include "fleet/Result.h"

namespace fleet {

SendLog::SendLog(const std::string& path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (!file_) throw Refused("cannot write the log " + path);
}

SendLog::~SendLog() {
    if (file_) std::fclose(file_);
}

void SendLog::Write(const std::string& target, const char* what, const std::string& text) {
    if (!file_) return;
    const std::string stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    std::fprintf(file_, "%s %s %s %s\n", stamp.c_str(), target.c_str(), what, text.c_str());
    std::fflush(file_); // a run that is killed still leaves what it did
}

} // namespace fleet
