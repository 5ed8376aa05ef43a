#pragma once
// scaledb-send as a whole: command line in, exit status out.

namespace send {

int RunCommand(int argc, char** argv);

} // namespace send
