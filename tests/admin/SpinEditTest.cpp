// The number box of the user dialogs: which keys it takes, how its text reads, and how it keeps to its range.

#include "admin/SpinEdit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QStyleOptionSpinBox>
#include <QTest>
#include <QWidget>
#include <climits>

namespace {

class SpinEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.resize(200, 100);
        spin = new TSpinEdit(&window);
        spin->setGeometry(10, 10, 49, 22);
        other = new QLineEdit(&window);
        other->setGeometry(10, 50, 100, 22);
        window.show();
        QApplication::setActiveWindow(&window);
        spin->setFocus();
    }

    QLineEdit* edit() const { return spin->findChild<QLineEdit*>(); }
    void setText(const QString& text) { edit()->setText(text); }

    QWidget window;
    TSpinEdit* spin = nullptr;
    QLineEdit* other = nullptr;
};

TEST_F(SpinEditTest, StartsAtZeroWithTheRangeZeroToTen)
{
    EXPECT_EQ(spin->text(), "0");
    EXPECT_EQ(spin->value(), 0);
    EXPECT_EQ(spin->minValue(), 0);
    EXPECT_EQ(spin->maxValue(), 10);
}

TEST_F(SpinEditTest, TypingTakesDigitsSignsAndTheSeparatorAndBeepsAtTheRest)
{
    const QString point = QLocale().decimalPoint();
    struct Row {
        QString typed;
        QString text;
        int refused;
    };
    const Row rows[] = {
        {"7", "7", 0},
        {"12", "12", 0},
        {"-", "-", 0},
        {"+3", "+3", 0},
        {"1" + point + "5", "1" + point + "5", 0},
        {"a1 b", "1", 3}, // letters and the blank are refused, each with a beep
        {"x", "", 1},
        {"5%", "5", 1},
    };
    for (const Row& row : rows) {
        edit()->clear();
        QSignalSpy refused(spin, &TSpinEdit::keyRefused);
        QTest::keyClicks(spin, row.typed);
        EXPECT_EQ(spin->text(), row.text) << row.typed.toStdString();
        EXPECT_EQ(refused.count(), row.refused) << row.typed.toStdString();
    }

    // Control keys edit; Enter is refused and goes nowhere.
    setText("123");
    edit()->end(false);
    QSignalSpy refused(spin, &TSpinEdit::keyRefused);
    QTest::keyClick(spin, Qt::Key_Backspace);
    EXPECT_EQ(spin->text(), "12");
    QTest::keyClick(spin, Qt::Key_Home);
    QTest::keyClick(spin, Qt::Key_Delete);
    EXPECT_EQ(spin->text(), "2");
    EXPECT_EQ(refused.count(), 0);
    QTest::keyClick(spin, Qt::Key_Return);
    QTest::keyClick(spin, Qt::Key_Enter);
    EXPECT_EQ(refused.count(), 2);
    EXPECT_EQ(spin->text(), "2");
}

TEST_F(SpinEditTest, TheValueIsTheTextAsADecimalIntegerOrZero)
{
    const std::pair<QString, int> rows[] = {
        {"7", 7},      {"+7", 7}, {"-3", -3}, {"15", 15}, {"007", 7},        {"-", 0},
        {"+", 0},      {"", 0},   {"1.5", 0}, {"1,5", 0}, {"5-", 0},         {" 5", 0},
        {"pasted", 0}, {"0x1F", 0}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const auto& [text, value] : rows) {
        setText(text);
        EXPECT_EQ(spin->value(), value) << '"' << text.toStdString() << '"';
    }
}

TEST_F(SpinEditTest, LeavingTheBoxPullsANumberIntoTheRangeAndLeavesAnythingElse)
{
    const std::pair<QString, QString> rows[] = {
        {"15", "10"}, {"-3", "0"}, {"99999999999", "10"}, {"7", "7"}, {"+4", "+4"}, {"-", "-"}, {"1.5", "1.5"},
    };
    for (const auto& [typed, left] : rows) {
        spin->setFocus();
        ASSERT_TRUE(spin->hasFocus());
        setText(typed);
        other->setFocus();
        EXPECT_EQ(spin->text(), left) << typed.toStdString();
    }
}

TEST_F(SpinEditTest, ArrowsAndArrowKeysStepByOneWithinTheRange)
{
    struct Row {
        QString from;
        int key;
        QString to;
    };
    const Row rows[] = {
        {"0", Qt::Key_Up, "1"},  {"9", Qt::Key_Up, "10"},   {"10", Qt::Key_Up, "10"}, {"0", Qt::Key_Down, "0"},
        {"5", Qt::Key_Down, "4"}, {"15", Qt::Key_Up, "10"}, {"-4", Qt::Key_Up, "0"},  {"-", Qt::Key_Up, "1"},
        {"x", Qt::Key_Down, "0"}, {"3", Qt::Key_PageUp, "3"},
    };
    for (const Row& row : rows) {
        setText(row.from);
        QTest::keyClick(spin, Qt::Key(row.key));
        EXPECT_EQ(spin->text(), row.to) << row.from.toStdString() << " key " << row.key;
    }

    // The arrow buttons at the right edge do the same.
    QStyleOptionSpinBox option;
    option.initFrom(spin);
    option.subControls = QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
    option.buttonSymbols = QAbstractSpinBox::UpDownArrows;
    option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
    const QRect up = spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxUp, spin);
    const QRect down = spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxDown, spin);
    setText("4");
    QTest::mouseClick(spin, Qt::LeftButton, {}, up.center());
    QTest::mouseClick(spin, Qt::LeftButton, {}, up.center());
    EXPECT_EQ(spin->text(), "6");
    QTest::mouseClick(spin, Qt::LeftButton, {}, down.center());
    EXPECT_EQ(spin->text(), "5");
}

} // namespace
