#include "sitebook/Sites.h"

#include "gui/ComboBox.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <iterator>

using namespace WidgetKit;

const char* const TSiteForm::BadNameNotice = "Duh! A SiteName cannot hold a backslash...";
const char* const TSiteForm::BadPortNotice = "Duh! The Port is a number from 1 to 65535...";
const char* const TSiteForm::DeleteQuestion = "Delete the site %1?";
const char* const TSiteForm::SaveQuestion = "Save the changes to %1?";

TSiteForm::TSiteForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher)
{
    setObjectName(QStringLiteral("SiteForm"));
    setWindowTitle(QStringLiteral("SiTE MAiNTENANCE"));
    setFixedSize(275, 461);
    setModal(true);

    Label1 = label(this, "Label1", QStringLiteral("SiTE NAME"), QPoint(8, 8));
    Label2 = label(this, "Label2", QStringLiteral("HOST NAME OR IP"), QPoint(8, 56));
    Label3 = label(this, "Label3", QStringLiteral("LOGIN"), QPoint(8, 104));
    Label5 = label(this, "Label5", QStringLiteral("PORT"), QPoint(96, 104));
    Label4 = label(this, "Label4", QStringLiteral("PASSWORD"), QPoint(8, 152));

    SiteName = new TComboBox(this);
    SiteName->setObjectName(QStringLiteral("SiteName"));
    SiteName->setGeometry(8, 24, 169, 25);
    Hostname = edit(this, "Hostname", QRect(8, 72, 153, 22));
    Login = edit(this, "Login", QRect(8, 120, 81, 22));
    Login->setMaxLength(10);
    Port = edit(this, "Port", QRect(96, 120, 49, 22));
    Port->setMaxLength(6);
    Port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,6}")), Port));
    Password = edit(this, "Password", QRect(8, 168, 153, 22));
    Password->setEchoMode(QLineEdit::Password);
    Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*" for every character

    bbNew = button(this, "bbNew", QStringLiteral("&NEW"), QRect(192, 24, 75, 25));
    bbSave = button(this, "bbSave", QStringLiteral("&SAVE"), QRect(192, 67, 75, 25));
    bbDelete = button(this, "bbDelete", QStringLiteral("&DELETE"), QRect(192, 109, 75, 25));
    bbExit = button(this, "bbExit", QStringLiteral("&EXiT"), QRect(192, 152, 75, 25));

    Label6 = label(this, "Label6", QStringLiteral("SECURiTY"), QPoint(8, 200));
    Security = pickList(this, "Security", QRect(8, 216, 259, 22));
    Security->addItems({QStringLiteral("Plain FTP"), QStringLiteral("Explicit TLS if offered"),
                        QStringLiteral("Require explicit TLS"), QStringLiteral("Implicit TLS")});
    Label7 = label(this, "Label7", QStringLiteral("DATA CONNECTiON"), QPoint(8, 248));
    DataConnection = pickList(this, "DataConnection", QRect(8, 264, 177, 22));
    DataConnection->addItems({QStringLiteral("Passive (EPSV, then PASV)"), QStringLiteral("Active (PORT/EPRT)"),
                              QStringLiteral("Passive, else active")});
    Label9 = label(this, "Label9", QStringLiteral("TiMEOUT (s)"), QPoint(192, 248));
    ReplyTimeout = edit(this, "ReplyTimeout", QRect(192, 264, 75, 22));
    ReplyTimeout->setMaxLength(5);
    ReplyTimeout->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), ReplyTimeout));
    ReplyTimeout->setToolTip(QStringLiteral("How long a reply is waited for, in seconds; 0 waits for ever"));
    Label8 = label(this, "Label8", QStringLiteral("PiNNED CERTiFiCATE (SHA-256)"), QPoint(8, 296));
    Certificate = edit(this, "Certificate", QRect(8, 312, 177, 22));
    Certificate->setReadOnly(true);
    bbForget = button(this, "bbForget", QStringLiteral("&FORGET"), QRect(192, 310, 75, 25));
    // The folder of the book the site is filed in: Run on Sites groups the sites by it.
    Label10 = label(this, "Label10", QStringLiteral("FOLDER"), QPoint(8, 342));
    Folder = editableList(this, "Folder", QRect(8, 358, 259, 22));
    Folder->setToolTip(QStringLiteral("The folder of the site book to file the site in, its parts joined by / "
                                      "(Customers/EU); empty for the top level"));
    // The caption goes on two lines: on one it is wider than the dialog. Screen readers hear it as one.
    Reconnect = checkBox(this, "Reconnect", QStringLiteral("Reconnect if the connection drops\nwhile idle"),
                         QRect(8, 386, 259, 34));
    Reconnect->setAccessibleName(QStringLiteral("Reconnect if the connection drops while idle"));
    Reconnect->setToolTip(QStringLiteral("Log in again by itself after the connection dropped while nothing was "
                                         "under way: after 1, 2, 4 ... up to 60 seconds, at most 10 times"));
    // Where the passwords this dialog saves are kept, said plainly below everything else.
    PasswordSafety = label(this, "PasswordSafety", QString(), QPoint(8, 424));
    PasswordSafety->setWordWrap(true);
    PasswordSafety->setGeometry(8, 424, 259, 32);
    PasswordSafety->setToolTip(QStringLiteral("MiSC > Master Password seals the passwords where the desktop has no "
                                              "secret store"));

    Label1->setBuddy(SiteName);
    Label2->setBuddy(Hostname);
    Label3->setBuddy(Login);
    Label5->setBuddy(Port);
    Label4->setBuddy(Password);
    Label6->setBuddy(Security);
    Label7->setBuddy(DataConnection);
    Label9->setBuddy(ReplyTimeout);
    Label8->setBuddy(Certificate);
    Label10->setBuddy(Folder);
    // Top to bottom as the boxes stand, the buttons last.
    tabChain({SiteName, Hostname, Login, Port, Password, Security, DataConnection, ReplyTimeout, Certificate, bbForget,
              Folder, Reconnect, bbNew, bbSave, bbDelete, bbExit});
    bbNew->setToolTip(QStringLiteral("Empty the boxes to enter a new site"));
    bbSave->setToolTip(QStringLiteral("Save the site under the name in SiTE NAME (a new name makes a new site)"));
    bbDelete->setToolTip(QStringLiteral("Delete the site named in SiTE NAME from the book"));
    bbExit->setToolTip(QStringLiteral("Close the site book; the main window then shows the site last saved or shown"));
    bbForget->setToolTip(QStringLiteral("Forget the pinned certificate, so the next log-in asks again (then SAVE)"));
    SiteName->setToolTip(QStringLiteral("Pick a site to change it, or type the name of a new one"));
    Port->setToolTip(QStringLiteral("The daemon's port, 1 to 65535 (usually 21, or 990 for implicit TLS)"));
    Security->setToolTip(
        QStringLiteral("How the log-in is protected: Require explicit TLS unless the daemon has none"));
    nameControls(this);

    connectGuarded(SiteName, &TComboBox::itemChosen, this, &TSiteForm::SiteNameClick);
    connectGuarded(bbNew, &QPushButton::clicked, this, &TSiteForm::bbNewClick);
    connectGuarded(bbSave, &QPushButton::clicked, this, &TSiteForm::bbSaveClick);
    connectGuarded(bbDelete, &QPushButton::clicked, this, &TSiteForm::bbDeleteClick);
    connectGuarded(bbExit, &QPushButton::clicked, this, &TSiteForm::bbExitClick);
    connectGuarded(bbForget, &QPushButton::clicked, this, &TSiteForm::bbForgetClick);
    connectGuarded(Security, &QComboBox::activated, this, &TSiteForm::SecurityChange);

    // The owner tells the operator once when the store cannot be used; the dialog's first fill says nothing more.
    Guarded([this] { FormCreate(); }, [] { return true; });
}

void TSiteForm::showPasswordSafety()
{
    // Said from the record of the site in the boxes: where its password went when it was saved, which is not
    // always where the desktop suggests (a session bus without a secret service takes nothing).
    QString text;
    switch (SiteBook::passwordPlace(store_(), SiteBook::keyName(editing_))) {
    case SiteBook::PasswordPlace::SecretStore:
        text = QStringLiteral("This site's password is kept in the desktop's secret store.");
        break;
    case SiteBook::PasswordPlace::MasterPassword:
        text = QStringLiteral("This site's password is sealed with the master password.");
        break;
    case SiteBook::PasswordPlace::AskedAtLogIn:
        text = QStringLiteral("This site's password is not kept: it is asked at each log-in.");
        break;
    case SiteBook::PasswordPlace::Obscured:
        text = SiteBook::hasMasterPassword(store_())
                   ? QStringLiteral("This site's password is only obscured: SAVE seals it with the master password.")
                   : QStringLiteral("This site's password is only obscured in its record.");
        break;
    case SiteBook::PasswordPlace::None:
        if (Keyring::reachable())
            text = QStringLiteral("A saved password goes to the desktop's secret store, if one answers.");
        else if (SiteBook::hasMasterPassword(store_()))
            text = QStringLiteral("No secret store here: passwords are sealed with the master password.");
        else
            text = QStringLiteral("No secret store and no master password: a saved password is only obscured.");
        break;
    }
    PasswordSafety->setText(text);
}

QStringList TSiteForm::edits() const
{
    return {siteNameText(),
            Hostname->text(),
            Login->text(),
            Port->text(),
            Password->text(),
            QString::number(Security->currentIndex()),
            QString::number(DataConnection->currentIndex()),
            ReplyTimeout->text(),
            Certificate->text(),
            Folder->currentText(),
            QString::number(Reconnect->isChecked())};
}

void TSiteForm::remember()
{
    remembered_ = edits();
}

bool TSiteForm::hasUnsavedChanges() const
{
    return edits() != remembered_;
}

QString TSiteForm::siteNameText() const
{
    // The list shows each name as names are shown; a real name never holds the backslash that shows an escape, so
    // a text equal to an item's is that item's site.
    const int at = SiteName->findText(SiteName->currentText(), Qt::MatchExactly);
    return at >= 0 ? SiteName->itemData(at).toString() : SiteName->currentText();
}

void TSiteForm::FormCreate()
{
    showPasswordSafety();
    refillSites();
    showConnection(SiteBook::NewSite());
    remember();
}

namespace {

// The data connection box lists passive first, as the choice for most operators behind NAT or a firewall.
constexpr TDataMode kDataModes[] = {TDataMode::Passive, TDataMode::Active, TDataMode::PassiveElseActive};

} // namespace

void TSiteForm::showConnection(const SiteBook::Record& site)
{
    Security->setCurrentIndex(int(site.security));
    DataConnection->setCurrentIndex(
        int(std::find(std::begin(kDataModes), std::end(kDataModes), site.dataMode) - std::begin(kDataModes)));
    ReplyTimeout->setText(QString::number(site.replyTimeout));
    Certificate->setText(QString::fromStdString(site.certificate));
    Certificate->setToolTip(Certificate->text());
    Certificate->setCursorPosition(0);
    Folder->setEditText(QString::fromUtf8(site.folder.data(), qsizetype(site.folder.size())));
    Reconnect->setChecked(site.reconnect);
}

void TSiteForm::SecurityChange()
{
    if (Security->currentIndex() == int(TFtpSecurity::Implicit) && Port->text() == QLatin1String("21"))
        Port->setText(QStringLiteral("990"));
}

void TSiteForm::bbForgetClick()
{
    Certificate->clear();
    Certificate->setToolTip(QString());
}

void TSiteForm::refillSites()
{
    // A refill keeps the typed text and selects nothing: the operator's pick is what selects. Each name is shown
    // as names are shown everywhere, the book's own name kept with it.
    const QString text = SiteName->currentText();
    const QSignalBlocker quiet(SiteName);
    SiteName->clear();
    for (const QString& name : SiteBook::names(store_()))
        SiteName->addItem(SiteBook::shownName(name), name);
    SiteName->setCurrentIndex(-1);
    SiteName->setEditText(text);
    // The folder box offers the folders the book has.
    const QString folder = Folder->currentText();
    QStringList folders;
    for (const QString& name : SiteBook::names(store_()))
        if (const std::string f = SiteBook::folderOf(store_(), SiteBook::keyName(name)); !f.empty())
            folders << QString::fromUtf8(f.data(), qsizetype(f.size()));
    folders.removeDuplicates();
    folders.sort(Qt::CaseInsensitive);
    const QSignalBlocker quietFolder(Folder);
    Folder->clear();
    Folder->addItems(folders);
    Folder->setCurrentIndex(-1);
    Folder->setEditText(folder);
}

std::string TSiteForm::chosenSite()
{
    const QString name = siteNameText();
    if (name.isEmpty()) {
        Prompts().Notice(QStringLiteral("Duh! Enter a SiteName first..."));
        return std::string();
    }
    std::string key = SiteBook::keyName(name);
    if (key.empty())
        Prompts().Notice(QString::fromLatin1(BadNameNotice));
    return key;
}

void TSiteForm::openOn(const QString& site)
{
    refillSites();
    int at = SiteName->findData(site);
    if (at < 0)
        at = SiteName->findText(site, Qt::MatchExactly);
    if (!site.isEmpty() && at >= 0) {
        SiteName->setCurrentIndex(at);
        SiteNameClick();
    }
    showPasswordSafety();
    remember(); // what the boxes hold as the dialog opens is what EXiT compares with
}

void TSiteForm::showWhole(QLineEdit* box, const QString& text, int usualLimit)
{
    box->setMaxLength(std::max<int>(usualLimit, int(text.size())));
    box->setText(text);
}

void TSiteForm::SiteNameClick()
{
    const std::string site = SiteBook::keyName(siteNameText());
    if (site.empty())
        return;
    const SiteBook::Record record = SiteBook::read(store_(), cipher_, site);
    shown_ = siteNameText();
    editing_ = shown_;
    editingAsked_ = record.passwordAsked;
    showWhole(Hostname, Latin1ToQString(record.host), 32767);
    Port->setText(Latin1ToQString(record.port));
    showWhole(Login, Latin1ToQString(record.login), 10);
    Password->setText(Latin1ToQString(record.password));
    showConnection(record);
    showPasswordSafety();
    remember();
    Hostname->setFocus();
    if (!record.passwordProblem.empty() && !record.passwordAsked)
        Prompts().Notice(QString::fromStdString(record.passwordProblem));
}
void TSiteForm::bbNewClick()
{
    SiteName->setCurrentIndex(-1);
    SiteName->clearEditText();
    Port->clear();
    Login->clear();
    Login->setMaxLength(10);
    Password->clear();
    showConnection(SiteBook::NewSite());
    editing_.clear();
    editingAsked_ = false;
    showPasswordSafety();
    remember();
    SiteName->setFocus();
}

namespace {

// A problem of the book's check as the dialog says it: "Duh! The port must be ...".
QString duh(const std::string& why)
{
    QString text = QString::fromStdString(why);
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return QStringLiteral("Duh! %1...").arg(text);
}

} // namespace

void TSiteForm::bbSaveClick()
{
    const QString name = siteNameText();
    const std::string site = chosenSite();
    if (site.empty())
        return;
    // A site whose password is asked at each log-in stays so when its password box is left empty.
    const bool keepAsking = editingAsked_ && Password->text().isEmpty() &&
                            SiteBook::foldedKey(site) == SiteBook::foldedKey(SiteBook::keyName(editing_));
    const std::pair<QLineEdit*, const char*> checks[] = {
        {Hostname, "Duh! Enter a HostName or IP Address first..."},
        {Login, "Duh! Enter a Login Name first..."},
        {Port, "Duh! Enter the Port first..."},
        {Password, "Duh! Enter the password first..."},
    };
    for (const auto& [box, message] : checks) {
        if (box->text().isEmpty() && !(box == Password && keepAsking)) {
            Prompts().Notice(QString::fromLatin1(message));
            return;
        }
    }
    SiteBook::Record record;
    record.host = QStringToLatin1(Hostname->text());
    record.port = QStringToLatin1(Port->text());
    record.login = QStringToLatin1(Login->text());
    record.password = QStringToLatin1(Password->text());
    record.passwordAsked = keepAsking;
    record.security = TFtpSecurity(Security->currentIndex());
    record.dataMode = kDataModes[DataConnection->currentIndex()];
    record.certificate = Certificate->text().toStdString();
    record.replyTimeout = ReplyTimeout->text().isEmpty() ? record.replyTimeout : ReplyTimeout->text().toInt();
    // "eu / north/" is the folder eu/north: blanks around the parts and empty parts go.
    QStringList parts;
    for (const QString& part : Folder->currentText().split(QLatin1Char('/')))
        if (!part.trimmed().isEmpty())
            parts << part.trimmed();
    record.folder = parts.join(QLatin1Char('/')).toStdString();
    record.reconnect = Reconnect->isChecked();
    // The values as kolvane-site add and the import check them; a login stored longer than the box takes is kept
    // whole, as the box showed it.
    if (const std::optional<SiteBook::Problem> problem =
            SiteBook::check(name, record, std::size_t(std::max(Login->maxLength(), int(SiteBook::LoginLimit))))) {
        Prompts().Notice(problem->field == SiteBook::Field::Port ? QString::fromLatin1(BadPortNotice)
                                                                 : duh(problem->why));
        if (problem->field == SiteBook::Field::Port)
            Port->setFocus();
        return;
    }
    SiteBook::save(store_(), cipher_, site, record);
    shown_ = name;
    editing_ = name;
    editingAsked_ = keepAsking;
    refillSites();
    showPasswordSafety();
    remember();
    SiteName->setFocus();
}

void TSiteForm::bbDeleteClick()
{
    const QString name = siteNameText();
    const std::string site = chosenSite();
    if (site.empty())
        return;
    // Only a site the book holds is asked about; deleting a name it does not hold changes nothing anyway.
    if (SiteBook::exists(store_(), site) &&
        !Prompts().ConfirmDefaultNo(QString::fromLatin1(DeleteQuestion).arg(SiteBook::shownName(name))))
        return;
    SiteBook::erase(store_(), site);
    if (SiteBook::foldedKey(SiteBook::keyName(shown_)) == SiteBook::foldedKey(site))
        shown_.clear();
    bbNewClick(); // the boxes empty as for a new site, the host kept
    refillSites();
    remember();
}

void TSiteForm::bbExitClick()
{
    close();
}

void TSiteForm::FormClose()
{
    // The owner shows the site last saved or shown here, and logs in to that one.
    emit closed(shown_);
}

void TSiteForm::done(int result)
{
    // EXiT (or the window's own close control, or Escape) with edits SAVE has not written asks whether to save
    // them; a save the dialog refuses keeps it open, with the edits and the notice that says why.
    if (!closing_ && isVisible() && hasUnsavedChanges()) {
        closing_ = true;
        const QString name = siteNameText();
        const QString what = name.isEmpty() ? QStringLiteral("the new site")
                                            : QStringLiteral("the site %1").arg(SiteBook::shownName(name));
        const bool save = Prompts().Confirm(QString::fromLatin1(SaveQuestion).arg(what));
        if (save)
            Guarded([this] { bbSaveClick(); });
        closing_ = false;
        if (save && hasUnsavedChanges())
            return;
    }
    Guarded([this] { FormClose(); });
    QDialog::done(result);
}
