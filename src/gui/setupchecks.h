#pragma once
// The setup dialog's checks and its reading and building of a printer definition, as
// plain functions.

#include <QString>
#include <QStringList>

namespace setupcheck {

// A path component ("/" or "\\" separated) that names a device on the file systems a
// spool or a queue folder may live on (an SMB share, a FAT stick): CON, NUL, LPT or COM,
// the last two with an optional digit, before any extension, in any case ("con",
// "/srv/LPT1.txt"). Text that merely contains such a word ("Console", "~/.config") is not.
bool isReserved(const QString& text);
// 1 to 31 characters of "-", ".", 0-9, A-Z, a-z, not beginning with "-" or ".", not
// reserved.
bool isValidQueueName(const QString& name);
// A raw target typed by hand: 1 to 255 characters of blank, "(", ")", "-", ".", 0-9,
// A-Z, "\", a-z, and for CUPS queue names and device paths "_" and "/"; not beginning with
// "-" or ".", not reserved. The one colon allowed is that of an SMB printer typed as
// smb://host/printer (the other form is \\host\printer).
bool isValidRawTarget(const QString& target);
// Not reserved, and an existing directory or one that a single mkdir creates (the parent
// must exist). A relative path is taken from baseDir; an empty one means the folder "spool"
// there, as in lpd.ini.
bool spoolDirUsable(const QString& path, const QString& baseDir);

// What the Printer tab shows for a definition.
struct PrinterFields
{
    bool printingDisabled = false;
    bool spoolingDisabled = false;
    QString name;
    bool raw = false;
    QString target;  // when raw
    QString command; // when not raw
};
// Reads the definition character by character: a flag only in the first position, the
// name up to the first blank or tab, then "|" and a target or a command.
PrinterFields readDefinition(const QString& definition);
// Flag, name, then " " and the command, or " |" and the target.
QString buildDefinition(const PrinterFields& fields);

// "local port " + each device that exists among devRoot's lp*, usb/lp*, ttyS*, ttyUSB*
// and ttyACM*, in natural order within each kind.
QStringList localPortTargets(const QString& devRoot = QStringLiteral("/dev"));

} // namespace setupcheck
