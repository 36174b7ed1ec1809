#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPlainTextEdit;

// The viewer of a release's NFO, DIZ or ZIP listing: the daemon's reply lines, shown whole once they are in.
class TNfoDizForm : public QDialog {
    Q_OBJECT

public:
    explicit TNfoDizForm(QWidget* owner);

    QFrame* Panel1;
    QLabel* Caption;
    QPlainTextEdit* NfoDizMemo;
};
