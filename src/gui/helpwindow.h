#pragma once
// The program's own help window: the help page in a text browser, at an anchor. Used when the
// desktop has no browser for the page.

#include <QWidget>

class QTextBrowser;
class QUrl;

class HelpWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HelpWindow)

public:
    explicit HelpWindow(QWidget* parent = nullptr);
    ~HelpWindow() override;

    // Loads the page (when another), scrolls to its anchor and brings the window up.
    void showPage(const QUrl& url);
    QTextBrowser* browser() const { return m_browser; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QTextBrowser* m_browser = nullptr;
};
