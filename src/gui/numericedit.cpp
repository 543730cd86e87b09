#include "gui/numericedit.h"

#include <QToolTip>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace {

QColor windowBackground()
{
    return QGuiApplication::palette().color(QPalette::Base);
}

QString separatorOf(const QLocale& locale)
{
    const QString sep = locale.decimalPoint();
    return sep.isEmpty() ? QStringLiteral(".") : sep;
}

// Numbers are written with ASCII digits whatever the locale, so that the reader (which
// keeps only ASCII digits) reads back what it wrote; only the separator is the locale's.
QString withSeparator(QString text, const QLocale& locale)
{
    return text.replace(QLatin1Char('.'), separatorOf(locale));
}

QString fixedText(double v, int decimals, const QLocale& locale)
{
    if (v == 0.0)
        v = 0.0; // no "-0"
    // Past 15 significant digits a fixed layout would show digits the double does not have.
    if (std::fabs(v) >= 1e15)
        return withSeparator(QString::number(v, 'g', 15), locale);
    return withSeparator(QString::number(v, 'f', decimals), locale);
}

QString integerText(double v)
{
    const double t = std::trunc(v);
    if (std::fabs(t) < 9.0e18)
        return QString::number(qint64(t));
    return QString::number(t, 'f', 0);
}

} // namespace

namespace numericfield {

double readNumber(const QString& text, NumericStyle style, const QLocale& locale)
{
    if (style == NumericStyle::General)
        return 0.0;
    const bool negative = (text.contains(QLatin1Char('(')) && text.contains(QLatin1Char(')'))) ||
                          text.contains(QLatin1Char('-'));
    const QString sep = separatorOf(locale);
    int separatorsLeft = style == NumericStyle::Integer ? 0 : 1;
    QString kept;
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text[i];
        if (c >= u'0' && c <= u'9') {
            kept += c;
            ++i;
        } else if (QStringView(text).mid(i).startsWith(sep)) {
            // A separator beyond the style's allowance ends the number.
            if (separatorsLeft == 0)
                break;
            --separatorsLeft;
            kept += QLatin1Char('.');
            i += sep.size();
        } else {
            ++i;
        }
    }
    if (negative)
        kept.prepend(QLatin1Char('-'));
    if (kept.isEmpty() || kept == QLatin1String("-"))
        return 0.0;
    bool ok = false;
    const double v = kept.toDouble(&ok);
    return ok ? v : 0.0;
}

QString editingForm(const QString& text, NumericStyle style, int decimals, const QLocale& locale)
{
    const double v = readNumber(text, style, locale);
    switch (style) {
    case NumericStyle::General:
        return text;
    case NumericStyle::Integer:
        return integerText(v);
    case NumericStyle::Float:
    case NumericStyle::Currency:
    case NumericStyle::Percentage: // the text holds 100 times the value already
        return fixedText(v, decimals, locale);
    }
    return text;
}

QString displayForm(const QString& text, NumericStyle style, int decimals, const QLocale& locale)
{
    const double v = readNumber(text, style, locale);
    switch (style) {
    case NumericStyle::General:
        return text;
    case NumericStyle::Integer:
        return integerText(v);
    case NumericStyle::Float:
        return fixedText(v, decimals, locale);
    case NumericStyle::Currency:
        return locale.toCurrencyString(v == 0.0 ? 0.0 : v, locale.currencySymbol(), decimals);
    case NumericStyle::Percentage:
        return fixedText(v, decimals, locale) + QLatin1Char('%');
    }
    return text;
}

QString valueText(double value, NumericStyle style, const QLocale& locale)
{
    if (style == NumericStyle::Percentage)
        value *= 100.0;
    if (value == 0.0)
        value = 0.0;
    return withSeparator(QString::number(value, 'g', 15), locale);
}

bool keyAccepted(QChar key, const QString& text, int selStart, int selLength, int cursor,
                 NumericStyle style, int decimals, const QLocale& locale)
{
    if (style == NumericStyle::General)
        return true;
    const QString sep = separatorOf(locale);
    QString allowed = QStringLiteral("0123456789-()");
    switch (style) {
    case NumericStyle::Float:
        allowed += sep;
        break;
    case NumericStyle::Currency:
        allowed += sep + locale.currencySymbol().left(1);
        break;
    case NumericStyle::Percentage:
        allowed += sep + QLatin1Char('%');
        break;
    case NumericStyle::General:
    case NumericStyle::Integer:
        break;
    }
    const bool isAllowed = allowed.contains(key);
    if (!text.contains(sep))
        return isAllowed;
    if (!isAllowed || (sep.size() == 1 && key == sep[0]))
        return false;

    QString result = text;
    int caret = cursor;
    if (selStart >= 0 && selLength > 0) {
        result.remove(selStart, selLength);
        caret = selStart;
    }
    result.insert(std::clamp(caret, 0, int(result.size())), key);
    const qsizetype at = result.indexOf(sep);
    const qsizetype decimalsTyped = at < 0 ? result.size() : result.size() - at - sep.size();
    return decimalsTyped <= decimals;
}

} // namespace numericfield

FieldSetting::FieldSetting(NumericEdit& owner) : m_owner(owner), m_color(windowBackground()) {}

void FieldSetting::recheck()
{
    m_owner.rangeCheck();
}

void RangeSetting::setMinimum(double value)
{
    m_min = value;
    limitsChanged();
}

void RangeSetting::setMaximum(double value)
{
    m_max = value;
    limitsChanged();
}

void RangeSetting::limitsChanged()
{
    if (m_min > m_max)
        m_min = m_max;
    recheck();
}

NumericEdit::NumericEdit(QWidget* parent)
    : QLineEdit(parent), m_alert(std::make_unique<AlertSetting>(*this)),
      m_range(std::make_unique<RangeSetting>(*this))
{
    connect(this, &QLineEdit::textChanged, this, &NumericEdit::rangeCheck);
    rangeCheck();
}

NumericEdit::~NumericEdit() = default;

void NumericEdit::setDecimalPlaces(int places)
{
    m_decimals = std::clamp(places, 0, 9);
    rangeCheck();
    reformat();
}

void NumericEdit::setNumericStyle(NumericStyle style)
{
    m_style = style;
    // Typed keys are the only way in that the filter sees; drops and input methods are not.
    setAttribute(Qt::WA_InputMethodEnabled, style == NumericStyle::General);
    setAcceptDrops(style == NumericStyle::General);
    rangeCheck();
    reformat();
}

double NumericEdit::value() const
{
    if (m_style == NumericStyle::General)
        return 0.0;
    const double v = numericfield::readNumber(text(), m_style, QLocale());
    return m_style == NumericStyle::Percentage ? v / 100.0 : v;
}

void NumericEdit::setValue(double value)
{
    if (m_style != NumericStyle::General)
        setText(numericfield::valueText(value, m_style, QLocale()));
    rangeCheck();
    reformat();
}

void NumericEdit::rangeCheck()
{
    // Writing a bound re-enters through the text change; a bound that the style cannot
    // show (1.5 in an integer field) would otherwise be written for ever. While the user
    // edits, the text is theirs (empty, half typed, pasted): the range holds once they leave.
    if (m_range->enforced() && m_style != NumericStyle::General && !m_enforcing &&
        (!hasFocus() || m_committing)) {
        const double v = value();
        m_enforcing = true;
        if (v < m_range->minimum())
            setValue(m_range->minimum());
        else if (v > m_range->maximum())
            setValue(m_range->maximum());
        m_enforcing = false;
    }
    const double v = value();
    m_oor = v < m_range->minimum() || v > m_range->maximum();
    const QColor background = m_oor && m_alert->isActive() && m_style != NumericStyle::General
                                  ? m_alert->color()
                                  : m_range->color();
    if (palette().color(QPalette::Base) != background) {
        QPalette p = palette();
        p.setColor(QPalette::Base, background);
        setPalette(p);
    }
}

void NumericEdit::reformat()
{
    if (hasFocus() && m_activeFocus)
        showForm(numericfield::editingForm(text(), m_style, m_decimals, QLocale()));
    else
        showForm(numericfield::displayForm(text(), m_style, m_decimals, QLocale()));
}

void NumericEdit::showForm(const QString& form)
{
    if (form != text())
        setText(form);
}

bool NumericEdit::filterKey(const QKeyEvent* event) const
{
    if (m_style == NumericStyle::General)
        return true;
    switch (event->key()) {
    case Qt::Key_Backspace: // always accepted
    case Qt::Key_Delete:    // edits without typing a character
    case Qt::Key_Return:    // the dialog's keys
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        break;
    }
    // The editing shortcuts work as in any field; what they leave is checked on leaving.
    for (const auto key : {QKeySequence::SelectAll, QKeySequence::Paste, QKeySequence::Cut,
                           QKeySequence::Copy, QKeySequence::Undo, QKeySequence::Redo}) {
        if (event->matches(key))
            return true;
    }
    const QString typed = event->text();
    if (typed.isEmpty())
        return true;
    // Ctrl with a letter types a control character (Ctrl+V is 0x16), refused like any
    // other: so no paste or cut by shortcut.
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
        return false;
    if (typed.size() != 1 || typed[0].unicode() < 0x20 || typed[0].unicode() == 0x7f)
        return false;
    return numericfield::keyAccepted(typed[0], text(), selectionStart(), int(selectedText().size()),
                                     cursorPosition(), m_style, m_decimals, QLocale());
}

void NumericEdit::keyPressEvent(QKeyEvent* event)
{
    if (filterKey(event))
        QLineEdit::keyPressEvent(event);
    else
        event->accept(); // swallowed: the field sees no character
}

void NumericEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    // Coming back from a context menu is no new entry.
    if (event->reason() == Qt::PopupFocusReason)
        return;
    if (m_activeFocus && hasFocus())
        showForm(numericfield::editingForm(text(), m_style, m_decimals, QLocale()));
    else
        showForm(numericfield::displayForm(text(), m_style, m_decimals, QLocale()));
    if (m_autoSelect)
        selectAll();
}

void NumericEdit::focusOutEvent(QFocusEvent* event)
{
    // A context menu or another window taking over is not leaving the field.
    const bool leaving =
        event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason;
    QLineEdit::focusOutEvent(event);
    if (!leaving)
        return;
    commit();
}

void NumericEdit::commit()
{
    const QString typed = text();
    const double before = value();
    m_committing = true;
    rangeCheck();
    m_committing = false;
    showForm(numericfield::displayForm(text(), m_style, m_decimals, QLocale()));
    if (m_style != NumericStyle::General && m_range->enforced() && value() != before) {
        // Said where the user looks, without taking the focus from where it went.
        m_lastCorrection = typed.trimmed().isEmpty()
                               ? QStringLiteral("An empty field means %1 here.").arg(text())
                               : QStringLiteral("\"%1\" is outside %2 to %3; %4 is used instead.")
                                     .arg(typed, QLocale().toString(m_range->minimum()),
                                          QLocale().toString(m_range->maximum()), text());
        QToolTip::showText(mapToGlobal(QPoint(0, height())), m_lastCorrection, this);
    }
}
