#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The About box: the title picture, and the credits behind "ViEW CREDiTS".
class TAboutForm : public QDialog {
    Q_OBJECT

public:
    explicit TAboutForm(QWidget* parent);

    QLabel* KolvanePic;
    QPlainTextEdit* Credits;
    QPushButton* bbViewCredits;

    void bbViewCreditsClick();
};
