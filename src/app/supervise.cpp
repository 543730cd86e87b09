// spoolmere-supervise: the supervisor of the server's print commands, started once by the
// server (see platform/supervisor.h).

#include "platform/supervisor.h"

#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], SuperviseOption) != 0)
        return 127;
    return runSupervisor();
}
