#pragma once
// Lock files are empty markers: only their names count. Each one is made as another hard
// link to a single empty file in the queue folder, named ".lck" (no client can send that
// name: received names have at least six characters), so making and removing a lock file
// allocates and frees no inode. That matters on ext4 without a journal, which passes over
// every inode freed in the last minutes whenever it looks for a free one: a spool that
// freed two lock-file inodes for every job made every later file slower to create.

#include <QByteArray>

// Creates the lock file `lockName` in the folder open as `folderFd`, replacing a leftover
// of that name (never writing through it: a link planted there is removed, not followed).
// Falls back to a file of its own where a link cannot be made (a file system without hard
// links, the link count at its limit). False, with errno set, when neither works.
bool createLockFile(int folderFd, const QByteArray& lockName);
