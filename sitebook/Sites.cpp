#include "sitebook/Sites.h"

#include "gui/ComboBox.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "session/SiteSession.h"
#include "sitebook/Keyring.h"
#include "sitebook/PathTest.h"
#include "sitebook/SiteBook.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <iterator>

using namespace WidgetKit;

const char* const TSiteForm::BadNameNotice = "Duh! A SiteName cannot hold a backslash...";
const char* const TSiteForm::BadPortNotice = "Duh! The Port is a number from 1 to 65535...";
const char* const TSiteForm::DeleteQuestion = "Delete the site %1?";
const char* const TSiteForm::SaveQuestion = "Save the changes to %1?";
const char* const TSiteForm::ApplyViaQuestion = "Connect %1 of %2 %3?";

TSiteForm::TSiteForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher)
{
    setObjectName(QStringLiteral("SiteForm"));
    setWindowTitle(QStringLiteral("SiTE MAiNTENANCE"));
    setFixedSize(275, 696);
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
    makePathControls();

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
    Label11->setBuddy(ConnectVia);
    Label12->setBuddy(ProxyUser);
    Label13->setBuddy(ProxyPassword);
    // Top to bottom as the boxes stand, the buttons last.
    tabChain({SiteName,    Hostname,   Login,  Port,      Password,   Security,  DataConnection, ReplyTimeout,
              Certificate, bbForget,   Folder, Reconnect, ConnectVia, ProxyUser, ProxyPassword,  bbTest,
              bbApplyVia,  PathReport, bbNew,  bbSave,    bbDelete,   bbExit});
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
    connectGuarded(bbTest, &QPushButton::clicked, this, &TSiteForm::bbTestClick);
    connectGuarded(bbApplyVia, &QPushButton::clicked, this, &TSiteForm::bbApplyViaClick);
    connectGuarded(Security, &QComboBox::activated, this, &TSiteForm::SecurityChange);

    // The owner tells the operator once when the store cannot be used; the dialog's first fill says nothing more.
    Guarded([this] { FormCreate(); }, [] { return true; });
}

TSiteForm::~TSiteForm()
{
    if (testing_)
        testing_->cancel();
}

void TSiteForm::makePathControls()
{
    Label11 = label(this, "Label11", QStringLiteral("CONNECT ViA"), QPoint(8, 464));
    ConnectVia = edit(this, "ConnectVia", QRect(8, 480, 259, 22));
    ConnectVia->setPlaceholderText(QStringLiteral("direct"));
    ConnectVia->setToolTip(QStringLiteral("The proxy the site is reached through: socks5://host:port or "
                                          "http://host:port; empty for a direct connection"));
    Label12 = label(this, "Label12", QStringLiteral("PROXY USER"), QPoint(8, 510));
    ProxyUser = edit(this, "ProxyUser", QRect(8, 526, 121, 22));
    ProxyUser->setMaxLength(int(MaxProxyCredential));
    ProxyUser->setToolTip(QStringLiteral("The user name the proxy is given; empty when it takes anybody"));
    Label13 = label(this, "Label13", QStringLiteral("PROXY PASSWORD"), QPoint(138, 510));
    ProxyPassword = edit(this, "ProxyPassword", QRect(138, 526, 129, 22));
    ProxyPassword->setMaxLength(int(MaxProxyCredential));
    ProxyPassword->setEchoMode(QLineEdit::Password);
    ProxyPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    ProxyPassword->setToolTip(QStringLiteral("The proxy's password, kept where the site's password is kept"));
    bbTest = button(this, "bbTest", QStringLiteral("&TEST"), QRect(8, 556, 75, 25));
    bbTest->setToolTip(QStringLiteral("Log in along the path as the boxes say, and out again, telling how far each "
                                      "hop came (nothing is saved or pinned)"));
    bbApplyVia = button(this, "bbApplyVia", QStringLiteral("&APPLY TO FOLDER"), QRect(90, 556, 177, 25));
    bbApplyVia->setToolTip(QStringLiteral("Give this path, with its user and password, to every site of the folder "
                                          "in FOLDER"));
    PathReport = new QPlainTextEdit(this);
    PathReport->setObjectName(QStringLiteral("PathReport"));
    PathReport->setGeometry(8, 588, 259, 100);
    PathReport->setReadOnly(true);
    PathReport->setTabChangesFocus(true);
    PathReport->setAccessibleName(QStringLiteral("What TEST found"));
    PathReport->setToolTip(QStringLiteral("How far TEST came along the path, hop by hop"));
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
            QString::number(Reconnect->isChecked()),
            ConnectVia->text(),
            ProxyUser->text(),
            ProxyPassword->text()};
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
    showPath(site);
}

void TSiteForm::showPath(const SiteBook::Record& site)
{
    // The URL without its user, who has a box of his own; a stored path that cannot be read is shown as it is, for
    // SAVE to refuse until it is mended.
    QString url = Latin1ToQString(site.connectVia);
    QString user;
    if (std::optional<ConnectPath> path = parseConnectPath(site.connectVia)) {
        user = Latin1ToQString(path->user);
        path->user.clear();
        url = Latin1ToQString(path->url());
    }
    ConnectVia->setText(url);
    ConnectVia->setCursorPosition(0);
    ProxyUser->setText(user);
    ProxyPassword->setText(Latin1ToQString(site.proxyPassword));
    PathReport->clear();
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

QString TSiteForm::folderText() const
{
    // "eu / north/" is the folder eu/north: blanks around the parts and empty parts go.
    QStringList parts;
    for (const QString& part : Folder->currentText().split(QLatin1Char('/')))
        if (!part.trimmed().isEmpty())
            parts << part.trimmed();
    return parts.join(QLatin1Char('/'));
}

std::optional<std::string> TSiteForm::boxedPath()
{
    const std::string text = QStringToLatin1(ConnectVia->text().trimmed());
    const std::string user = QStringToLatin1(ProxyUser->text());
    if (text.empty()) {
        if (user.empty() && ProxyPassword->text().isEmpty())
            return std::string();
        Prompts().Notice(QStringLiteral("Duh! A proxy's user and password need the proxy in CONNECT ViA..."));
        ConnectVia->setFocus();
        return std::nullopt;
    }
    std::string why;
    std::optional<ConnectPath> path = parseConnectPath(text, &why);
    if (!path) {
        Prompts().Notice(duh(why));
        ConnectVia->setFocus();
        return std::nullopt;
    }
    // The user may be typed in the URL or in its box, not as two different ones.
    if (!path->user.empty() && !user.empty() && path->user != user) {
        Prompts().Notice(QStringLiteral("Duh! CONNECT ViA names the user %1, and PROXY USER another...")
                             .arg(SiteBook::shownName(Latin1ToQString(path->user))));
        ProxyUser->setFocus();
        return std::nullopt;
    }
    if (!user.empty())
        path->user = user;
    if (!path->user.empty() && ProxyPassword->text().isEmpty()) {
        Prompts().Notice(QStringLiteral("Duh! Enter the proxy's password first..."));
        ProxyPassword->setFocus();
        return std::nullopt;
    }
    return path->url();
}

std::optional<SiteBook::Record> TSiteForm::boxedRecord(const QString& name, bool keepAsking)
{
    const std::pair<QLineEdit*, const char*> checks[] = {
        {Hostname, "Duh! Enter a HostName or IP Address first..."},
        {Login, "Duh! Enter a Login Name first..."},
        {Port, "Duh! Enter the Port first..."},
        {Password, "Duh! Enter the password first..."},
    };
    for (const auto& [box, message] : checks) {
        if (box->text().isEmpty() && !(box == Password && keepAsking)) {
            Prompts().Notice(QString::fromLatin1(message));
            return std::nullopt;
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
    record.folder = folderText().toStdString();
    record.reconnect = Reconnect->isChecked();
    const std::optional<std::string> via = boxedPath();
    if (!via)
        return std::nullopt;
    record.connectVia = *via;
    // A path without a user keeps no password.
    if (const std::optional<ConnectPath> path = parseConnectPath(*via); path && !path->user.empty())
        record.proxyPassword = QStringToLatin1(ProxyPassword->text());
    // The values as kolvane-site add and the import check them; a login stored longer than the box takes is kept
    // whole, as the box showed it.
    if (const std::optional<SiteBook::Problem> problem =
            SiteBook::check(name, record, std::size_t(std::max(Login->maxLength(), int(SiteBook::LoginLimit))))) {
        Prompts().Notice(problem->field == SiteBook::Field::Port ? QString::fromLatin1(BadPortNotice)
                                                                 : duh(problem->why));
        if (problem->field == SiteBook::Field::Port)
            Port->setFocus();
        return std::nullopt;
    }
    return record;
}

void TSiteForm::bbSaveClick()
{
    const QString name = siteNameText();
    const std::string site = chosenSite();
    if (site.empty())
        return;
    // A site whose password is asked at each log-in stays so when its password box is left empty.
    const bool keepAsking = editingAsked_ && Password->text().isEmpty() &&
                            SiteBook::foldedKey(site) == SiteBook::foldedKey(SiteBook::keyName(editing_));
    const std::optional<SiteBook::Record> record = boxedRecord(name, keepAsking);
    if (!record)
        return;
    SiteBook::save(store_(), cipher_, site, *record);
    shown_ = name;
    editing_ = name;
    editingAsked_ = keepAsking;
    refillSites();
    showPasswordSafety();
    remember();
    SiteName->setFocus();
}

void TSiteForm::bbTestClick()
{
    // A second press while the test runs is its CANCEL.
    if (testing_) {
        testing_->cancel();
        return;
    }
    // What the boxes hold is tried, saved or not; a site whose password is asked at each log-in needs it typed.
    const QString name = siteNameText().isEmpty() ? QStringLiteral("new site") : siteNameText();
    const std::optional<SiteBook::Record> record = boxedRecord(name, false);
    if (!record)
        return;
    PathReport->setPlainText(QStringLiteral("Testing..."));
    testing_ = std::make_unique<TSiteSession>();
    bbTest->setText(QStringLiteral("&CANCEL"));
    QPointer<TSiteForm> alive(this);
    PathTest::Outcome outcome;
    {
        Finally over([&] {
            if (alive)
                bbTest->setText(QStringLiteral("&TEST"));
        });
        outcome = PathTest::run(*testing_, SiteBook::keyName(name), *record);
    }
    if (!alive)
        return;
    testing_.reset();
    QStringList shown;
    for (const std::string& line : PathTest::lines(outcome))
        shown << Latin1ToQString(line);
    PathReport->setPlainText(shown.join(QLatin1Char('\n')));
}

void TSiteForm::bbApplyViaClick()
{
    const std::optional<std::string> via = boxedPath();
    if (!via)
        return;
    const std::optional<ConnectPath> path = parseConnectPath(*via);
    const std::string password = path->user.empty() ? std::string() : QStringToLatin1(ProxyPassword->text());
    if (const std::optional<SiteBook::Problem> problem = SiteBook::pathProblem(*via, password)) {
        Prompts().Notice(duh(problem->why));
        return;
    }
    const QString folder = folderText();
    qsizetype sites = 0;
    for (const QString& name : SiteBook::names(store_()))
        sites += SiteBook::inFolder(SiteBook::folderOf(store_(), SiteBook::keyName(name)), folder) ? 1 : 0;
    const QString where = folder.isEmpty() ? QStringLiteral("the top level")
                                           : QStringLiteral("the folder %1").arg(SiteBook::shownName(folder));
    if (sites == 0) {
        Prompts().Notice(QStringLiteral("Duh! No site is filed in %1...").arg(where));
        return;
    }
    const QString how = via->empty() ? QStringLiteral("directly")
                                     : QStringLiteral("through %1").arg(SiteBook::shownName(Latin1ToQString(*via)));
    const QString count = sites == 1 ? QStringLiteral("the 1 site") : QStringLiteral("the %1 sites").arg(sites);
    if (!Prompts().Confirm(QString::fromLatin1(ApplyViaQuestion).arg(count, where, how)))
        return;
    const QStringList changed = SiteBook::setConnectVia(store_(), cipher_, folder, *via, password);
    // The site in the boxes, if it was one of them, now has on record the path its boxes show.
    if (changed.contains(editing_) && remembered_.size() == edits().size()) {
        const QStringList now = edits();
        for (qsizetype i = now.size() - 3; i < now.size(); ++i)
            remembered_[i] = now[i];
    }
    PathReport->setPlainText(
        QStringLiteral("%1 of %2 now connect %3.")
            .arg(changed.size() == 1 ? QStringLiteral("1 site") : QStringLiteral("%1 sites").arg(changed.size()), where,
                 how));
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
    // A TEST under way ends with the dialog.
    if (testing_)
        testing_->cancel();
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
