#include "sitebook/Sites.h"

#include "gui/ComboBox.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "shell/Main.h"
#include "sitebook/Diamond.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

// ---- the dialog ------------------------------------------------------------------------------------------------

const char* const TSiteForm::BadNameNotice = "Duh! A SiteName cannot hold a backslash...";

TSiteForm::TSiteForm(TMainForm* mainForm) : QDialog(mainForm), main_(mainForm)
{
    setObjectName(QStringLiteral("SiteForm"));
    setWindowTitle(QStringLiteral("SiTE MAiNTENANCE"));
    setFixedSize(275, 199);
    setModal(true);

    auto label = [this](const char* name, const char* caption, QPoint at) {
        auto* l = new QLabel(QString::fromLatin1(caption), this);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(QRect(at, l->sizeHint()));
        return l;
    };
    auto edit = [this](const char* name, QRect rect) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        e->setGeometry(rect);
        return e;
    };
    auto button = [this](const char* name, const char* caption, QRect rect) {
        auto* b = new QPushButton(QString::fromLatin1(caption), this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        b->setGeometry(rect);
        return b;
    };

    Label1 = label("Label1", "SiTE NAME", QPoint(8, 8));
    Label2 = label("Label2", "HOST NAME OR IP", QPoint(8, 56));
    Label3 = label("Label3", "LOGIN", QPoint(8, 104));
    Label5 = label("Label5", "PORT", QPoint(96, 104));
    Label4 = label("Label4", "PASSWORD", QPoint(8, 152));

    SiteName = new TComboBox(this);
    SiteName->setObjectName(QStringLiteral("SiteName"));
    SiteName->setGeometry(8, 24, 169, 25);
    Hostname = edit("Hostname", QRect(8, 72, 153, 22));
    Login = edit("Login", QRect(8, 120, 81, 22));
    Login->setMaxLength(10);
    Port = edit("Port", QRect(96, 120, 49, 22));
    Port->setMaxLength(6);
    Port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,6}")), Port));
    Password = edit("Password", QRect(8, 168, 153, 22));
    Password->setEchoMode(QLineEdit::Password);
    Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*" for every character

    bbNew = button("bbNew", "&NEW", QRect(192, 24, 75, 25));
    bbSave = button("bbSave", "&SAVE", QRect(192, 67, 75, 25));
    bbDelete = button("bbDelete", "&DELETE", QRect(192, 109, 75, 25));
    bbExit = button("bbExit", "&EXiT", QRect(192, 152, 75, 25));

    Label1->setBuddy(SiteName);
    Label2->setBuddy(Hostname);
    Label3->setBuddy(Login);
    Label5->setBuddy(Port);
    Label4->setBuddy(Password);
    QWidget* order[] = {SiteName, Hostname, Login, Port, Password, bbNew, bbSave, bbDelete, bbExit};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connectGuarded(SiteName, &TComboBox::itemChosen, this, &TSiteForm::SiteNameClick);
    connectGuarded(bbNew, &QPushButton::clicked, this, &TSiteForm::bbNewClick);
    connectGuarded(bbSave, &QPushButton::clicked, this, &TSiteForm::bbSaveClick);
    connectGuarded(bbDelete, &QPushButton::clicked, this, &TSiteForm::bbDeleteClick);
    connectGuarded(bbExit, &QPushButton::clicked, this, &TSiteForm::bbExitClick);

    Guarded([this] { FormCreate(); });
}

void TSiteForm::FormCreate()
{
    refillSites();
}

void TSiteForm::refillSites()
{
    // A refill keeps the typed text and selects nothing: the operator's pick is what selects.
    const QString text = SiteName->currentText();
    const QSignalBlocker quiet(SiteName);
    SiteName->clear();
    SiteName->addItems(SiteBook::names(main_->store()));
    SiteName->setCurrentIndex(-1);
    SiteName->setEditText(text);
}

std::string TSiteForm::chosenSite()
{
    const QString name = SiteName->currentText();
    if (name.isEmpty()) {
        Prompts().Notice(QStringLiteral("Duh! Enter a SiteName first..."));
        return std::string();
    }
    std::string key = SiteBook::keyName(name);
    if (key.empty())
        Prompts().Notice(QString::fromLatin1(BadNameNotice));
    return key;
}

void TSiteForm::SiteNameClick()
{
    const std::string site = SiteBook::keyName(SiteName->currentText());
    if (site.empty())
        return;
    TSettingsStore& store = SiteBook::open(main_->store());
    Hostname->setText(Latin1ToQString(store.ReadString(site, "HostName", "")));
    Port->setText(Latin1ToQString(store.ReadString(site, "Port", "21")));
    Login->setText(Latin1ToQString(store.ReadString(site, "LogIn", "")));
    Password->setText(Latin1ToQString(main_->SAP->DecipherString(store.ReadString(site, "PassWord", ""))));
    Hostname->setFocus();
}

void TSiteForm::bbNewClick()
{
    SiteName->setCurrentIndex(-1);
    SiteName->clearEditText();
    Port->clear();
    Login->clear();
    Password->clear();
    SiteName->setFocus();
}

void TSiteForm::bbSaveClick()
{
    const std::string site = chosenSite();
    if (site.empty())
        return;
    const std::pair<QLineEdit*, const char*> checks[] = {
        {Hostname, "Duh! Enter a HostName or IP Address first..."},
        {Login, "Duh! Enter a Login Name first..."},
        {Port, "Duh! Enter the Port first..."},
        {Password, "Duh! Enter the password first..."},
    };
    for (const auto& [box, message] : checks) {
        if (box->text().isEmpty()) {
            Prompts().Notice(QString::fromLatin1(message));
            return;
        }
    }
    SiteBook::save(main_->store(), *main_->SAP, site,
                   {QStringToLatin1(Hostname->text()), QStringToLatin1(Port->text()), QStringToLatin1(Login->text()),
                    QStringToLatin1(Password->text())});
    refillSites();
    SiteName->setFocus();
}

void TSiteForm::bbDeleteClick()
{
    const std::string site = chosenSite();
    if (site.empty())
        return;
    SiteBook::open(main_->store()).EraseSection(site);
    bbNewClick(); // the boxes empty as for a new site, the host kept
    refillSites();
}

void TSiteForm::bbExitClick()
{
    close();
}

void TSiteForm::FormClose()
{
    // The main window's list is refilled and shows the dialog's position, but loads nothing: the client keeps
    // what the last pick in the main window gave it.
    const int position = SiteName->currentIndex();
    main_->SiteName->clear();
    main_->SiteName->addItems(SiteBook::names(main_->store()));
    main_->SiteName->setCurrentIndex(position < main_->SiteName->count() ? position : -1);
}

void TSiteForm::done(int result)
{
    Guarded([this] { FormClose(); });
    QDialog::done(result);
}
