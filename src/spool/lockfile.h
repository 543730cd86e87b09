#pragma once
// Lock files are empty markers: only their names count. Each one is made as another hard
// link to a single empty file in the queue folder, named ".lck" (no client can send that
// name: received names have at least six characters), so making and removing a lock file
// allocates and frees no inode. That matters on ext4 without a journal, which passes over
// every inode freed in the last minutes whenever it looks for a free one: a spool that
// freed two lock-file inodes for every job made every later file slower to create.

#include <QString>

// Creates `lockPath` (in `folder`) empty, truncating a file already there. Falls back to a
// file of its own where a link cannot be made (a lock file already there, a file system
// without hard links, the link count at its limit). False, with errno set, when neither
// works.
bool createLockFile(const QString& folder, const QString& lockPath);
