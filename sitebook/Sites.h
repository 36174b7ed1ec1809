#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sitebook/SiteBook.h"

class QCheckBox;
class QComboBox;
class TComboBox;
class TDiamond;
class TSettingsStore;
class TSiteSession;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The site maintenance dialog: the operator's book of sites (name, host, port, log-in, enciphered password), read
// and written straight in the settings store. Made once at start-up and shown on demand. It knows the store and the
// cipher it is given, nothing of the window that owns it: what the owner must learn, it announces.
class TSiteForm : public QDialog {
    Q_OBJECT

public:
    // store gives the open settings store, or raises the error that says why there is none.
    TSiteForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QWidget* parent = nullptr);
    ~TSiteForm() override;

    TComboBox* SiteName;
    QLineEdit* Hostname;
    QLineEdit* Login;
    QLineEdit* Port;
    QLineEdit* Password;
    QPushButton* bbNew;
    QPushButton* bbSave;
    QPushButton* bbDelete;
    QPushButton* bbExit;
    // How the site is reached, below the record's first fields.
    QComboBox* Security;       // in the order of TFtpSecurity
    QComboBox* DataConnection; // passive, active, passive else active
    QLineEdit* ReplyTimeout;   // seconds a reply is waited for, 0 for ever
    QLineEdit* Certificate;    // the pinned fingerprint, shown; FORGET empties it for the next SAVE
    QPushButton* bbForget;
    // Below everything: where a saved password is kept, and that without a secret store or a master password it
    // is only obscured.
    QComboBox* Folder;    // the folder of the book the site is filed in; empty: the top level
    QCheckBox* Reconnect; // log in again by itself when the connection drops while idle
    QLabel* PasswordSafety;
    // Below that, the path the site's connections take: a proxy's URL (socks5://host:port, http://host:port; empty:
    // direct), the user and password it is given, TEST, which logs in along the path and says hop by hop how far it
    // came, and APPLY TO FOLDER, which gives the path to every site of the site's folder.
    QLineEdit* ConnectVia;
    QLineEdit* ProxyUser;
    QLineEdit* ProxyPassword;
    QPushButton* bbTest;
    QPushButton* bbApplyVia;
    QPlainTextEdit* PathReport;

    // Lists the sites as the store has them now and shows the named one, when it exists.
    void openOn(const QString& site);

    // The notice for a name that cannot be a site's key name.
    static const char* const BadNameNotice;
    // SAVE refuses a port no TCP connection can use.
    static const char* const BadPortNotice;
    // DELETE asks this first ("%1" the site's name, as names are shown), No being the default; EXiT with unsaved
    // changes asks the other.
    static const char* const DeleteQuestion;
    static const char* const SaveQuestion;
    // APPLY TO FOLDER asks this first: "%1" the number of sites, "%2" the folder, "%3" the path.
    static const char* const ApplyViaQuestion;

    // The name of the site the name box names: the book's own name of the item picked (the list shows names as
    // SiteBook::shownName shows them), or the text typed.
    QString siteNameText() const;
    // Whether the boxes hold changes that SAVE has not written.
    bool hasUnsavedChanges() const;

signals:
    // The dialog closed; the site it last saved or showed (empty: none), which the owner now uses. The book may
    // have changed while it was open.
    void closed(const QString& site);

protected:
    void done(int result) override;

private:
    // The captions, each above or beside its box; named as the operator's guides name them.
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8, *Label9, *Label10, *Label11,
        *Label12, *Label13;

    // The handlers of the dialog's controls and of its opening and closing.
    void FormCreate();
    void SiteNameClick(); // an item chosen from the list
    void bbNewClick();
    void bbSaveClick();
    void bbDeleteClick();
    void bbExitClick();
    void bbForgetClick();
    // Logs in along the boxes' path and out again, through a session of its own; while it runs, the button reads
    // CANCEL and ends it.
    void bbTestClick();
    void bbApplyViaClick();
    // Implicit TLS chosen while the port is FTP's own proposes the implicit port.
    void SecurityChange();
    void FormClose();

    void refillSites();
    // Says where the shown site's password is kept, or, for a site not saved yet, where a saved one would go.
    void showPasswordSafety();
    // What the boxes hold, to tell later whether they changed; remembered at each load, NEW, SAVE and DELETE.
    QStringList edits() const;
    void remember();
    // Shows how a site is reached: its security, data connection and pinned certificate.
    void showConnection(const SiteBook::Record& site);
    // The site the name box names, or an empty key name after telling the operator why there is none.
    std::string chosenSite();
    // The record the boxes hold, checked as SAVE checks it; none after telling the operator what is wrong.
    // keepAsking: the site's password is asked at each log-in, and its box may stay empty.
    std::optional<SiteBook::Record> boxedRecord(const QString& name, bool keepAsking);
    // The path the CONNECT ViA boxes hold, its user from the user box (or the URL), as a URL without a password;
    // none after telling the operator what is wrong.
    std::optional<std::string> boxedPath();
    void showPath(const SiteBook::Record& site);
    void makePathControls();
    // The FOLDER box's folder as it is stored: its parts trimmed, empty ones left out.
    QString folderText() const;

    // Shows a login or host whole, however long the stored one is: a field never cuts a stored value.
    void showWhole(QLineEdit* box, const QString& text, int usualLimit);

    std::function<TSettingsStore&()> store_;
    QString shown_;             // the site last saved or shown
    QString editing_;           // the site whose record the boxes hold; empty for a new one
    bool editingAsked_ = false; // that site has its password asked at each log-in
    QStringList remembered_;    // the boxes as last loaded or saved
    bool closing_ = false;      // the question about unsaved changes is being answered
    const TDiamond& cipher_;
    std::unique_ptr<TSiteSession> testing_; // the session of the TEST under way
};
