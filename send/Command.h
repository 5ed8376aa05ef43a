#pragma once
// scaledb-send as a whole: command line in, exit status out.

namespace sendcmd {

int RunCommand(int argc, char** argv);

} // namespace sendcmd
