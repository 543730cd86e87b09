#pragma once
// The user help is one HTML page, docs/index.html, opened in the desktop's browser at the
// anchor of a help context ("context-1", "context-4", "context-5") or of a named topic
// ("IDH_410", "IDH_510"). When the desktop has no browser for it (no URL handler, or
// xdg-open finds nothing), the page opens at the same anchor in a help window of the
// program itself, so F1 and the Help buttons always show something.

#include <QString>
#include <QUrl>

class QWidget;

#include <functional>

class HelpOpener final
{
public:
    // Where index.html is: docs/ beside the program, then share/doc/spoolmere beside its
    // folder, then the source tree the program was built from. When none exists, the first.
    static QString indexPath();
    static QString contextAnchor(int context);
    static QUrl topicUrl(const QString& anchor = {});

    // Help > Contents.
    static bool showContents();
    // F1 on a control or menu entry with this help context.
    static bool showContext(int context);
    // The setup dialog's Help button: a named topic such as "IDH_410".
    static bool showTopic(const QString& anchor);

    // Hands a page to the desktop; false when nothing can show it. xdg-open (or Qt's
    // desktop services) unless replaced; a browser that fails later calls onFailure.
    using Browser = std::function<bool(const QUrl& url, std::function<void()> onFailure)>;
    static void setBrowser(Browser browser);
    static void resetBrowser();
    // The program's own window for the page (made on first use, reused), above the window
    // that asked for it and usable while that window's modal dialog is open.
    static void showInHelpWindow(const QUrl& url);
    static QWidget* helpWindowForTesting();
};
