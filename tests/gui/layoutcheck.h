#pragma once
// What a user sees of a window's layout, as the widgets report it: controls that overlap,
// captions cut short, and access keys that two controls share. Used at a large font and at
// the window's smallest size, so a layout that only works at one size fails here.

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMenu>
#include <QMenuBar>
#include <QRect>
#include <QStringList>
#include <QTabBar>
#include <QWidget>

namespace layoutcheck {

// A control the user reads or uses as one piece; its insides are its own business.
inline bool isControl(const QWidget* w)
{
    return qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) ||
           qobject_cast<const QAbstractScrollArea*>(w) || qobject_cast<const QComboBox*>(w) ||
           qobject_cast<const QLineEdit*>(w) || qobject_cast<const QTabBar*>(w) ||
           qobject_cast<const QMenuBar*>(w);
}

inline void collectControls(QWidget* w, QWidget* window, QList<QWidget*>& out)
{
    for (QObject* child : w->children()) {
        auto* cw = qobject_cast<QWidget*>(child);
        if (!cw || cw->isWindow() || !cw->isVisibleTo(window))
            continue;
        // A scroll area that holds a page (Setup's tabs) is a container, not a control.
        if (!cw->inherits("QScrollArea") && isControl(cw))
            out << cw;
        else
            collectControls(cw, window, out);
    }
}

inline QString describe(const QWidget* w)
{
    QString text;
    if (auto* l = qobject_cast<const QLabel*>(w))
        text = l->text();
    else if (auto* b = qobject_cast<const QAbstractButton*>(w))
        text = b->text();
    const QRect r(w->mapTo(w->window(), QPoint(0, 0)), w->size());
    return QStringLiteral("%1 \"%2\" %3,%4 %5x%6")
        .arg(QString::fromLatin1(w->metaObject()->className()), text)
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height());
}

// Overlapping controls and captions narrower or lower than their text needs.
inline QStringList problems(QWidget* window)
{
    QList<QWidget*> controls;
    collectControls(window, window, controls);
    QStringList out;
    QList<QRect> rects;
    // What shows of each control: a page that scrolls hides what lies outside its view.
    for (QWidget* w : controls) {
        QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
        for (QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
            r &= QRect(p->mapTo(window, QPoint(0, 0)), p->size());
        rects << r;
    }
    for (int i = 0; i < controls.size(); ++i) {
        for (int j = i + 1; j < controls.size(); ++j) {
            if (rects[i].intersects(rects[j]) && !controls[i]->isAncestorOf(controls[j]) &&
                !controls[j]->isAncestorOf(controls[i]))
                out << QStringLiteral("overlap: ") + describe(controls[i]) + QStringLiteral(" / ") +
                           describe(controls[j]);
        }
        const bool text =
            qobject_cast<QLabel*>(controls[i]) || qobject_cast<QAbstractButton*>(controls[i]);
        const QSize need = controls[i]->minimumSizeHint();
        if (text && (controls[i]->width() < need.width() || controls[i]->height() < need.height()))
            out << QStringLiteral("cut: ") + describe(controls[i]);
    }
    return out;
}

inline QChar accessKey(const QString& text)
{
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != u'&')
            continue;
        if (text[i + 1] == u'&') {
            ++i;
            continue;
        }
        return text[i + 1].toLower();
    }
    return {};
}

// Access keys used twice among what one window shows at once (its labels, buttons, tabs and
// menu bar), and within each of its menus; also each key a menu bar entry or label lacks.
inline QStringList clashes(QWidget* window)
{
    QStringList out;
    const auto check = [&out](const QString& scope, const QStringList& texts) {
        QMap<QChar, QString> seen;
        for (const QString& t : texts) {
            const QChar key = accessKey(t);
            if (key.isNull())
                continue;
            if (seen.contains(key))
                out << scope + QStringLiteral(": \"") + seen[key] + QStringLiteral("\" and \"") +
                           t + QStringLiteral("\"");
            seen[key] = t;
        }
    };
    QStringList texts;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->isWindow() || !w->isVisibleTo(window))
            continue;
        if (auto* l = qobject_cast<QLabel*>(w))
            texts << l->text();
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            texts << b->text();
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            texts << g->title();
    }
    for (QMenuBar* bar : window->findChildren<QMenuBar*>()) {
        for (QAction* a : bar->actions()) {
            texts << a->text();
            if (a->menu()) {
                QStringList entries;
                for (QAction* e : a->menu()->actions())
                    entries << e->text();
                check(QStringLiteral("menu ") + a->text(), entries);
            }
        }
    }
    check(window->windowTitle(), texts);
    return out;
}

} // namespace layoutcheck
