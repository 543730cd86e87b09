#pragma once
// The supervisor of a print command: `spoolmere-supervise --supervise command args...` (or
// the server program itself with the same arguments, where the small one is missing), with
// the locked print record open as descriptor 3. Runs the command (same folder, same process
// group, same output, every signal at its default), writes how it ended into the record
// ("exit N" or "signal N"), and ends the same way. Free of Qt: it starts once per print,
// and loading the server's libraries took most of the time a short print needs.

#include <spawn.h>

constexpr char SuperviseOption[] = "--supervise";
constexpr int SupervisedRecordFd = 3;
int runSupervisor(int argc, char** argv);
// Spawn attributes for a print command: every signal at its default and none blocked,
// whatever the server or its launcher set (a command that inherits an ignored SIGCHLD loses
// its own children's exit statuses).
void initPrintSpawnAttributes(posix_spawnattr_t* attr);
