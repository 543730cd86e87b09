#pragma once
// A single-line field for numbers. It filters typed keys by style, reads its text as a
// number, shows an editing form while it has the focus and a display form otherwise, can
// hold the number inside a range, and can colour its background when the number is out of
// range. The decimal separator and the currency come from the default QLocale.
//
// Only typed characters are filtered, as the classic edit control did: keys that type
// nothing (arrows, Delete, Shift+Insert) and the dialog keys (Enter, Esc, Tab) pass to the
// line edit, and the range check after every text change catches what they do.

#include <QColor>
#include <QLineEdit>
#include <QLocale>

#include <memory>

enum TEditType
{
    esGeneral = 0, // plain text: no filter, no formatting, Value reads 0
    esInteger = 1,
    esFloat = 2,
    esCurrency = 3,
    esPercentage = 4,
};

class TExtendEdit;

// What the alert and range data share: a colour, and a field that re-checks itself
// whenever one of their settings really changes.
class TEditData
{
public:
    TEditData(const TEditData&) = delete;
    TEditData& operator=(const TEditData&) = delete;

    QColor Color() const { return m_color; }
    void setColor(const QColor& color) { change(m_color, color); }

protected:
    explicit TEditData(TExtendEdit& owner);
    ~TEditData() = default;

    template <class T> void change(T& setting, const T& value)
    {
        if (setting == value)
            return;
        setting = value;
        recheck();
    }
    void recheck();

private:
    TExtendEdit& m_owner;
    QColor m_color;
};

// The colour for an out-of-range number.
class TAlertData final : public TEditData
{
public:
    explicit TAlertData(TExtendEdit& owner) : TEditData(owner) {}

    bool Active() const { return m_active; }
    void setActive(bool active) { change(m_active, active); }

private:
    bool m_active = false;
};

// The range and the normal background. MinValue never exceeds MaxValue: a setting that
// would make it so sets MinValue to MaxValue.
class TRangeData final : public TEditData
{
public:
    explicit TRangeData(TExtendEdit& owner) : TEditData(owner) {}

    bool Enforce() const { return m_enforce; }
    void setEnforce(bool enforce) { change(m_enforce, enforce); }
    double MinValue() const { return m_min; }
    void setMinValue(double value);
    double MaxValue() const { return m_max; }
    void setMaxValue(double value);

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
double readNumber(const QString& text, TEditType style, const QLocale& locale);
QString editingForm(const QString& text, TEditType style, int decimals, const QLocale& locale);
QString displayForm(const QString& text, TEditType style, int decimals, const QLocale& locale);
// The text a written value becomes (before re-formatting): shortest form, 15 digits.
QString valueText(double value, TEditType style, const QLocale& locale);
// Whether a typed character (not backspace) may change `text`, whose selection starts at
// selStart (-1 for none) with selLength characters and whose caret is at cursor.
bool keyAccepted(QChar key, const QString& text, int selStart, int selLength, int cursor,
                 TEditType style, int decimals, const QLocale& locale);

} // namespace numericfield

class TExtendEdit final : public QLineEdit
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TExtendEdit)

public:
    explicit TExtendEdit(QWidget* parent = nullptr);
    ~TExtendEdit() override;

    bool ActiveFocus() const { return m_activeFocus; }
    void setActiveFocus(bool on) { m_activeFocus = on; }
    TAlertData& Alert() { return *m_alert; }
    TRangeData& Range() { return *m_range; }
    int DecimalPlaces() const { return m_decimals; }
    void setDecimalPlaces(int places); // 0 to 9
    TEditType EditStyle() const { return m_style; }
    void setEditStyle(TEditType style);
    bool OORError() const { return m_oor; }
    double Value() const;
    void setValue(double value);
    // Selects all text on entering the field.
    bool AutoSelect() const { return m_autoSelect; }
    void setAutoSelect(bool on) { m_autoSelect = on; }

    // Enforces the range when asked, sets OORError and the background. The sub-objects
    // call it when they change.
    void rangeCheck();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void reformat();
    void showForm(const QString& form);
    bool filterKey(const QKeyEvent* event) const;

    bool m_activeFocus = true;
    std::unique_ptr<TAlertData> m_alert;
    int m_decimals = 0;
    TEditType m_style = esGeneral;
    bool m_oor = false;
    std::unique_ptr<TRangeData> m_range;
    bool m_autoSelect = true;
    bool m_enforcing = false;
};
