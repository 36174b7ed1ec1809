#pragma once

#include <QComboBox>

// An editable drop-down box that tells a chosen item from a typed text. QComboBox also reports "activated" when
// typing stops (focus leaves, or Enter) on a text that happens to match an item; itemChosen fires only when the
// operator picks an item from the list, by mouse or by keyboard.
class TComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit TComboBox(QWidget* parent = nullptr);

signals:
    void itemChosen(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool typingEnds_ = false;
};
