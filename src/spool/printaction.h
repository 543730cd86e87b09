#pragma once
// The placeholders of a print command's arguments: %d the data file, %c the control file,
// %p the queue folder, %f the letter of the print line (the file's format, so one command
// can pick a filter per format). They are filled inside each argument word after the split, so a
// file name chosen by a client stays inside one argument and never reaches a shell.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct Placeholders
{
    QString dataFile;    // %d
    QString controlFile; // %c
    QString queueDir;    // %p
    QString printLetter; // %f
};

// Replaces only the placeholders written in `text`; inserted names are not scanned again.
QString fillPlaceholders(const QString& text, const Placeholders& values);
// Fills the placeholders of each word.
QStringList fillPlaceholders(const QStringList& words, const Placeholders& values);

// Fills the placeholders of each word into the bytes a command's argv receives: a file
// name as the client's bytes (a spooled name is Latin-1 text, one character per byte), the
// rest of the word and the queue folder in the file system's encoding. "%p/%d" so names
// the very file the spool holds, which the word's text in one encoding could not.
QList<QByteArray> nativeArguments(const QStringList& words, const Placeholders& values);

// The same with %p as a folder mark (see FolderMark in platform/supervisor.h), for a command
// handed the folder's descriptor: whoever runs it names the folder by that descriptor.
QList<QByteArray> markedArguments(const QStringList& words, const Placeholders& values);

// Splits at blanks and tabs (double quotes group and are removed), then fills each word.
QStringList argumentWords(const QString& argumentText, const Placeholders& values);
