// The number box of the user dialogs: which keys it takes, how its text reads, and how it keeps to its range.

#include "admin/SpinEdit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <climits>
#include <tuple>

namespace {

class SpinEditTest : public ::testing::Test {
protected:
    SpinEditTest()
    {
        spin->setGeometry(10, 10, 49, 22);
        other->move(10, 50);
        window.show();
        QApplication::setActiveWindow(&window);
        spin->setFocus();
    }
    void setText(const QString& text) { spin->findChild<QLineEdit*>()->setText(text); }

    QWidget window;
    TSpinEdit* spin = new TSpinEdit(&window);
    QLineEdit* other = new QLineEdit(&window);
};

TEST_F(SpinEditTest, TypingTakesDigitsSignsAndTheSeparatorAndTheTextReadsAsAnInteger)
{
    EXPECT_EQ(spin->text(), "0");
    const QString point = QLocale().decimalPoint();
    // typed, the text it leaves, the keys refused with a beep, the value read
    const std::tuple<QString, QString, int, int> rows[] = {
        {"12", "12", 0, 12},
        {"+7", "+7", 0, 7},
        {"-3", "-3", 0, -3},
        {"-", "-", 0, 0},
        {"a1 b", "1", 3, 1},
        {"5%", "5", 1, 5},
        {"1" + point + "5", "1" + point + "5", 0, 0},
        {"5-", "5-", 0, 0},
        {"99999999999", "99999999999", 0, INT_MAX},
        {"3\r", "3", 1, 3}, // Enter is refused: in the box it must not press a dialog button
    };
    for (const auto& [typed, text, beeps, value] : rows) {
        setText(QString());
        QSignalSpy refused(spin, &TSpinEdit::keyRefused);
        QTest::keyClicks(spin, typed);
        EXPECT_EQ(spin->text(), text) << typed.toStdString();
        EXPECT_EQ(refused.count(), beeps) << typed.toStdString();
        EXPECT_EQ(spin->value(), value) << typed.toStdString();
    }
}

TEST_F(SpinEditTest, ArrowsAndLeavingTheBoxKeepTheNumberInRange)
{
    const std::tuple<QString, int, QString> keys[] = {
        {"9", Qt::Key_Up, "10"}, {"10", Qt::Key_Up, "10"}, {"0", Qt::Key_Down, "0"},   {"15", Qt::Key_Up, "10"},
        {"-4", Qt::Key_Up, "0"}, {"-", Qt::Key_Up, "1"},   {"3", Qt::Key_PageUp, "3"},
    };
    for (const auto& [from, key, to] : keys) {
        setText(from);
        QTest::keyClick(spin, Qt::Key(key));
        EXPECT_EQ(spin->text(), to) << from.toStdString() << " key " << key;
    }
    setText("4");
    QTest::mouseClick(spin, Qt::LeftButton, {}, QPoint(spin->width() - 5, 5)); // the up arrow
    EXPECT_EQ(spin->text(), "5");

    const std::pair<QString, QString> left[] = {{"15", "10"}, {"-3", "0"}, {"7", "7"}, {"-", "-"}};
    for (const auto& [typed, after] : left) {
        spin->setFocus();
        setText(typed);
        other->setFocus();
        EXPECT_EQ(spin->text(), after) << typed.toStdString();
    }
}

} // namespace
