#pragma once
// The supervisor of the print commands: one process per server, `spoolmere-supervise
// --supervise` (or the server program itself with that option, where the small one is
// missing), with a socket to the server as descriptor 3. The server hands it each print
// command with the command's output pipe and the job's locked print record; it starts the
// command (in a process group of its own, every signal at its default), and when the
// command ends writes how it ended into the record ("exit N" or "signal N"), lets go of the
// record and tells the server. A supervisor whose server died goes on until its commands
// have ended, so their ends are still recorded; then it ends too.
//
// It lives as long as the server so that a print costs one process start, not two; it is
// free of Qt so that it starts quickly and does nothing but this.

#include <spawn.h>

#include <cstdint>

constexpr char SuperviseOption[] = "--supervise";
constexpr int SupervisorSocketFd = 3;

// What the supervisor tells the server, one message each.
struct SupervisorReply
{
    enum Kind : int32_t
    {
        Started = 1, // `value` is 0, or the errno of a start that failed
        Ended = 2    // `value` is the command's wait status
    };
    int32_t kind;
    int32_t pid;
    int32_t value;
};

// Serves the server on descriptor 3 until the server is gone and every command has ended.
int runSupervisor();

// Appends a command's end to its print record ("exit N", or "signal N" for a wait status
// of a command killed by a signal).
void appendRecordEnd(int record, int status);

// Spawn attributes for a print command: every signal at its default and none blocked,
// whatever the server or its launcher set (a command that inherits an ignored SIGCHLD loses
// its own children's exit statuses).
void initPrintSpawnAttributes(posix_spawnattr_t* attr);
// The rest of a print command's start: standard input /dev/null, standard output and error
// to `output`, a process group of its own.
void addPrintCommandSpawn(posix_spawn_file_actions_t* actions, posix_spawnattr_t* attr, int output);
