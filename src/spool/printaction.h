#pragma once
// From a printer definition's action part to what the despooler runs. The action part is
// split into the first element (the program, or "|" and a raw target) and the argument
// text. The argument text is split into words before the placeholders %d, %c and %p are
// filled in, so a file name chosen by a client stays inside one argument and never
// reaches a shell.

#include <QString>
#include <QStringList>

struct PrintAction
{
    QString firstElement;
    QString argumentText;
};

PrintAction splitActionPart(const QString& actionPart);

struct Placeholders
{
    QString dataFile;    // %d
    QString controlFile; // %c
    QString queueDir;    // %p
};

// Replaces only the placeholders written in `text`; inserted names are not scanned again.
QString fillPlaceholders(const QString& text, const Placeholders& values);

// Splits at blanks and tabs; double quotes group and are removed. Placeholders are filled
// inside each word afterwards.
QStringList argumentWords(const QString& argumentText, const Placeholders& values);
