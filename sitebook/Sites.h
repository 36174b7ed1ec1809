#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "sitebook/SiteBook.h"

class TComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TMainForm;

// The site maintenance dialog: the operator's book of sites (name, host, port, log-in, enciphered password),
// read and written straight in the main window's settings store. Made once at start-up and shown on demand.
class TSiteForm : public QDialog {
    Q_OBJECT

public:
    explicit TSiteForm(TMainForm* mainForm);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    TComboBox* SiteName;
    QLineEdit* Hostname;
    QLineEdit* Login;
    QLineEdit* Port;
    QLineEdit* Password;
    QPushButton* bbNew;
    QPushButton* bbSave;
    QPushButton* bbDelete;
    QPushButton* bbExit;

    void FormCreate();
    void SiteNameClick(); // an item chosen from the list
    void bbNewClick();
    void bbSaveClick();
    void bbDeleteClick();
    void bbExitClick();
    void FormClose();

    // The notice for a name that cannot be a site's key name.
    static const char* const BadNameNotice;

protected:
    void done(int result) override;

private:
    void refillSites();
    // The site the name box names, or an empty key name after telling the operator why there is none.
    std::string chosenSite();

    TMainForm* main_;
};
