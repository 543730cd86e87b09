#pragma once
// The setup dialog's checks and its reading and building of a printer definition, as
// plain functions.

#include <QString>
#include <QStringList>

namespace setupcheck {

// Names such as "con" or "COM1.d" name devices only on another system's file systems; here
// they are ordinary names, so nothing below refuses them.

// 1 to 31 characters of "-", ".", 0-9, A-Z, a-z, not beginning with "-" or ".".
bool isValidQueueName(const QString& name);
// The rule above, for the user.
QString queueNameRule();
// A raw target typed by hand: 1 to 255 characters of blank, "(", ")", "-", ".", 0-9,
// A-Z, "\", a-z, and for CUPS queue names and device paths "_" and "/"; not beginning with
// "-" or ".". The one colon allowed is that of an SMB printer typed as smb://host/printer
// (the other form is \\host\printer).
bool isValidRawTarget(const QString& target);
QString rawTargetRule();
// Why a network printer's URI (socket://, lpd://, ipp://, ipps://) cannot be used; empty for
// a good one and for anything that is no such URI.
QString networkTargetProblem(const QString& target);
// Empty when the folder exists or a single mkdir creates it (the parent must exist);
// otherwise why not, with the path and the system's reason. A relative path is taken from
// baseDir; an empty one means the folder "spool" there, as in lpd.ini.
QString spoolDirProblem(const QString& path, const QString& baseDir);
// Empty when the text is a port number (1 to 65535) or a TCP service name the system knows
// (lpd.ini allows both); otherwise why not.
QString portProblem(const QString& text);

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
