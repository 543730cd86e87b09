#pragma once
// The user help is one HTML page, docs/index.html, opened in the desktop's browser at the
// anchor of a help context ("context-1", "context-4", "context-5") or of a named topic
// ("IDH_410", "IDH_510"). A missing page is reported by the browser, not here.

#include <QString>
#include <QUrl>

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
};
