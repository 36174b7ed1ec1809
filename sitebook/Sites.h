#pragma once

#include <QDialog>
#include <QString>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TMainForm;
class TSettingsStore;

// Where the site book lives in the settings store, and how a site's name becomes the name of its key.
namespace SiteBook {
inline constexpr const char* Path = "\\Drummock\\SiTES";

// Positions the store on the site book (creating it when missing), so that a section is a site's name.
TSettingsStore& open(TSettingsStore& store);

// A site name as its key name: the text as UTF-8. A name that holds the store's path separator "\" would reach
// outside its own key, so it has no key name: the result is empty, as it is for the empty name.
std::string keyName(const QString& siteName);

// The site names in the store's order.
QStringList names(TSettingsStore& store);
} // namespace SiteBook

// The site maintenance dialog: the operator's book of sites (name, host, port, log-in, enciphered password),
// read and written straight in the main window's settings store. Made once at start-up and shown on demand.
class TSiteForm : public QDialog {
public:
    explicit TSiteForm(TMainForm* mainForm);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QComboBox* SiteName;
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
