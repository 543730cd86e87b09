#pragma once
// A single-line field for numbers. It filters typed keys by style, reads its text as a
// number, shows an editing form while it has the focus and a display form otherwise, can
// hold the number inside a range, and can colour its background when the number is out of
// range. The decimal separator and the currency come from the default QLocale.
//
// Only typed characters are filtered, so that editing keys keep working: keys that type
// nothing (arrows, Delete, Shift+Insert) and the dialog keys (Enter, Esc, Tab) pass to the
// line edit, and the range check after every text change catches what they do.

#include <QColor>
#include <QLineEdit>
#include <QLocale>

#include <memory>

enum class NumericStyle
{
    General = 0, // plain text: no filter, no formatting, value reads 0
    Integer = 1,
    Float = 2,
    Currency = 3,
    Percentage = 4,
};

class NumericEdit;

// What the alert and range data share: a colour, and a field that re-checks itself
// whenever one of their settings really changes.
class FieldSetting
{
public:
    FieldSetting(const FieldSetting&) = delete;
    FieldSetting& operator=(const FieldSetting&) = delete;

    QColor color() const { return m_color; }
    void setColor(const QColor& color) { change(m_color, color); }

protected:
    explicit FieldSetting(NumericEdit& owner);
    ~FieldSetting() = default;

    template <class T> void change(T& setting, const T& value)
    {
        if (setting == value)
            return;
        setting = value;
        recheck();
    }
    void recheck();

private:
    NumericEdit& m_owner;
    QColor m_color;
};

// The colour for an out-of-range number.
class AlertSetting final : public FieldSetting
{
public:
    explicit AlertSetting(NumericEdit& owner) : FieldSetting(owner) {}

    bool isActive() const { return m_active; }
    void setActive(bool active) { change(m_active, active); }

private:
    bool m_active = false;
};

// The range and the normal background. minimum never exceeds maximum: a setting that
// would make it so sets minimum to maximum.
class RangeSetting final : public FieldSetting
{
public:
    explicit RangeSetting(NumericEdit& owner) : FieldSetting(owner) {}

    bool enforced() const { return m_enforce; }
    void setEnforced(bool enforce) { change(m_enforce, enforce); }
    double minimum() const { return m_min; }
    void setMinimum(double value);
    double maximum() const { return m_max; }
    void setMaximum(double value);

private:
    // Every limit written re-checks the field, even one that stays as it was.
    void limitsChanged();

    bool m_enforce = false;
    double m_min = -100.0;
    double m_max = 100.0;
};

// The field's text rules as plain functions of text, style and locale.
namespace numericfield {

// Digits and the decimal separators the style allows, sign from "-" or a "(" with a ")".
double readNumber(const QString& text, NumericStyle style, const QLocale& locale);
QString editingForm(const QString& text, NumericStyle style, int decimals, const QLocale& locale);
QString displayForm(const QString& text, NumericStyle style, int decimals, const QLocale& locale);
// The text a written value becomes (before re-formatting): shortest form, 15 digits.
QString valueText(double value, NumericStyle style, const QLocale& locale);
// Whether a typed character (not backspace) may change `text`, whose selection starts at
// selStart (-1 for none) with selLength characters and whose caret is at cursor.
bool keyAccepted(QChar key, const QString& text, int selStart, int selLength, int cursor,
                 NumericStyle style, int decimals, const QLocale& locale);

} // namespace numericfield

class NumericEdit final : public QLineEdit
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NumericEdit)

public:
    explicit NumericEdit(QWidget* parent = nullptr);
    ~NumericEdit() override;

    bool activeFocus() const { return m_activeFocus; }
    void setActiveFocus(bool on) { m_activeFocus = on; }
    AlertSetting& alert() { return *m_alert; }
    RangeSetting& range() { return *m_range; }
    int decimalPlaces() const { return m_decimals; }
    void setDecimalPlaces(int places); // 0 to 9
    NumericStyle numericStyle() const { return m_style; }
    void setNumericStyle(NumericStyle style);
    bool outOfRange() const { return m_oor; }
    double value() const;
    void setValue(double value);
    // Selects all text on entering the field.
    bool autoSelect() const { return m_autoSelect; }
    void setAutoSelect(bool on) { m_autoSelect = on; }

    // Enforces the range when asked (not while the user edits the field: on leaving it), sets
    // outOfRange and the background. The sub-objects call it when they change.
    void rangeCheck();
    // What leaving the field does: the range enforced (with a word to the user when that
    // changed the number) and the display form. OK calls it for a field it is pressed in.
    void commit();
    // What the field said the last time leaving it put the number back in range.
    QString lastCorrection() const { return m_lastCorrection; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QString m_lastCorrection;
    bool m_committing = false;
    void reformat();
    void showForm(const QString& form);
    bool filterKey(const QKeyEvent* event) const;

    bool m_activeFocus = true;
    std::unique_ptr<AlertSetting> m_alert;
    int m_decimals = 0;
    NumericStyle m_style = NumericStyle::General;
    bool m_oor = false;
    std::unique_ptr<RangeSetting> m_range;
    bool m_autoSelect = true;
    bool m_enforcing = false;
};
