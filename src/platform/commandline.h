#pragma once
// The program's arguments. "open", "hide" and "protect" are compared whole and with their
// letter case; "open" counts only as the first argument. "--headless" and "--send WORD" are
// this port's own; anything else is ignored.

#include <QString>
#include <QStringList>

struct CommandLine
{
    bool open = false;    // show the window at start
    bool hide = false;    // no tray icon
    bool protect = false; // protect mode from the start
    bool headless = false;
    bool send = false; // deliver sendWord to the running server and end
    QString sendWord;
    QString error; // a usage fault, e.g. "--send" without a word

    // `args` without the program's name.
    static CommandLine parse(const QStringList& args);
};
