// The instance lock, the control socket, the command line and the desktop start-up with
// its message handling, tray fallback and failure path.

#include "jobrows.h"
#include "shellfixture.h"

#include "gui/desktopshell.h"
#include "gui/helpopener.h"
#include "gui/helpwindow.h"
#include "gui/mainwindow.h"
#include "gui/trayicon.h"
#include "platform/commandline.h"
#include "platform/controlchannel.h"
#include "platform/instancelock.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Sends from a helper thread, as another process would, while the event loop turns here.
bool sendWord(const QString& dir, const QString& word, QString* error = nullptr)
{
    auto f = onThread([dir, word] {
        QString e;
        const bool ok = ControlChannel::send(dir, word, &e);
        return std::make_pair(ok, e);
    });
    const auto [ok, e] = awaitResult(f);
    if (error)
        *error = e;
    return ok;
}

struct Exchange
{
    QByteArray answer;
    bool hungUp = false; // the server closed, rather than the client's 5 s running out
};

sockaddr_un addressOf(const QString& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(addr.sun_path, name.constData(),
                std::min(size_t(name.size()), sizeof(addr.sun_path) - 1));
    return addr;
}

// A raw client, as any program that writes to the socket would be: sends `bytes`, ends its
// half when asked, then reads until the server hangs up.
Exchange exchange(const QString& dir, const QByteArray& bytes, bool endInput = false)
{
    auto f = onThread([dir, bytes, endInput] {
        Exchange r;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_un addr = addressOf(ControlChannel::socketPath(dir));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            r.answer = "no connection";
            return r;
        }
        for (qsizetype sent = 0; sent < bytes.size();) {
            const ssize_t n =
                ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break; // the server stopped reading and hung up
            sent += n;
        }
        if (endInput)
            ::shutdown(fd, SHUT_WR);
        for (;;) {
            char buffer[256];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                r.answer.append(buffer, n);
                continue;
            }
            // Closed with our bytes unread, the kernel reports a reset after the answer.
            r.hungUp = n == 0 || errno == ECONNRESET;
            break;
        }
        ::close(fd);
        return r;
    });
    return awaitResult(f);
}

// Runs the application's loop until something ends it; 99 when nothing did within 10 s.
int runLoop()
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    return QCoreApplication::exec();
}

} // namespace

TEST(InstanceLockTest, SecondLockInTheSameFolderFailsUntilTheFirstLetsGo)
{
    QTemporaryDir runtime;
    InstanceLock first(runtime.path());
    InstanceLock second(runtime.path());
    EXPECT_EQ(first.acquire(), InstanceLock::Result::Acquired);
    EXPECT_EQ(first.path(), runtime.path() + QStringLiteral("/spoolmere"));
    EXPECT_EQ(second.acquire(), InstanceLock::Result::AlreadyRunning);
    EXPECT_FALSE(second.held());
    // Another folder is another user's (or test's) server.
    QTemporaryDir elsewhere;
    InstanceLock third(elsewhere.path());
    EXPECT_EQ(third.acquire(), InstanceLock::Result::Acquired);
    first.release();
    EXPECT_EQ(second.acquire(), InstanceLock::Result::Acquired);
    // A folder that cannot hold the file is a failure with a reason, not "running".
    InstanceLock nowhere(runtime.path() + QStringLiteral("/missing"));
    EXPECT_EQ(nowhere.acquire(), InstanceLock::Result::Failed);
    EXPECT_TRUE(nowhere.error().contains(QStringLiteral("missing")));
}

TEST(InstanceLockTest, WithoutXdgRuntimeDirOnlyAFolderNoOtherUserCouldMakeIsUsed)
{
    QTemporaryDir tmp;
    const QString home = tmp.path() + QStringLiteral("/home");
    ASSERT_TRUE(QDir().mkpath(home));
    ASSERT_EQ(::chmod(QFile::encodeName(home).constData(), 0755), 0);
    const QString login = tmp.path() + QStringLiteral("/run-user");
    const QString expected = home + QStringLiteral("/.local/state/spoolmere");

    // No login folder: one in the home, private.
    QString error;
    EXPECT_EQ(InstanceLock::runtimeDirWithout(login, home, &error), expected)
        << error.toStdString();
    struct stat st
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(expected).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    {
        InstanceLock lock(expected);
        EXPECT_EQ(lock.acquire(), InstanceLock::Result::Acquired);
    }
    // One others may enter is not used, nor a home others may write in (where someone else
    // could have made the folder first).
    ::chmod(QFile::encodeName(expected).constData(), 0755);
    EXPECT_TRUE(InstanceLock::runtimeDirWithout(login, home, &error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("not a private folder"))) << error.toStdString();
    ::chmod(QFile::encodeName(home).constData(), 0777);
    EXPECT_TRUE(InstanceLock::runtimeDirWithout(login, home, &error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("XDG_RUNTIME_DIR is not set"))) << error.toStdString();
    // The login manager's folder comes first.
    ASSERT_TRUE(QDir().mkpath(login));
    ASSERT_EQ(::chmod(QFile::encodeName(login).constData(), 0700), 0);
    EXPECT_EQ(InstanceLock::runtimeDirWithout(login, home, &error), login);
}

TEST(CommandLineTest, WordsAreComparedWholeAndOpenCountsOnlyFirst)
{
    auto p = [](std::initializer_list<const char*> words) {
        QStringList args;
        for (const char* w : words)
            args << QString::fromLatin1(w);
        return CommandLine::parse(args);
    };
    EXPECT_FALSE(p({}).open);
    EXPECT_TRUE(p({"open", "hide"}).open);
    EXPECT_TRUE(p({"open", "hide"}).hide);
    EXPECT_FALSE(p({"hide", "open"}).open);
    EXPECT_TRUE(p({"x", "protect"}).protect);
    EXPECT_FALSE(p({"OPEN", "Hide", "protected"}).open);
    EXPECT_FALSE(p({"OPEN", "Hide", "protected"}).hide);
    EXPECT_FALSE(p({"OPEN", "Hide", "protected"}).protect);
    EXPECT_TRUE(p({"--headless"}).headless);
    const CommandLine send = p({"--send", "lpddown"});
    EXPECT_TRUE(send.send);
    EXPECT_EQ(send.sendWord, QStringLiteral("lpddown"));
    EXPECT_FALSE(p({"--send"}).error.isEmpty());
    EXPECT_TRUE(p({"--help"}).help);
    EXPECT_TRUE(p({"open", "--version"}).version);
    EXPECT_TRUE(p({"open", "--version"}).open);
    EXPECT_TRUE(p({"unknown", "words"}).error.isEmpty());
    EXPECT_TRUE(p({"hide", "--bogus"}).error.contains(QStringLiteral("--bogus")));
    EXPECT_FALSE(p({"-x"}).error.isEmpty());
}

TEST(ControlChannelTest, CarriesTheFourWordsAndRefusesOthers)
{
    QTemporaryDir runtime;
    ControlChannel channel;
    ASSERT_TRUE(channel.listen(runtime.path())) << channel.error().toStdString();
    QSignalSpy words(&channel, &ControlChannel::messageReceived);
    QSignalSpy protect(&channel, &ControlChannel::protectRequested);
    QSignalSpy show(&channel, &ControlChannel::showRequested);
    QSignalSpy down(&channel, &ControlChannel::downRequested);

    for (const char* w : {"lpdshow", "lpdprot", "lpduprot", "lpddown"})
        EXPECT_TRUE(sendWord(runtime.path(), QString::fromLatin1(w))) << w;
    EXPECT_TRUE(waitUntil([&] { return words.count() == 4; }));
    EXPECT_EQ(show.count(), 1);
    EXPECT_EQ(down.count(), 1);
    ASSERT_EQ(protect.count(), 2);
    EXPECT_TRUE(protect[0][0].toBool());
    EXPECT_FALSE(protect[1][0].toBool());

    // Not a control word, a wrong case, an overlong line: answered, nothing happens.
    EXPECT_EQ(exchange(runtime.path(), "LPDDOWN\n").answer, QByteArray("unknown\n"));
    EXPECT_EQ(exchange(runtime.path(), "lpdshow please\n").answer, QByteArray("unknown\n"));
    EXPECT_EQ(exchange(runtime.path(), QByteArray(500, 'x')).answer, QByteArray("unknown\n"));
    QString error;
    EXPECT_FALSE(sendWord(runtime.path(), QStringLiteral("rm -rf"), &error));
    EXPECT_FALSE(error.isEmpty());
    spinFor(50);
    EXPECT_EQ(words.count(), 4);

    // A socket left by a run that died is replaced by the next listener.
    channel.close();
    ControlChannel next;
    ASSERT_TRUE(next.listen(runtime.path()));
    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdshow")));
    next.close();
    // Nobody listening: the sender says so.
    EXPECT_FALSE(sendWord(runtime.path(), QStringLiteral("lpdshow"), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("no running spoolmere")));
}

TEST(ControlChannelTest, APeerGetsOneBoundedLineAndLittleTime)
{
    QTemporaryDir runtime;
    ControlChannel channel;
    channel.setIdleTimeout(200);
    ASSERT_TRUE(channel.listen(runtime.path())) << channel.error().toStdString();
    QSignalSpy words(&channel, &ControlChannel::messageReceived);

    // A word padded past the line limit, and a megabyte without a newline: refused, and the
    // server stops reading and hangs up instead of taking it all in.
    Exchange padded = exchange(runtime.path(), "lpdshow" + QByteArray(100, ' ') + "\n");
    EXPECT_EQ(padded.answer, QByteArray("unknown\n"));
    EXPECT_TRUE(padded.hungUp);
    Exchange flood = exchange(runtime.path(), QByteArray(1 << 20, 'x'));
    EXPECT_EQ(flood.answer, QByteArray("unknown\n"));
    EXPECT_TRUE(flood.hungUp);
    // Carriage return and the end of the line in one: still the word.
    EXPECT_EQ(exchange(runtime.path(), "lpdprot\r\n").answer, QByteArray("ok\n"));
    // A sender that ends its half before the newline is told so.
    Exchange cut = exchange(runtime.path(), "lpdshow", true);
    EXPECT_EQ(cut.answer, QByteArray("unknown\n"));
    EXPECT_TRUE(cut.hungUp);

    // A silent peer, and one that stops mid-word, are hung up on without an answer.
    Exchange silent = exchange(runtime.path(), {});
    EXPECT_TRUE(silent.hungUp);
    EXPECT_TRUE(silent.answer.isEmpty());
    Exchange stalled = exchange(runtime.path(), "lpdsh");
    EXPECT_TRUE(stalled.hungUp);
    EXPECT_TRUE(stalled.answer.isEmpty());

    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdshow")));
    ASSERT_TRUE(waitUntil([&] { return words.count() == 2; }));
    EXPECT_EQ(words[0][0].toString(), QStringLiteral("lpdprot"));
    EXPECT_EQ(words[1][0].toString(), QStringLiteral("lpdshow"));
}

TEST(ControlChannelTest, ALeftOverSocketIsReplacedAndOnlyTheOwnerMayConnect)
{
    QTemporaryDir runtime;
    const QString path = ControlChannel::socketPath(runtime.path());
    const QByteArray name = QFile::encodeName(path);
    // What a run killed with SIGKILL leaves: a socket file nobody listens on.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr = addressOf(path);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    QString error;
    EXPECT_FALSE(ControlChannel::send(runtime.path(), QStringLiteral("lpdshow"), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("no running spoolmere"))) << error.toStdString();

    ControlChannel first;
    ASSERT_TRUE(first.listen(runtime.path())) << first.error().toStdString();
    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdshow")));
    struct stat st
    {
    };
    ASSERT_EQ(::stat(name.constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing of the set-up is left beside it.
    EXPECT_EQ(QDir(runtime.path())
                  .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("spoolmere.ctl")});

    // A newer listener takes the name over; the older one closing leaves it in place.
    ControlChannel second;
    ASSERT_TRUE(second.listen(runtime.path()));
    QSignalSpy taken(&second, &ControlChannel::showRequested);
    first.close();
    EXPECT_FALSE(first.isListening());
    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdshow")));
    EXPECT_TRUE(waitUntil([&] { return taken.count() == 1; }));
    second.close();
    EXPECT_FALSE(QFileInfo::exists(path));

    // A folder that is not there: a reason that names the socket.
    ControlChannel nowhere;
    EXPECT_FALSE(nowhere.listen(runtime.path() + QStringLiteral("/missing")));
    EXPECT_TRUE(nowhere.error().contains(QStringLiteral("missing/spoolmere.ctl")));
    EXPECT_FALSE(nowhere.isListening());
}

TEST(ControlChannelTest, SenderGivesUpOnAListenerThatNeverAnswers)
{
    QTemporaryDir runtime;
    // Listens but never accepts: the connection sits in the backlog.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = addressOf(ControlChannel::socketPath(runtime.path()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    QString error;
    EXPECT_FALSE(ControlChannel::send(runtime.path(), QStringLiteral("lpddown"), &error, 200));
    EXPECT_TRUE(error.startsWith(QStringLiteral("no answer from"))) << error.toStdString();
    ::close(fd);
}

class Desktop : public ShellFixture
{
protected:
    QTemporaryDir runtime;
    ControlChannel channel;
};

TEST_F(Desktop, StartUpFollowsTheSwitchesAndTheMessagesSteerTheWindow)
{
    writeOldJob("007");
    makeCore();
    DesktopShell shell(*core, channel, runtime.path(),
                       CommandLine::parse({QStringLiteral("x"), QStringLiteral("protect")}));
    ASSERT_TRUE(shell.start()) << shell.startupError().toStdString();
    MainWindow& w = shell.window();
    EXPECT_TRUE(core->isListening());
    // The start says what it read, where the spool is and where it listens, as without a window.
    EXPECT_EQ(core->log().lines().mid(0, 3),
              (QStringList{QStringLiteral("Settings from ") + ini(),
                           QStringLiteral("Spool folder ") + dir.path() + QStringLiteral("/spool"),
                           QStringLiteral("Listening on :: port %1").arg(core->listeningPort())}));
    EXPECT_EQ(core->pendingJobs().displayStrings(), QStringList{QStringLiteral("lp z 7")});
    EXPECT_TRUE(waitUntil([&] { return jobRows(w) == QStringList{QStringLiteral("lp z 7")}; }));
    EXPECT_EQ(w.printerList()->currentRow(), 0);
    EXPECT_EQ(w.serviceStatus(), QStringLiteral("Running in this desktop session"));
    EXPECT_NE(w.aboutDialog(), nullptr);
    EXPECT_NE(w.extendedLogDialog(), nullptr);
    EXPECT_TRUE(w.protectMode());
    // This platform has no system tray: though "open" was not first, the window shows (else
    // nothing would lead to it), and the watch looks for a tray every 5 s.
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.trayAvailable());
    EXPECT_FALSE(shell.tray().isShown());
    EXPECT_TRUE(shell.tray().retryTimer().isActive());
    EXPECT_EQ(shell.tray().retryTimer().interval(), 5000);
    EXPECT_TRUE(shell.tray().toolTip().startsWith(
        QStringLiteral("Spoolmere\nListening on port %1\n1 job waiting")
            .arg(core->listeningPort())));

    // A tray appears: the icon shows, minimising puts the window away; the tray goes: the
    // window comes back.
    bool tray = true;
    shell.tray().setTrayProbe([&tray] { return tray; });
    shell.tray().onRetryTick();
    EXPECT_TRUE(w.trayAvailable());
    EXPECT_TRUE(shell.tray().isShown());
    w.showMinimized();
    EXPECT_TRUE(waitUntil([&] { return !w.isVisible(); }));
    tray = false;
    shell.tray().onRetryTick();
    EXPECT_FALSE(w.trayAvailable());
    EXPECT_TRUE(waitUntil([&] { return w.isVisible() && !w.isMinimized(); }));
    w.hide();

    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpduprot")));
    EXPECT_TRUE(waitUntil([&] { return !w.protectMode(); }));
    EXPECT_TRUE(w.setupAction()->isEnabled());
    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdprot")));
    EXPECT_TRUE(waitUntil([&] { return w.protectMode(); }));
    EXPECT_FALSE(w.extendedLogAction()->isEnabled());
    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdshow")));
    EXPECT_TRUE(waitUntil([&] { return w.isVisible(); }));
    EXPECT_EQ(w.applicationTitle(), QStringLiteral("Spoolmere"));

    // The tray icon: a left click shows the window, any other click does nothing.
    w.hide();
    shell.tray().activate(QSystemTrayIcon::Context);
    shell.tray().activate(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(w.isVisible());
    shell.tray().activate(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(w.isVisible());

    // "lpddown" ends the loop.
    QTimer::singleShot(0, [&] { sendWord(runtime.path(), QStringLiteral("lpddown")); });
    EXPECT_EQ(runLoop(), 0);
    shell.finish();
    EXPECT_FALSE(channel.isListening());
}

TEST_F(Desktop, OpenFirstShowsTheWindowAndHideMeansNoIcon)
{
    makeCore();
    DesktopShell shell(*core, channel, runtime.path(),
                       CommandLine::parse({QStringLiteral("open"), QStringLiteral("hide")}));
    ASSERT_TRUE(shell.start());
    EXPECT_TRUE(shell.window().isVisible());
    EXPECT_FALSE(shell.window().protectMode());
    EXPECT_TRUE(shell.tray().hideMode());
    EXPECT_FALSE(shell.tray().isShown());
    EXPECT_FALSE(shell.tray().retryTimer().isActive());
    // Even if the retry timer ticks in hide mode, it adds nothing and stops.
    shell.tray().retryTimer().start();
    shell.tray().onRetryTick();
    EXPECT_FALSE(shell.tray().retryTimer().isActive());
    EXPECT_FALSE(shell.tray().isShown());
    // Closing the window, and telling it to stop the server, ends the program; so do File >
    // Quit and the tray menu's Quit, each after the same question. Its default button
    // (Enter) never stops the server.
    const auto stopServer = [] {
        answerModals([](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box)
                return false;
            EXPECT_NE(box->defaultButton()->text(), QStringLiteral("&Stop Server"));
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == QStringLiteral("&Stop Server"))
                    b->click();
            }
            return true;
        });
    };
    stopServer();
    QTimer::singleShot(0, [&] { shell.window().close(); });
    EXPECT_EQ(runLoop(), 0);
    stopServer();
    QTimer::singleShot(0, [&] { shell.window().quitAction()->trigger(); });
    EXPECT_EQ(runLoop(), 0);
    stopServer();
    QTimer::singleShot(0, [&] { shell.tray().contextMenu()->actions().last()->trigger(); });
    EXPECT_EQ(runLoop(), 0);
    // In protect mode neither Quit is there, as the close button is not.
    shell.window().setProtectMode(true);
    EXPECT_FALSE(shell.window().quitAction()->isEnabled());
    EXPECT_FALSE(shell.tray().quitAction()->isEnabled());
}

TEST_F(Desktop, AListenerThatCannotOpenShowsTheWindowAndTheControlChannelStillWorks)
{
    // Another server holds the port.
    makeCore();
    core->loadSettings();
    ASSERT_TRUE(core->startListening());
    Settings s = defaults();
    s.port = QString::number(core->listeningPort());
    QTemporaryDir second;
    ASSERT_TRUE(saveSettingsFile(second.path() + QStringLiteral("/lpd.ini"), s));
    writeOldJob("003");
    LpdServer other(second.path() + QStringLiteral("/lpd.ini"), nullptr, 0);

    QString shown;
    QString caption;
    acceptNextMessageBox(&shown, &caption);
    // Neither "open" nor any other argument: the window comes up all the same.
    DesktopShell shell(other, channel, runtime.path(),
                       CommandLine::parse({QStringLiteral("protect")}));
    EXPECT_FALSE(shell.start());
    EXPECT_TRUE(shell.window().isVisible());
    EXPECT_TRUE(waitUntil([&] { return !shown.isEmpty(); }));
    EXPECT_EQ(caption, QStringLiteral("Error"));
    EXPECT_EQ(shown, shell.startupError());
    // What failed, on which port, and the socket layer's report with the system's reason.
    const QString report = shown.section(QStringLiteral("\n\n"), 0, 0);
    EXPECT_TRUE(report.startsWith(QStringLiteral("Cannot listen on ")));
    EXPECT_TRUE(report.contains(QLatin1Char(':') + s.port + QLatin1Char(':')));
    EXPECT_TRUE(other.log().contains(QStringLiteral("WARNING: ") + report)); // the listener's line
    EXPECT_TRUE(shown.endsWith(QStringLiteral("choose another port in File > Setup.")));
    EXPECT_TRUE(report.contains(QStringLiteral("Address already in use")));
    // The old jobs wait for a listener; protect mode would lock the Setup that fixes it.
    EXPECT_TRUE(other.pendingJobs().isEmpty());
    EXPECT_FALSE(shell.window().protectMode());
    EXPECT_EQ(shell.window().serviceStatus(), QStringLiteral("Running in this desktop session"));
    EXPECT_NE(shell.window().aboutDialog(), nullptr);
    // The control channel takes messages: "lpddown" ends the program.
    EXPECT_TRUE(channel.isListening());
    shell.window().hide();
    EXPECT_TRUE(sendWord(runtime.path(), QStringLiteral("lpdshow")));
    EXPECT_TRUE(waitUntil([&] { return shell.window().isVisible(); }));
    QTimer::singleShot(0, [&] { sendWord(runtime.path(), QStringLiteral("lpddown")); });
    EXPECT_EQ(runLoop(), 0);
    shell.finish();
}

TEST(Help, WithoutABrowserThePageOpensInTheProgramsOwnWindowAtItsAnchor)
{
    const auto helpWindow = []() -> HelpWindow* {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* help = qobject_cast<HelpWindow*>(w); help && help->isVisible())
                return help;
        }
        return nullptr;
    };
    // Nothing takes the page at all.
    HelpOpener::setBrowser([](const QUrl&, std::function<void()>) { return false; });
    EXPECT_FALSE(HelpOpener::showContext(5));
    HelpWindow* window = helpWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->browser()->source().fragment(), QStringLiteral("context-5"));
    EXPECT_TRUE(window->browser()->toPlainText().contains(QStringLiteral("Print command")));
    EXPECT_GT(window->browser()->verticalScrollBar()->value(), 0); // scrolled to the anchor
    // The desktop took it but failed later (xdg-open found no browser): the same window.
    HelpOpener::setBrowser([](const QUrl&, std::function<void()> onFailure) {
        QTimer::singleShot(0, onFailure);
        return true;
    });
    EXPECT_TRUE(HelpOpener::showTopic(QStringLiteral("IDH_410")));
    EXPECT_TRUE(waitUntil(
        [&] { return window->browser()->source().fragment() == QStringLiteral("IDH_410"); }));
    EXPECT_EQ(helpWindow(), window);
    HelpOpener::resetBrowser();
    window->close();
}

TEST(Help, TheWindowOpensAboveAModalDialogTakesInputAndClosesOnEscapeOrCtrlW)
{
    HelpOpener::setBrowser([](const QUrl&, std::function<void()>) { return false; });
    QDialog modal;
    modal.setWindowModality(Qt::ApplicationModal);
    modal.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&modal));
    for (const QKeySequence& key :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        HelpOpener::showContext(4);
        auto* help = qobject_cast<HelpWindow*>(HelpOpener::helpWindowForTesting());
        ASSERT_NE(help, nullptr);
        // It belongs to the dialog that asked: kept above it, and not blocked by it.
        EXPECT_EQ(help->parentWidget(), &modal);
        EXPECT_TRUE(help->isWindow());
        ASSERT_TRUE(QTest::qWaitForWindowActive(help));
        // Through the window system, where a blocked window would lose the key.
        QTest::keySequence(help->windowHandle(), key);
        EXPECT_TRUE(waitUntil([&] { return HelpOpener::helpWindowForTesting() == nullptr; }))
            << key.toString().toStdString();
    }
    HelpOpener::resetBrowser();
}

TEST(Help, EveryAnchorTheProgramOpensIsInTheHelpPage)
{
    const QString page = HelpOpener::indexPath();
    ASSERT_TRUE(QFileInfo(page).isFile()) << page.toStdString();
    const QByteArray html = readFile(page);
    for (const QString& anchor :
         {HelpOpener::contextAnchor(1), HelpOpener::contextAnchor(4), HelpOpener::contextAnchor(5),
          QStringLiteral("IDH_410"), QStringLiteral("IDH_510")})
        EXPECT_TRUE(html.contains("id=\"" + anchor.toLatin1() + "\"")) << anchor.toStdString();
    EXPECT_EQ(HelpOpener::topicUrl(QStringLiteral("IDH_410")).fragment(),
              QStringLiteral("IDH_410"));
    EXPECT_TRUE(HelpOpener::topicUrl().isLocalFile());
}
