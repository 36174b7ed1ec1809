#include "admin/SpinEdit.h"

#include "platform/Decimal.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <algorithm>
#include <limits>

namespace {

// Whether a typed character may go into the box.
bool isValidChar(QChar c)
{
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        return true;
    if (c == QLatin1Char('+') || c == QLatin1Char('-'))
        return true;
    if (QString(c) == QLocale().decimalPoint())
        return true;
    // Control keys edit the text (Backspace, Ctrl+V, ...); Enter would only beep in a number box.
    const ushort u = c.unicode();
    return (u < 0x20 || u == 0x7f) && u != '\r' && u != '\n';
}

// Reads text as a decimal integer ("+7", "-3", "12"; too large a number saturates); false when it is none.
bool readInteger(const QString& text, int* value)
{
    const DecimalRead read = readDecimal(text, DecimalSigns::PlusOrMinus);
    if (read.outcome == DecimalRead::NoNumber)
        return false;
    *value = read.value; // past 32 bits: the nearer bound
    return true;
}

} // namespace

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent)
{
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setAccelerated(false);
    lineEdit()->setText(QString::number(min_));
}

int TSpinEdit::value() const
{
    int n = 0;
    return readInteger(text(), &n) ? n : min_;
}

int TSpinEdit::clamp(qint64 value) const
{
    return int(std::clamp<qint64>(value, min_, max_));
}

void TSpinEdit::setValue(int value)
{
    lineEdit()->setText(QString::number(clamp(value)));
}

void TSpinEdit::setRange(int min, int max)
{
    min_ = min;
    max_ = std::max(min, max);
}

void TSpinEdit::stepBy(int steps)
{
    setValue(clamp(qint64(value()) + steps));
    selectAll();
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const
{
    // The arrows always work: a step from outside the range lands at its nearer bound.
    return StepUpEnabled | StepDownEnabled;
}

QValidator::State TSpinEdit::validate(QString&, int&) const
{
    // What may be typed is decided key by key; pasted text stands as pasted and reads as the minimum if it is no
    // number.
    return QValidator::Acceptable;
}

void TSpinEdit::fixup(QString&) const {}

void TSpinEdit::refuse()
{
    QApplication::beep();
    emit keyRefused();
}

void TSpinEdit::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Up:
        stepBy(1);
        event->accept();
        return;
    case Qt::Key_Down:
        stepBy(-1);
        event->accept();
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        event->ignore(); // one step is all the box knows
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Refused here rather than passed on: Enter in the box must not press a dialog button.
        refuse();
        event->accept();
        return;
    default:
        break;
    }
    const QString typed = event->text();
    for (const QChar c : typed) {
        if (!isValidChar(c)) {
            refuse();
            event->accept();
            return;
        }
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void TSpinEdit::focusOutEvent(QFocusEvent* event)
{
    QAbstractSpinBox::focusOutEvent(event);
    // Only a number outside the range is pulled in; a text that is no number stays and reads as the minimum.
    int n = 0;
    if (readInteger(text(), &n) && (n < min_ || n > max_))
        setValue(n);
}
