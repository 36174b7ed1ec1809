#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QWidget;

// Keeps the operator's input away from every window that is up when it is made, for as long as it lives. A dialog
// that hides itself while its work goes on is no longer modal as far as Qt is concerned; this keeps the console as
// still as a modal dialog would, so that nothing (the selected user above all) changes under the running work.
// Windows opened meanwhile (an error box) take input as usual, and so does the window given as free: a dialog that
// stays up while its work goes on, for the way out of that work.
class TModalHold : public QObject {
public:
    explicit TModalHold(const QWidget* free = nullptr);
    ~TModalHold() override;
    TModalHold(const TModalHold&) = delete;
    TModalHold& operator=(const TModalHold&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool held(const QObject* receiver) const;

    QList<QPointer<QWidget>> windows_;
};
