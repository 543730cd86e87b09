// The numeric field driven by real key presses and focus changes.

#include "gui/numericedit.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

const QLocale english(QLocale::English, QLocale::UnitedStates);

class ExtendEdit : public ::testing::Test
{
protected:
    QWidget window;
    NumericEdit* edit = nullptr;
    QLineEdit* other = nullptr;

    void SetUp() override
    {
        QLocale::setDefault(english);
        auto* layout = new QVBoxLayout(&window);
        edit = new NumericEdit;
        other = new QLineEdit;
        layout->addWidget(edit);
        layout->addWidget(other);
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        other->setFocus(Qt::OtherFocusReason);
    }
    void TearDown() override { QLocale::setDefault(english); }

    // Tab into the field: it takes its editing form and selects everything.
    void enter()
    {
        other->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(other, Qt::Key_Tab);
        ASSERT_TRUE(edit->hasFocus());
    }
    void leave()
    {
        QTest::keyClick(edit, Qt::Key_Tab);
        ASSERT_FALSE(edit->hasFocus());
    }
    void type(const char* keys) { QTest::keyClicks(edit, QString::fromLatin1(keys)); }
    void key(Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) { QTest::keyClick(edit, k, m); }

    // The setup dialog's three fields.
    void makeTimeoutField()
    {
        edit->setText(QStringLiteral("1"));
        edit->setMaxLength(2);
        edit->setNumericStyle(NumericStyle::Integer);
        edit->range().setMaximum(99);
        edit->range().setMinimum(1);
        edit->range().setEnforced(true);
    }
    void makeMaxConnField()
    {
        edit->setText(QStringLiteral("10"));
        edit->setNumericStyle(NumericStyle::Integer);
        edit->range().setMaximum(100);
        edit->range().setMinimum(1);
        edit->range().setEnforced(true);
    }
};

} // namespace

TEST_F(ExtendEdit, TimeoutFieldRefillsItsMinimumAndStopsAtTwoDigits)
{
    makeTimeoutField();
    enter();
    EXPECT_EQ(edit->selectedText(), QStringLiteral("1"));
    key(Qt::Key_End);
    key(Qt::Key_Backspace);
    // Empty while editing; on leaving, the minimum comes back, and the field says so.
    EXPECT_EQ(edit->text(), QString());
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("1"));
    EXPECT_DOUBLE_EQ(edit->value(), 1.0);
    EXPECT_EQ(edit->lastCorrection(), QStringLiteral("An empty field means 1 here."));
    enter();
    key(Qt::Key_End);
    type("23");
    EXPECT_EQ(edit->text(), QStringLiteral("12"));
    EXPECT_FALSE(edit->outOfRange());
}

TEST_F(ExtendEdit, MaxConnectionsFieldClampsOnLeavingAndTakesSelectAllAndPaste)
{
    makeMaxConnField();
    enter();
    key(Qt::Key_End);
    type("00");
    EXPECT_EQ(edit->text(), QStringLiteral("1000")); // the user's text while editing
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("100"));
    EXPECT_DOUBLE_EQ(edit->value(), 100.0);
    EXPECT_EQ(edit->lastCorrection(),
              QStringLiteral("\"1000\" is outside 1 to 100; 100 is used instead."));
    // Ctrl+A then a digit replaces the number (not "1005"); Ctrl+V pastes.
    enter();
    key(Qt::Key_A, Qt::ControlModifier);
    type("5");
    EXPECT_EQ(edit->text(), QStringLiteral("5"));
    QApplication::clipboard()->setText(QStringLiteral("2"));
    key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), QStringLiteral("52"));
    // A 0 over the selection waits for the leaving to become the minimum.
    key(Qt::Key_A, Qt::ControlModifier);
    type("0");
    EXPECT_EQ(edit->text(), QStringLiteral("0"));
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("1"));
}

TEST_F(ExtendEdit, PortFieldReadsParenthesesAsNegativeAndPassesAnyPort)
{
    edit->setText(QStringLiteral("515"));
    edit->setNumericStyle(NumericStyle::Integer);
    enter();
    type("5(1)5");
    EXPECT_EQ(edit->text(), QStringLiteral("5(1)5"));
    EXPECT_DOUBLE_EQ(edit->value(), -515.0);
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("-515"));
    // Outside the default range, but nothing enforces it and no alert colours it.
    EXPECT_TRUE(edit->outOfRange());
    EXPECT_EQ(edit->palette().color(QPalette::Base), edit->range().color());

    enter();
    type("65535");
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("65535"));
    EXPECT_DOUBLE_EQ(edit->value(), 65535.0);
}

TEST_F(ExtendEdit, KeyFilterRefusesWhatTheStyleDoesNotTake)
{
    edit->setNumericStyle(NumericStyle::Integer);
    enter();
    type("1a.2 x-");
    EXPECT_EQ(edit->text(), QStringLiteral("12-"));
    EXPECT_DOUBLE_EQ(edit->value(), -12.0);

    // Other control characters are swallowed; the editing shortcuts work (paste here).
    QApplication::clipboard()->setText(QStringLiteral("999"));
    key(Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), QStringLiteral("12-"));
    key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), QStringLiteral("12-999"));
    // Editing keys that type nothing pass.
    key(Qt::Key_Home);
    key(Qt::Key_Delete);
    EXPECT_EQ(edit->text(), QStringLiteral("2-999"));

    // The plain style filters nothing: letters and paste both arrive.
    edit->setNumericStyle(NumericStyle::General);
    edit->clear();
    type("ab");
    key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), QStringLiteral("ab999"));
    EXPECT_DOUBLE_EQ(edit->value(), 0.0);
    edit->setValue(5.0);
    EXPECT_EQ(edit->text(), QStringLiteral("ab999"));
}

TEST_F(ExtendEdit, IntegerStyleTruncatesTowardZero)
{
    edit->setNumericStyle(NumericStyle::Integer);
    edit->setValue(2.9);
    EXPECT_EQ(edit->text(), QStringLiteral("2"));
    edit->setValue(-2.9);
    EXPECT_EQ(edit->text(), QStringLiteral("-2"));
    enter();
    EXPECT_EQ(edit->text(), QStringLiteral("-2"));
    key(Qt::Key_End);
    type(".5");
    EXPECT_EQ(edit->text(), QStringLiteral("-25"));
}

TEST_F(ExtendEdit, FloatStyleHoldsItsDecimalPlaces)
{
    edit->setNumericStyle(NumericStyle::Float);
    edit->setDecimalPlaces(2);
    edit->setText(QStringLiteral("3.14"));
    enter();
    key(Qt::Key_End);
    type("5");
    EXPECT_EQ(edit->text(), QStringLiteral("3.14"));
    type(".");
    EXPECT_EQ(edit->text(), QStringLiteral("3.14"));
    key(Qt::Key_Home);
    type("1");
    EXPECT_EQ(edit->text(), QStringLiteral("13.14"));
    // Backspace is always taken; with the separator gone a third digit fits again.
    key(Qt::Key_End);
    key(Qt::Key_Backspace);
    key(Qt::Key_Backspace);
    key(Qt::Key_Backspace);
    type("9");
    EXPECT_EQ(edit->text(), QStringLiteral("139"));
    type(".25");
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("139.25"));
    EXPECT_DOUBLE_EQ(edit->value(), 139.25);
    // Typing over a selection that holds the separator counts the text that results.
    edit->setValue(3.14);
    enter();
    type("7");
    EXPECT_EQ(edit->text(), QStringLiteral("7"));
}

TEST_F(ExtendEdit, PercentageShowsAHundredTimesTheValue)
{
    edit->setNumericStyle(NumericStyle::Percentage);
    edit->setDecimalPlaces(1);
    edit->setValue(0.125);
    EXPECT_EQ(edit->text(), QStringLiteral("12.5%"));
    EXPECT_DOUBLE_EQ(edit->value(), 0.125);
    enter();
    EXPECT_EQ(edit->text(), QStringLiteral("12.5"));
    EXPECT_DOUBLE_EQ(edit->value(), 0.125);
    type("50%");
    leave();
    EXPECT_EQ(edit->text(), QStringLiteral("50.0%"));
    EXPECT_DOUBLE_EQ(edit->value(), 0.5);
}

TEST_F(ExtendEdit, CurrencyFollowsTheLocale)
{
    edit->setNumericStyle(NumericStyle::Currency);
    edit->setDecimalPlaces(2);
    edit->range().setMaximum(1e6);
    edit->setValue(1234.5);
    EXPECT_EQ(edit->text(), QStringLiteral("$1,234.50"));
    EXPECT_DOUBLE_EQ(edit->value(), 1234.5);
    enter();
    EXPECT_EQ(edit->text(), QStringLiteral("1234.50"));
    edit->clear();
    type("$12.5%");
    EXPECT_EQ(edit->text(), QStringLiteral("$12.5"));

    // Another locale: the comma separates decimals, the full stop is refused.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    edit->setValue(1234.5);
    EXPECT_EQ(edit->text(), QStringLiteral("1234,50"));
    leave();
    EXPECT_EQ(edit->text(), QLocale().toCurrencyString(1234.5, QLocale().currencySymbol(), 2));
    EXPECT_DOUBLE_EQ(edit->value(), 1234.5);
    edit->setNumericStyle(NumericStyle::Float);
    enter();
    type("3.1,4");
    EXPECT_EQ(edit->text(), QStringLiteral("31,4"));
    EXPECT_DOUBLE_EQ(edit->value(), 31.4);
}

TEST_F(ExtendEdit, ReadsTheTextAsTheStyleSays)
{
    using numericfield::readNumber;
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("(12)"), NumericStyle::Integer, english), -12.0);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("1,234.5"), NumericStyle::Float, english), 1234.5);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("12.7"), NumericStyle::Integer, english), 12.0);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("1.2.3"), NumericStyle::Float, english), 1.2);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("abc"), NumericStyle::Float, english), 0.0);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("(12"), NumericStyle::Integer, english), 12.0);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("-"), NumericStyle::Integer, english), 0.0);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("."), NumericStyle::Float, english), 0.0);
    EXPECT_DOUBLE_EQ(readNumber(QStringLiteral("5"), NumericStyle::General, english), 0.0);
}

TEST_F(ExtendEdit, RangeKeepsMinimumBelowMaximum)
{
    edit->range().setMinimum(200);
    EXPECT_DOUBLE_EQ(edit->range().minimum(), 100.0);
    EXPECT_DOUBLE_EQ(edit->range().maximum(), 100.0);
    edit->range().setMaximum(-300);
    EXPECT_DOUBLE_EQ(edit->range().minimum(), -300.0);
    EXPECT_DOUBLE_EQ(edit->range().maximum(), -300.0);
}

TEST_F(ExtendEdit, AlertColourMarksAValueOutOfRange)
{
    const QColor normal = edit->palette().color(QPalette::Base);
    edit->setNumericStyle(NumericStyle::Integer);
    edit->range().setMaximum(10);
    edit->range().setMinimum(1);
    edit->alert().setColor(Qt::red);
    edit->alert().setActive(true);
    EXPECT_TRUE(edit->outOfRange()); // empty text reads 0
    EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(Qt::red));
    enter();
    type("5");
    EXPECT_FALSE(edit->outOfRange());
    EXPECT_EQ(edit->palette().color(QPalette::Base), normal);
    type("0");
    EXPECT_TRUE(edit->outOfRange());
    EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(Qt::red));
    // Range.color is the normal background whatever else was set on the line edit.
    edit->range().setColor(Qt::yellow);
    edit->setValue(3);
    EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(Qt::yellow));
    // The plain style is never coloured as an alert.
    edit->setNumericStyle(NumericStyle::General);
    edit->range().setMinimum(5);
    EXPECT_TRUE(edit->outOfRange());
    EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(Qt::yellow));
}

TEST_F(ExtendEdit, ActiveFocusOffKeepsTheDisplayForm)
{
    edit->setNumericStyle(NumericStyle::Percentage);
    edit->setActiveFocus(false);
    edit->setValue(0.5);
    enter();
    EXPECT_EQ(edit->text(), QStringLiteral("50%"));
    EXPECT_EQ(edit->selectedText(), QStringLiteral("50%"));
}
