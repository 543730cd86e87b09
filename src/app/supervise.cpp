// spoolmere-supervise: the supervisor of one print command, started by the server for each
// print (see platform/supervisor.h).

#include "platform/supervisor.h"

#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 3 || std::strcmp(argv[1], SuperviseOption) != 0)
        return 127;
    return runSupervisor(argc, argv);
}
