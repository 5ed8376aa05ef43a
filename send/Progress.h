#pragma once
// Progress on a terminal: a line per target, updated in place on standard error.
#include "Targets.h"

#include <QTimer>

#include <string>
#include <vector>

namespace fleet {
class TFleet;
}

namespace sendcmd {

class Progress {
public:
    Progress(const fleet::TFleet& sender, const std::vector<Target>& targets);
    ~Progress();
    // Removes the lines, so the final lines take their place.
    void Clear();

private:
    void Draw();

    const fleet::TFleet& sender_;
    std::vector<std::string> names_;
    std::size_t width_ = 0;
    int drawn_ = 0;
    QTimer timer_;
};

} // namespace sendcmd
