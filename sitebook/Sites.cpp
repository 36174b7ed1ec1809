#include "sitebook/Sites.h"

#include "gui/ComboBox.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "sitebook/SiteBook.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

using namespace WidgetKit;

const char* const TSiteForm::BadNameNotice = "Duh! A SiteName cannot hold a backslash...";

TSiteForm::TSiteForm(std::function<TSettingsStore&()> store, const TDiamond& cipher, QWidget* parent)
    : QDialog(parent), store_(std::move(store)), cipher_(cipher)
{
    setObjectName(QStringLiteral("SiteForm"));
    setWindowTitle(QStringLiteral("SiTE MAiNTENANCE"));
    setFixedSize(275, 199);
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

    Label1->setBuddy(SiteName);
    Label2->setBuddy(Hostname);
    Label3->setBuddy(Login);
    Label5->setBuddy(Port);
    Label4->setBuddy(Password);
    tabChain({SiteName, Hostname, Login, Port, Password, bbNew, bbSave, bbDelete, bbExit});

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
    SiteName->addItems(SiteBook::names(store_()));
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
    const SiteBook::Record record = SiteBook::read(store_(), cipher_, site);
    Hostname->setText(Latin1ToQString(record.host));
    Port->setText(Latin1ToQString(record.port));
    Login->setText(Latin1ToQString(record.login));
    Password->setText(Latin1ToQString(record.password));
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
    SiteBook::save(store_(), cipher_, site,
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
    SiteBook::erase(store_(), site);
    bbNewClick(); // the boxes empty as for a new site, the host kept
    refillSites();
}

void TSiteForm::bbExitClick()
{
    close();
}

void TSiteForm::FormClose()
{
    // The owner refills its list and shows the dialog's position, but loads nothing: the client keeps what the last
    // pick in the main window gave it.
    emit closed(SiteName->currentIndex());
}

void TSiteForm::done(int result)
{
    Guarded([this] { FormClose(); });
    QDialog::done(result);
}
