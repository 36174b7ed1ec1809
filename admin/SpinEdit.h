#pragma once

#include <QAbstractSpinBox>
#include <QString>

// A number box with up and down arrows, as the user dialogs use it for log-in limits and ratios. It holds text,
// not a number: typing accepts digits, signs, the decimal separator and control keys (Enter excepted), so a
// half-typed "-" can stand in it. Its value is that text read as a decimal integer, or the minimum when the text
// is none. The arrows, the Up and Down keys and leaving the box pull the value into the range.
class TSpinEdit : public QAbstractSpinBox {
    Q_OBJECT

public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    int value() const;
    // Shows the value pulled into the range.
    void setValue(int value);
    int minValue() const { return min_; }
    int maxValue() const { return max_; }
    void setRange(int min, int max);

    void stepBy(int steps) override;

signals:
    // A key was refused (and the beep sounded).
    void keyRefused();

protected:
    StepEnabled stepEnabled() const override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int clamp(qint64 value) const;
    void refuse();

    int min_ = 0;
    int max_ = 10;
};
