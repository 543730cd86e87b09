#pragma once
// A printer definition is one line: an optional flag ("-" printing disabled, "|" spooling
// disabled, "+" both), the queue name, blanks or tabs, then a print command or "|" and a
// raw target. The line is parsed once into a PrinterDefinition; the rest of the program
// never splits the text again.

#include <QList>
#include <QString>
#include <QStringList>

// Where a queue's jobs go.
struct PrintRoute
{
    enum class Kind
    {
        Command, // a program run with argument words
        Cups,    // raw, to a CUPS queue
        Device,  // raw, to a local device node ("local port /dev/...")
        Smb,     // raw, to an SMB printer (\\host\printer or smb://host/printer)
        Socket,  // raw, to an AppSocket printer (socket://host[:port], 9100 by default)
        Lpd,     // forwarded to another LPD (lpd://host[:port]/queue)
        Ipp,     // to an IPP printer itself (ipp:// or ipps://host[:port]/path)
    };
    Kind kind = Kind::Command;
    // As written after the queue token: what the log shows ("|target", or the program and
    // its argument text with the placeholders filled in).
    QString program;      // Command: the program (its quotes removed); raw: "|" + target
    QString argumentText; // Command: the arguments as written
    // Command: the arguments split into words once; placeholders are filled per job inside
    // each word, so a client's file name never becomes a second argument.
    QStringList argumentWords;
    // Command: false when a quote is not closed (the definition cannot be used).
    bool balanced = true;
    QString target; // raw: as written after "|"
    QString device; // Device: the device path
    // Socket, Lpd, Ipp: where the printer is. `path` is the LPD queue, or the IPP resource.
    QString host;
    quint16 port = 0;
    QString path;
    // Cups: the job goes as a document of the type its print letter names, for CUPS to
    // convert, instead of raw ("|queue#convert"; "#" is no character of a CUPS name).
    bool convert = false;
    // Why the target cannot be used (an unknown scheme, a bad port, no host); empty when it
    // can. A route with a problem fails every print with it.
    QString problem;

    bool isRaw() const { return kind != Kind::Command; }
};

// One line of the PRINTERS section, read once when the settings are read or applied.
struct PrinterDefinition
{
    QString text;       // the line as in lpd.ini and the printers list
    QString queueToken; // the queue name with its flag
    QString queue;      // the queue name without its flag
    bool printingDisabled = false;
    bool spoolingDisabled = false;
    PrintRoute route;

    static PrinterDefinition parse(const QString& line);
    // Why the server cannot use this definition; empty when it can.
    QString problem() const;
};

QList<PrinterDefinition> parsePrinterDefinitions(const QStringList& lines);
// The definition whose queue name equals `queue` ignoring case, or null.
const PrinterDefinition* findPrinter(const QList<PrinterDefinition>& printers,
                                     const QString& queue);

// The pure reading of a definition line, used by PrinterDefinition::parse.
namespace printerdef {

// Text up to the first blank or tab, flag included.
QString queueToken(const QString& definition);
// The queue token less one leading "+", "-" or "|".
QString queueName(const QString& definition);
// The flag character, or '\0' for none.
QChar flag(const QString& definition);
bool printingDisabled(const QString& definition); // "-" or "+"
bool spoolingDisabled(const QString& definition); // "|" or "+"
// After the queue token and the blanks and tabs that follow: "|target" or a command.
QString actionPart(const QString& definition);
// The raw target when the action part begins with "|", else an empty string.
bool isRaw(const QString& definition);
QString rawTarget(const QString& definition);
// Why the definition's raw target cannot be used, empty when it can (or it has none):
// "printer definition 'LINE': ..." for Setup, a reload and --check-config.
QString targetProblem(const QString& definition);

// Words as a POSIX shell groups them, expanding nothing: blanks and tabs separate; single
// quotes keep everything up to the next one; double quotes group, and inside them a
// backslash escapes only " \\ $ and `; outside quotes a backslash keeps the next character.
struct WordSplit
{
    QStringList words;
    qsizetype firstWordEnd = 0; // offset just after the first word
    bool balanced = true;       // false when a quote is not closed
};
WordSplit splitWords(const QString& text);

// The action part's first element (the program, quotes removed, or "|" and a raw target)
// and the argument text after it.
struct ActionSplit
{
    QString firstElement;
    QString argumentText;
};
ActionSplit splitActionPart(const QString& actionPart);
// The words of splitWords.
QStringList splitArguments(const QString& argumentText);

} // namespace printerdef
