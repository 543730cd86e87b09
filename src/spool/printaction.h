#pragma once
// The placeholders of a print command's arguments: %d the data file, %c the control file,
// %p the queue folder. They are filled inside each argument word after the split, so a
// file name chosen by a client stays inside one argument and never reaches a shell.

#include <QString>
#include <QStringList>

struct Placeholders
{
    QString dataFile;    // %d
    QString controlFile; // %c
    QString queueDir;    // %p
};

// Replaces only the placeholders written in `text`; inserted names are not scanned again.
QString fillPlaceholders(const QString& text, const Placeholders& values);
// Fills the placeholders of each word.
QStringList fillPlaceholders(const QStringList& words, const Placeholders& values);

// Splits at blanks and tabs (double quotes group and are removed), then fills each word.
QStringList argumentWords(const QString& argumentText, const Placeholders& values);
