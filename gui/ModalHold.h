#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QWidget;

// Keeps the operator's input away from every window that is up when it is made, for as long as it lives. Work that
// waits in the poll loop lets the console's events run; this keeps the console as still as a modal dialog would, so
// that nothing (the selected user above all) changes under the running work, whatever Qt's modality says. Windows
// opened meanwhile (an error box) take input as usual, and so does the window given as free: the dialog whose work
// it is, for the way out of that work.
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
