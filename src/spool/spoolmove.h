#pragma once
// A change of the spool folder moves every file of every queue folder (the jobs, files cut
// off while arriving, the print record) to the same queue folder of the new spool, all or
// none, and survives a crash at any point:
//
//   1. the spool state (a small file beside lpd.ini) says which spool holds the jobs and
//      that a change to another one is under way, and reaches the disk first;
//   2. every file gets its name in the new spool by a hard link (same inode, so a print
//      record entry, which names its control file by inode, stays true; and a print an
//      earlier server still runs holds the very record the new spool sees), a queue's
//      control files last, and the new folders reach the disk;
//   3. the state names the new spool as the one holding the jobs and the old one as being
//      left; from here on the change is done, whatever happens;
//   4. the old names are removed, and the state forgets the old spool.
//
// A start after a crash before 3 does the links again (a name that is already the same file
// is fine) and goes on; after 3 it finishes the removal. Both spools must be on one file
// system.

#include <QString>
#include <QStringList>

#include <optional>

class QueueFolder;

struct SpoolState
{
    QString current;     // the spool the jobs wait and print in
    QString receiving;   // a change under way: new jobs already arrive here; empty if none
    QStringList leaving; // spools whose files have their names in `current` too
};

// None when there is no state file yet (a first start, or one of an earlier version).
std::optional<SpoolState> readSpoolState(const QString& file);
// Written beside and renamed over the old one, synced with its folder.
bool writeSpoolState(const QString& file, const SpoolState& state, QString* reason);

// Step 2: the queue folders of `from` and their files in `to`. False with the reason when a
// file cannot have its name there (another file stands under it, the file system refuses):
// what was linked by this call is removed again, and `to` holds nothing new.
bool linkSpool(const QString& from, const QString& to, QString* reason);
// Undoes linkSpool: removes from `to` every file that is the same file as in `from`.
void unlinkSpool(const QString& from, const QString& to);
// Step 4: removes the files of `from`'s queue folders (not those of the `current` spool,
// should it lie inside). A folder whose print record an
// earlier server's print still holds keeps its files (a command may still open them by
// name): false then, and a later call removes them.
bool clearSpool(const QString& from, const QString& current);
// Whether both paths lead to one folder (a link, a mount), which no move may empty.
bool isSameFolder(const QString& a, const QString& b);
// Whether `to` could take `from`'s files: its folder can be made, and it is on the same
// file system. Empty when it can, else why not.
QString spoolMoveProblem(const QString& from, const QString& to);
