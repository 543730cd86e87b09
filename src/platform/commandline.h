#pragma once
// The program's arguments. "open", "hide" and "protect" are compared whole and with their
// letter case; "open" counts only as the first argument; other plain words are ignored.
// "--headless", "--send WORD", "--check-config [FILE]", "--status [--json]", "--reload",
// "--without-control", "--help" and "--version" are this port's own; any other
// argument that starts with "-" is a usage fault.

#include <QString>
#include <QStringList>

struct CommandLine
{
    bool open = false;    // show the window at start
    bool hide = false;    // no tray icon
    bool protect = false; // protect mode from the start
    bool headless = false;
    bool send = false; // deliver sendWord to the running server and end
    bool status = false; // print the running server's status and end
    bool reload = false; // have the running server reload lpd.ini, end with its verdict
    // Without a private runtime folder, run anyway: no instance lock, no control channel.
    bool withoutControl = false;
    bool json = false;   // the status as its JSON document
    bool help = false;
    bool version = false;
    bool checkConfig = false; // validate lpd.ini (configFile, else the usual one) and end
    QString configFile;
    QString sendWord;
    QString error; // a usage fault, e.g. "--send" without a word or an unknown option

    // `args` without the program's name.
    static CommandLine parse(const QStringList& args);
    // The text of `--help`, for the program called `program`.
    static QString usage(const QString& program);
};
