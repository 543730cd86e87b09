#include "platform/commandline.h"

CommandLine CommandLine::parse(const QStringList& args)
{
    CommandLine c;
    c.open = !args.isEmpty() && args.first() == QLatin1String("open");
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("hide")) {
            c.hide = true;
        } else if (a == QLatin1String("protect")) {
            c.protect = true;
        } else if (a == QLatin1String("--headless")) {
            c.headless = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            c.help = true;
        } else if (a == QLatin1String("--version") || a == QLatin1String("-V")) {
            c.version = true;
        } else if (a == QLatin1String("--send")) {
            c.send = true;
            if (i + 1 < args.size()) {
                c.sendWord = args[++i];
            } else if (c.error.isEmpty()) {
                c.error = QStringLiteral("--send needs a message: lpdshow, lpddown, lpdprot or "
                                         "lpduprot");
            }
        } else if (a == QLatin1String("--check-config")) {
            c.checkConfig = true;
            if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('-')))
                c.configFile = args[++i];
        } else if (a == QLatin1String("--status")) {
            c.status = true;
        } else if (a == QLatin1String("--reload")) {
            c.reload = true;
        } else if (a == QLatin1String("--without-control")) {
            c.withoutControl = true;
        } else if (a == QLatin1String("--json")) {
            c.json = true;
        } else if (a.startsWith(QLatin1String("--send="))) {
            c.send = true;
            c.sendWord = a.mid(7);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1 && c.error.isEmpty()) {
            // A mistyped option must not start a server that does something else.
            c.error = QStringLiteral("unknown option %1 (see --help)").arg(a);
        }
    }
    if (c.json && !c.status && c.error.isEmpty())
        c.error = QStringLiteral("--json goes with --status");
    return c;
}

QString CommandLine::usage(const QString& program)
{
    return QStringLiteral(
               "Usage: %1 [--headless] [open] [hide] [protect]\n"
               "       %1 --send lpdshow|lpddown|lpdprot|lpduprot\n"
               "       %1 --check-config [FILE]\n"
               "       %1 --status [--json]\n"
               "       %1 --reload\n"
               "\n"
               "An LPD print server (RFC 1179).\n"
               "\n"
               "  --headless     run without a window even when there is a display\n"
               "  open           show the window at start (first argument only)\n"
               "  hide           no tray icon\n"
               "  protect        start in protect mode\n"
               "  --send WORD    hand a control message to the running server\n"
               "  --check-config [FILE]\n"
               "                 read lpd.ini (or FILE) as a reload would, say what is wrong,\n"
               "                 and end with 0 when it can be used, 1 when not\n"
               "  --status       what the running server (this user's, else the service) is\n"
               "                 doing; --json as a JSON document\n"
               "  --reload       have the running server (this user's, else the service) read\n"
               "                 lpd.ini again; ends with 0 when it took it, 1 with its reason\n"
               "                 when it refused it or could not be asked\n"
               "  --without-control\n"
               "                 run even without a private runtime folder (no instance lock,\n"
               "                 no control messages)\n"
               "  --help         show this text and end\n"
               "  --version      show the version and end\n"
               "\n"
               "Settings: the file named by SPOOLMERE_CONFIG; else, for the installed program\n"
               "run by root or the service's user, the service's lpd.ini; else lpd.ini beside\n"
               "a program that is not installed; else $XDG_CONFIG_HOME/spoolmere/lpd.ini.\n"
               "SIGHUP reads it again; SIGTERM ends the server in order. See spoolmere(8)\n"
               "and lpd.ini(5).\n")
        .arg(program);
}
