// scaledb-send: sends a table to many scales at once, unattended.
#include "Command.h"

int main(int argc, char** argv) {
    return sendcmd::RunCommand(argc, argv);
}
