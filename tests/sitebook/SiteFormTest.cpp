// The site maintenance dialog driven through its widgets, and the main window's site pick.

#include "common/ScriptedPrompts.h"
#include "common/SimProcess.h"
#include "common/WhenModal.h"
#include "ftp/NMFtp.h"
#include "ftp/Proxies.h"
#include "gui/ComboBox.h"
#include "platform/SettingsStore.h"
#include "shell/Main.h"
#include "sitebook/BookTransfer.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <sqlite3.h>

namespace {

class SiteFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = TSettingsStore::defaultPath();
        QFile::remove(QString::fromStdString(path));
        start();
    }

    void start()
    {
        dialog = nullptr;
        form = std::make_unique<TMainForm>();
        form->CreateDialogs();
        dialog = form->findChild<TSiteForm*>("SiteForm");
        form->show();
        dialog->show();
    }

    void restart()
    {
        form->close();
        form.reset();
        start();
    }

    void fill(const char* site, const char* host, const char* login, const char* port, const char* password)
    {
        dialog->SiteName->setEditText(QString::fromLatin1(site));
        for (auto [box, text] : {std::pair{dialog->Hostname, host}, std::pair{dialog->Login, login},
                                 std::pair{dialog->Port, port}, std::pair{dialog->Password, password}}) {
            box->clear();
            box->insert(QString::fromLatin1(text)); // as typed: length limits and the port's digits apply
        }
    }

    void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Picks a site in a combo box the way the operator does, so that its activation handler runs.
    static void pick(QComboBox* box, const QString& name)
    {
        const int index = box->findText(name);
        ASSERT_GE(index, 0) << name.toStdString();
        box->setCurrentIndex(index);
        emit box->activated(index);
    }

    // What another program finds in the store for a site's value.
    std::string stored(const std::string& site, const std::string& value, const std::string& fallback = "<none>")
    {
        TSettingsStore store(path);
        EXPECT_TRUE(store.OpenKey("Drummock\\SiTES", false));
        return store.ReadString(site, value, fallback);
    }

    ScriptedPrompts prompts;
    std::string path;
    std::unique_ptr<TMainForm> form;
    TSiteForm* dialog = nullptr;
};

TEST_F(SiteFormTest, TheDialogHasItsControlsLimitsAndKeyboardOrder)
{
    EXPECT_EQ(dialog->objectName(), "SiteForm");
    EXPECT_EQ(dialog->windowTitle(), "SiTE MAiNTENANCE");
    EXPECT_EQ(dialog->size(), QSize(275, 696))
        << "grown below the record's first fields for the connection settings and where the passwords are kept, "
           "and below them for the connection path";
    EXPECT_EQ(dialog->SiteName->geometry(), QRect(8, 24, 169, 25));
    EXPECT_TRUE(dialog->SiteName->isEditable());
    EXPECT_EQ(dialog->bbNew->text(), "&NEW");
    EXPECT_EQ(dialog->bbSave->geometry(), QRect(192, 67, 75, 25));
    EXPECT_EQ(dialog->bbExit->text(), "&EXiT");
    EXPECT_EQ(dialog->findChild<QLabel*>("Label2")->text(), "HOST NAME OR IP");
    EXPECT_EQ(dialog->findChild<QLabel*>("Label5")->pos(), QPoint(96, 104));
    EXPECT_EQ(dialog->Password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog->PasswordSafety->geometry(), QRect(8, 424, 259, 32)) << "the controls before it keep their places";
    EXPECT_EQ(dialog->findChild<QLabel*>("Label11")->text(), "CONNECT ViA");
    EXPECT_EQ(dialog->ConnectVia->geometry(), QRect(8, 480, 259, 22));
    EXPECT_EQ(dialog->ProxyPassword->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog->bbTest->text(), "&TEST");

    QTest::keyClicks(dialog->Login, QStringLiteral("abcdefghijklmn"));
    EXPECT_EQ(dialog->Login->text(), "abcdefghij");
    QTest::keyClicks(dialog->Port, QStringLiteral("21a-2 1234567"));
    EXPECT_EQ(dialog->Port->text(), "212123") << "only digits, at most six";

    QWidget* expected[] = {dialog->SiteName,    dialog->Hostname,   dialog->Login,          dialog->Port,
                           dialog->Password,    dialog->Security,   dialog->DataConnection, dialog->ReplyTimeout,
                           dialog->Certificate, dialog->bbForget,   dialog->Folder,         dialog->Reconnect,
                           dialog->ConnectVia,  dialog->ProxyUser,  dialog->ProxyPassword,  dialog->bbTest,
                           dialog->bbApplyVia,  dialog->PathReport, dialog->bbNew,          dialog->bbSave,
                           dialog->bbDelete,    dialog->bbExit};
    QApplication::setActiveWindow(dialog);
    dialog->SiteName->setFocus();
    for (std::size_t i = 0; i + 1 < std::size(expected); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        EXPECT_TRUE(now == expected[i + 1] || now->parentWidget() == expected[i + 1])
            << "after " << expected[i]->objectName().toStdString() << " came " << now->objectName().toStdString();
    }
}

TEST_F(SiteFormTest, SaveStoresTheFourStringsWithTheEncipheredPassword)
{
    fill("home", "127.0.0.1", "siteop", "2121", "s3cr\xe9t");
    click(dialog->bbSave);
    EXPECT_TRUE(prompts.notices.isEmpty()) << prompts.notices.join('|').toStdString();
    EXPECT_EQ(stored("home", "HostName"), "127.0.0.1");
    EXPECT_EQ(stored("home", "Port"), "2121");
    EXPECT_EQ(stored("home", "LogIn"), "siteop");
    const std::string first = stored("home", "PassWord");
    EXPECT_EQ(first.size(), 32u);

    // Another program reads the value through the documented schema and, with the documented key, deciphers it.
    std::string raw;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT v.type, v.data FROM keys d JOIN keys s ON s.parent = d.id "
                                     "JOIN keys h ON h.parent = s.id JOIN vals v ON v.key = h.id WHERE d.parent = 0 "
                                     "AND d.name = 'Drummock' AND s.name = 'SiTES' AND h.name = 'home' "
                                     "AND v.name = 'PassWord'",
                                     -1, &st, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(st, 0), 1) << "a string value";
        raw.assign(static_cast<const char*>(sqlite3_column_blob(st, 1)), sqlite3_column_bytes(st, 1));
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
    EXPECT_EQ(raw, first);
    TDiamond other;
    other.SetKey("qvxrtz42");
    EXPECT_EQ(other.DecipherString(raw), "s3cr\xe9t");

    // Saving the same password again stores another value that deciphers the same.
    QTest::qWait(5);
    click(dialog->bbSave);
    const std::string second = stored("home", "PassWord");
    EXPECT_NE(first, second);
    EXPECT_EQ(other.DecipherString(second), "s3cr\xe9t");

    EXPECT_EQ(dialog->SiteName->findText(QStringLiteral("home")), 0) << "the new site is listed at once";
    EXPECT_EQ(dialog->SiteName->currentText(), "home") << "the typed name stays";
    EXPECT_TRUE(dialog->focusWidget() == dialog->SiteName || dialog->focusWidget() == dialog->SiteName->lineEdit());
}

TEST_F(SiteFormTest, SaveChecksTheBoxesInOrderAndWritesNothingUntilAllAreFilled)
{
    click(dialog->bbSave);
    fill("x", "", "", "", "");
    click(dialog->bbSave);
    fill("x", "h", "", "", "");
    click(dialog->bbSave);
    fill("x", "h", "l", "", "");
    click(dialog->bbSave);
    fill("x", "h", "l", "21", "");
    click(dialog->bbSave);
    EXPECT_EQ(prompts.notices,
              QStringList({"Duh! Enter a SiteName first...", "Duh! Enter a HostName or IP Address first...",
                           "Duh! Enter a Login Name first...", "Duh! Enter the Port first...",
                           "Duh! Enter the password first..."}));
    EXPECT_EQ(stored("x", "HostName"), "<none>");
    EXPECT_EQ(dialog->SiteName->count(), 0);

    // A port no connection can use is refused with a message, and nothing is written.
    for (const char* port : {"67657", "0", "000000"}) {
        fill("x", "h", "l", port, "pw");
        click(dialog->bbSave);
        EXPECT_EQ(prompts.notices.last(), "Duh! The Port is a number from 1 to 65535...") << port;
        EXPECT_EQ(stored("x", "HostName"), "<none>") << port;
    }
    fill("x", "h", "l", "65535", "pw");
    click(dialog->bbSave);
    EXPECT_EQ(stored("x", "Port"), "65535");
}

TEST_F(SiteFormTest, PickingASiteLoadsItNewAndDeleteLeaveTheHostAlone)
{
    {
        // A record written by another program without a port.
        TSettingsStore store(path);
        store.OpenKey("Drummock\\SiTES\\bare", true);
        store.WriteString("", "HostName", "10.0.0.9");
    }
    fill("alpha", "ftp.example.net", "me", "21", "pw1");
    click(dialog->bbSave); // the refill lists the other program's site too
    click(dialog->bbNew);
    EXPECT_EQ(dialog->SiteName->currentText(), "");
    EXPECT_EQ(dialog->Hostname->text(), "ftp.example.net");
    EXPECT_EQ(dialog->Login->text(), "");
    EXPECT_EQ(dialog->Port->text(), "");
    EXPECT_EQ(dialog->Password->text(), "");

    // Typing a name loads nothing, also when typing ends on a name of the list.
    dialog->SiteName->setFocus();
    QTest::keyClicks(dialog->SiteName, QStringLiteral("alpha"));
    QTest::keyClick(dialog->SiteName, Qt::Key_Return);
    dialog->Hostname->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(dialog->Login->text(), "");

    pick(dialog->SiteName, QStringLiteral("alpha"));
    EXPECT_EQ(dialog->Hostname->text(), "ftp.example.net");
    EXPECT_EQ(dialog->Login->text(), "me");
    EXPECT_EQ(dialog->Port->text(), "21");
    EXPECT_EQ(dialog->Password->text(), "pw1");
    EXPECT_EQ(dialog->focusWidget(), dialog->Hostname);
    pick(dialog->SiteName, QStringLiteral("bare"));
    EXPECT_EQ(dialog->Port->text(), "21") << "a record without a port shows 21";
    EXPECT_EQ(dialog->Password->text(), "") << "a missing password deciphers to nothing";

    pick(dialog->SiteName, QStringLiteral("alpha"));
    prompts.confirmAnswers = {true};
    click(dialog->bbDelete);
    EXPECT_EQ(stored("alpha", "HostName"), "<none>");
    EXPECT_EQ(dialog->SiteName->findText(QStringLiteral("alpha")), -1);
    EXPECT_EQ(dialog->SiteName->currentText(), "");
    EXPECT_EQ(dialog->Hostname->text(), "ftp.example.net");
    EXPECT_EQ(dialog->Password->text(), "");
    EXPECT_EQ(stored("bare", "HostName"), "10.0.0.9") << "only the named site goes";

    dialog->SiteName->setEditText(QStringLiteral("no such site"));
    click(dialog->bbDelete);
    EXPECT_EQ(stored("bare", "HostName"), "10.0.0.9");
    EXPECT_TRUE(prompts.notices.isEmpty());
}

TEST_F(SiteFormTest, NoNameReachesOutsideItsOwnKey)
{
    {
        TSettingsStore store(path);
        store.OpenKey("Drummock", false);
        store.WriteString("Settings", "Height", "444");
        store.WriteString("Custom Commands", "Command0", "WHO");
        store.WriteString("SiTES\\keep", "HostName", "k");
    }
    // An empty name deletes nothing at all.
    click(dialog->bbDelete);
    EXPECT_EQ(prompts.notices.value(0), "Duh! Enter a SiteName first...");

    // Names that hold the path separator are refused for SAVE and DELETE alike.
    for (const char* name : {"..\\Settings", "\\Drummock\\Settings", "\\", "keep\\", "a\\b"}) {
        SCOPED_TRACE(name);
        prompts.notices.clear();
        fill(name, "h", "l", "21", "p");
        click(dialog->bbSave);
        click(dialog->bbDelete);
        EXPECT_EQ(prompts.notices, QStringList({TSiteForm::BadNameNotice, TSiteForm::BadNameNotice}));
    }
    // Names of the program's own sections are just sites below SiTES.
    fill("Settings", "h", "l", "21", "p");
    click(dialog->bbSave);
    fill("Custom Commands", "h", "l", "21", "p");
    click(dialog->bbSave);
    prompts.confirmAnswers = {true};
    click(dialog->bbDelete);

    TSettingsStore store(path);
    store.OpenKey("Drummock", false);
    EXPECT_EQ(store.ReadString("Settings", "Height", ""), "444");
    EXPECT_FALSE(store.ValueExists("Settings", "HostName"));
    EXPECT_EQ(store.ReadString("Custom Commands", "Command0", ""), "WHO");
    EXPECT_EQ(store.ReadString("SiTES\\keep", "HostName", ""), "k");
    EXPECT_EQ(store.ReadString("SiTES\\Settings", "HostName", ""), "h");
    std::vector<std::string> sites;
    store.OpenKey("SiTES", false);
    store.GetKeyNames(sites);
    EXPECT_EQ(sites, (std::vector<std::string>{"keep", "Settings"}));
}

TEST_F(SiteFormTest, TheMainWindowLogsInToTheSiteTheDialogLastSavedOrShowed)
{
    fill("one", "127.0.0.1", "u1", "2121", "p1");
    click(dialog->bbSave);
    fill("two", "10.1.1.1", "u2", "21", "p2");
    click(dialog->bbSave);
    EXPECT_EQ(form->SiteName->count(), 0) << "the main list fills when the dialog closes";

    pick(dialog->SiteName, QStringLiteral("one"));
    click(dialog->bbExit);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(form->SiteName->count(), 2);
    EXPECT_EQ(form->SiteName->currentText(), "one");
    EXPECT_TRUE(form->bbLogin->isEnabled()) << "the site shown is the site LOGiN uses";
    EXPECT_EQ(form->session().client().Host, "127.0.0.1");
    EXPECT_EQ(form->session().client().Port, 2121);
    EXPECT_EQ(form->session().client().UserID, "u1");
    EXPECT_EQ(form->session().client().Password, "p1");

    // The dialog opens on the site chosen, listing the sites that exist now: one added meanwhile by another program,
    // with a login longer than the field takes, is shown whole and saved whole.
    {
        TSettingsStore store(path);
        TDiamond cipher;
        cipher.SetKey("qvxrtz42");
        SiteBook::Record site = SiteBook::NewSite();
        site.host = "h";
        site.login = "a-login-of-twenty-ch";
        site.password = "pw";
        SiteBook::save(store, cipher, "three", site);
    }
    pick(form->SiteName, QStringLiteral("two"));
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(dialog->SiteName->currentText(), "two");
        EXPECT_EQ(dialog->Login->text(), "u2");
        EXPECT_GE(dialog->SiteName->findText(QStringLiteral("three")), 0);
        pick(dialog->SiteName, QStringLiteral("three"));
        EXPECT_EQ(dialog->Login->text(), "a-login-of-twenty-ch");
        click(dialog->bbSave);
        click(dialog->bbNew);
        dialog->close();
    });
    click(form->bbSites);
    EXPECT_EQ(stored("three", "LogIn"), "a-login-of-twenty-ch");
    EXPECT_EQ(form->SiteName->currentText(), "three") << "the site last saved, though the dialog was left empty";
    EXPECT_EQ(form->session().client().UserID, "a-login-of-twenty-ch");

    // A dialog that deleted the site it showed leaves no site chosen, and LOGiN waits for one.
    prompts.confirmAnswers = {true};
    QTimer::singleShot(0, [&] {
        click(dialog->bbDelete);
        dialog->close();
    });
    click(form->bbSites);
    EXPECT_EQ(form->SiteName->currentIndex(), -1);
    EXPECT_FALSE(form->bbLogin->isEnabled());
}

TEST_F(SiteFormTest, HowASiteIsReachedLoadsSavesAndReachesTheClient)
{
    {
        // A record from before TLS: no security, data connection or certificate values.
        TSettingsStore store(path);
        store.OpenKey("Drummock\\SiTES\\old", true);
        store.WriteString("", "HostName", "10.0.0.9");
    }
    restart();
    EXPECT_EQ(dialog->Security->currentText(), "Require explicit TLS") << "a site made new starts secure";
    EXPECT_EQ(dialog->DataConnection->currentText(), "Passive, else active");
    pick(dialog->SiteName, QStringLiteral("old"));
    EXPECT_EQ(dialog->Security->currentText(), "Plain FTP") << "an old record keeps behaving as before";
    EXPECT_EQ(dialog->DataConnection->currentText(), "Active (PORT/EPRT)");
    pick(form->SiteName, QStringLiteral("old"));
    EXPECT_EQ(form->session().client().Security, TFtpSecurity::Plain);
    EXPECT_EQ(form->session().client().DataMode, TDataMode::Active);

    click(dialog->bbNew);
    EXPECT_EQ(dialog->Security->currentText(), "Require explicit TLS");
    fill("tls", "ftp.example.org", "op", "21", "pw");
    dialog->Security->setCurrentIndex(dialog->Security->findText("Implicit TLS"));
    emit dialog->Security->activated(dialog->Security->currentIndex());
    EXPECT_EQ(dialog->Port->text(), "990") << "implicit TLS proposes its own port";
    dialog->DataConnection->setCurrentIndex(dialog->DataConnection->findText("Passive (EPSV, then PASV)"));
    QTest::keyClicks(dialog->Folder->lineEdit(), QStringLiteral(" eu / north/"));
    click(dialog->bbSave);
    EXPECT_EQ(stored("tls", "Folder"), "eu/north");
    EXPECT_EQ(dialog->Folder->findText("eu/north"), 0) << "the folder box offers the book's folders";
    EXPECT_EQ(stored("tls", "Security"), "implicit");
    EXPECT_EQ(stored("tls", "DataConnection"), "passive");
    EXPECT_EQ(stored("tls", "Port"), "990");
    EXPECT_EQ(stored("tls", "HostName"), "ftp.example.org") << "the first fields are stored as before";

    {
        TSettingsStore store(path);
        store.OpenKey("Drummock\\SiTES", false);
        store.WriteString("tls", "Certificate", "AB:CD");
    }
    pick(dialog->SiteName, QStringLiteral("tls"));
    EXPECT_EQ(dialog->Certificate->text(), "AB:CD");
    dialog->close(); // the main window's list takes the new site
    pick(form->SiteName, QStringLiteral("tls"));
    EXPECT_EQ(form->session().client().Security, TFtpSecurity::Implicit);
    EXPECT_EQ(form->session().client().DataMode, TDataMode::Passive);
    EXPECT_EQ(form->session().client().PinnedFingerprint, "AB:CD");
    dialog->show();
    click(dialog->bbForget);
    click(dialog->bbSave);
    EXPECT_EQ(stored("tls", "Certificate"), "") << "FORGET drops the pin at the next SAVE";
}

TEST_F(SiteFormTest, SitesComeBackAfterARestartAndTheLastSiteIsLoaded)
{
    fill("b-site", "192.168.7.7", "op", "990", "pass");
    click(dialog->bbSave);
    fill("a-site", "h", "l", "21", "x");
    click(dialog->bbSave);
    dialog->close();
    pick(form->SiteName, QStringLiteral("b-site"));
    restart();
    ASSERT_EQ(form->SiteName->count(), 2);
    EXPECT_EQ(form->SiteName->currentText(), "b-site") << "the last site is selected again";
    EXPECT_EQ(form->session().client().Host, "192.168.7.7") << "and loaded into the client";
    EXPECT_EQ(form->session().client().Port, 990);
    EXPECT_EQ(form->session().client().Password, "pass");
    EXPECT_TRUE(form->bbLogin->isEnabled());
    EXPECT_EQ(dialog->SiteName->count(), 2) << "the dialog lists the sites from its creation on";
}

TEST_F(SiteFormTest, APortThatIsNoNumberLoadsAsTwentyOne)
{
    {
        TSettingsStore store(path);
        store.OpenKey("Drummock\\SiTES", true);
        store.WriteString("odd", "Port", "ftp");
        store.WriteString("odd", "HostName", "h");
    }
    restart();
    pick(form->SiteName, QStringLiteral("odd"));
    EXPECT_EQ(form->session().client().Port, 21);
    EXPECT_EQ(form->session().client().UserID, "");
    EXPECT_TRUE(form->bbLogin->isEnabled());
}

TEST_F(SiteFormTest, TheSitesButtonShowsTheDialogModally)
{
    bool wasModal = false;
    dialog->hide();
    QTimer::singleShot(0, [&] {
        wasModal = QApplication::activeModalWidget() == dialog;
        dialog->close();
    });
    click(form->bbSites);
    EXPECT_TRUE(wasModal);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(SiteFormTest, DeleteAsksWithNoAsTheDefaultAndExitAsksAboutUnsavedChanges)
{
    fill("home", "h.example.org", "op", "21", "pw");
    click(dialog->bbSave);
    prompts.confirmAnswers = {false};
    click(dialog->bbDelete);
    EXPECT_EQ(prompts.confirms, QStringList({"Delete the site home?"}));
    EXPECT_EQ(stored("home", "HostName"), "h.example.org") << "No keeps the site";
    EXPECT_EQ(dialog->Login->text(), "op");

    // The real question: No is the default, so Enter keeps the site too.
    SetPrompts(nullptr);
    QString asked;
    whenModal(
        dialog,
        [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            asked = box->text();
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
            QTest::keyClick(box, Qt::Key_Return);
        },
        "ConfirmBox");
    click(dialog->bbDelete);
    SetPrompts(&prompts);
    EXPECT_EQ(asked, "Delete the site home?");
    EXPECT_EQ(stored("home", "HostName"), "h.example.org");

    // EXiT with nothing changed asks nothing; with an edit it asks, and Yes saves it.
    prompts.confirms.clear();
    click(dialog->bbExit);
    EXPECT_TRUE(prompts.confirms.isEmpty());
    dialog->openOn(QStringLiteral("home"));
    dialog->show();
    dialog->Hostname->setText(QStringLiteral("new.example.org"));
    prompts.confirmAnswers = {true};
    click(dialog->bbExit);
    EXPECT_EQ(prompts.confirms, QStringList({"Save the changes to the site home?"}));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(stored("home", "HostName"), "new.example.org");
    // No leaves the book as it was; a save the dialog refuses keeps the dialog open with its notice.
    dialog->openOn(QStringLiteral("home"));
    dialog->show();
    dialog->Hostname->setText(QStringLiteral("dropped.example.org"));
    prompts.confirmAnswers = {false};
    dialog->close();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(stored("home", "HostName"), "new.example.org");
    dialog->openOn(QStringLiteral("home"));
    dialog->show();
    dialog->Password->clear();
    prompts.confirmAnswers = {true};
    click(dialog->bbExit);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(prompts.notices.last(), "Duh! Enter the password first...");
}

TEST_F(SiteFormTest, TheDialogSaysWhereThisSitesPasswordIsKept)
{
    // A session bus on which no secret service answers: the desktop seems to have a store, and takes nothing.
    QTemporaryDir bus;
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus.filePath("bus").toUtf8());
    const auto noBus = qScopeGuard([] { qunsetenv("DBUS_SESSION_BUS_ADDRESS"); });
    click(dialog->bbNew);
    EXPECT_EQ(dialog->PasswordSafety->text(), "A saved password goes to the desktop's secret store, if one answers.");
    fill("home", "h.example.org", "op", "21", "pw");
    click(dialog->bbSave);
    EXPECT_EQ(stored("home", "PassWordIn"), "");
    EXPECT_EQ(dialog->PasswordSafety->text(), "This site's password is only obscured in its record.");

    // FileZilla's "Ask for password": the site reads as one whose password is asked at log-in, and stays so when
    // saved with its password box left empty.
    {
        TSettingsStore store(path);
        TDiamond cipher;
        cipher.SetKey("qvxrtz42");
        BookTransfer::importBook(store, cipher,
                                 "<FileZilla3><Servers><Server><Host>a.example.org</Host><User>op</User>"
                                 "<Logontype>2</Logontype><Name>asked</Name></Server></Servers></FileZilla3>",
                                 "", false);
    }
    dialog->openOn(QStringLiteral("asked"));
    EXPECT_EQ(dialog->Hostname->text(), "a.example.org");
    EXPECT_EQ(dialog->Password->text(), "");
    EXPECT_EQ(dialog->PasswordSafety->text(), "This site's password is not kept: it is asked at each log-in.");
    EXPECT_TRUE(prompts.notices.isEmpty()) << prompts.notices.join('|').toStdString();
    dialog->Hostname->setText(QStringLiteral("b.example.org"));
    click(dialog->bbSave);
    EXPECT_TRUE(prompts.notices.isEmpty()) << prompts.notices.join('|').toStdString();
    EXPECT_EQ(stored("asked", "HostName"), "b.example.org");
    EXPECT_EQ(stored("asked", "PassWordIn"), "ask");
}

TEST_F(SiteFormTest, NamesAreShownEscapedAndEveryValueIsCheckedAsTheOtherDoorsCheckIt)
{
    const QString bidi = QString::fromUtf16(u"prod\u202Eatad");
    {
        TSettingsStore store(path);
        TDiamond cipher;
        cipher.SetKey("qvxrtz42");
        SiteBook::Record site = SiteBook::NewSite();
        site.host = "h";
        site.login = "l";
        site.password = "p";
        SiteBook::save(store, cipher, SiteBook::keyName(bidi), site);
    }
    restart();
    ASSERT_EQ(dialog->SiteName->count(), 1);
    EXPECT_EQ(dialog->SiteName->itemText(0), "prod\\u202Eatad") << "shown as it is, not as it would read";
    pick(dialog->SiteName, dialog->SiteName->itemText(0));
    EXPECT_EQ(dialog->Hostname->text(), "h");
    dialog->Hostname->setText(QStringLiteral("other"));
    click(dialog->bbSave);
    EXPECT_EQ(stored(SiteBook::keyName(bidi), "HostName"), "other") << "saved under the site's own name";
    EXPECT_EQ(dialog->SiteName->count(), 1) << "and no second site made of the escapes";

    const std::pair<const char*, const char*> refused[] = {
        {"home\tx", "Duh! A site name cannot hold a control character (it holds \\x09)..."},
        {"99999", "Duh! The reply time-out is 0 to 86400 seconds, not 99999..."},
    };
    for (const auto& [value, notice] : refused) {
        const bool isName = value[0] == 'h';
        fill(isName ? value : "t", "h", "l", "21", "p");
        dialog->ReplyTimeout->setText(isName ? QStringLiteral("30") : QString::fromLatin1(value));
        click(dialog->bbSave);
        EXPECT_EQ(prompts.notices.value(prompts.notices.size() - 1), notice);
    }
    EXPECT_EQ(stored("home\tx", "HostName"), "<none>");
    EXPECT_EQ(stored("t", "HostName"), "<none>");
}

TEST_F(SiteFormTest, TheCommandLineToolWritesASiteTheConsoleLoads)
{
    const QString tool = qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/sitebook/kolvane-site";
    auto run = [&](const QStringList& args, const QByteArray& input) {
        QProcess p;
        p.start(tool, args);
        p.write(input);
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(10000));
        return std::pair{p.exitCode(), QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError())};
    };
    EXPECT_EQ(run({"add", "a\\b", "h", "21", "u"}, "pw\n").first, 2) << "a name with the separator is refused";
    EXPECT_EQ(run({"add", "x", "h", "21a", "u"}, "pw\n").first, 2) << "so is a port that is not digits";
    EXPECT_EQ(run({"add", "x", "h", "21", "u"}, "").first, 2) << "and a missing password";
    EXPECT_EQ(run({"add", "x", "h", "21", "elevenchars"}, "pw\n").first, 2) << "and what the dialog cannot show";
    EXPECT_EQ(run({"add", "x", "h", "21", "u", "--security", "ssl"}, "pw\n").first, 2);
    EXPECT_EQ(run({"add", "x", "h", "21", "u", "--data", "sideways"}, "pw\n").first, 2);
    form->close(); // the console writes its own last site when it closes
    form.reset();
    const QString fingerprint = QStringList(32, QStringLiteral("ab")).join(':');
    auto [code, output] = run({"add", "demo", "127.0.0.1", "2121", "siteop", "--last", "--security", "plain", "--data",
                               "passive", "--fingerprint", fingerprint},
                              "quillon\n");
    ASSERT_EQ(code, 0) << output.toStdString();
    EXPECT_EQ(run({"add", "esc\x1b[2Jape", "h", "21", "u"}, "pw\n").first, 2) << "a terminal's escape is refused";
    EXPECT_EQ(run({"add", "new", "h", "21", "u"}, "pw\n").first, 0);
    EXPECT_EQ(run({"list"}, "").second, "demo\nnew\n");
    EXPECT_EQ(stored("demo", "Security"), "plain");
    EXPECT_EQ(stored("demo", "DataConnection"), "passive");
    EXPECT_EQ(stored("demo", "Certificate"), fingerprint.toUpper().toStdString());
    EXPECT_EQ(stored("new", "Security"), "explicit") << "a site made new starts secure";
    start();
    EXPECT_EQ(form->SiteName->currentText(), "demo");
    EXPECT_EQ(form->session().client().Host, "127.0.0.1");
    EXPECT_EQ(form->session().client().Port, 2121);
    EXPECT_EQ(form->session().client().UserID, "siteop");
    EXPECT_EQ(form->session().client().Password, "quillon");
}

} // namespace

namespace {

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

// CONNECT ViA through a real Dante that wants a password, in front of the stand-in daemon: TEST says how far each
// hop came, and where it stopped (a wrong proxy password, no proxy there, a certificate nobody trusts), saving and
// pinning nothing; SAVE keeps the path with its user and the password apart, and the main window logs in along it.
TEST_F(SiteFormTest, ConnectViaSavesAPathThatTestTriesHopByHopAndTheWindowTakes)
{
    TestProxy dante(ProxyProgram::Dante, ProxyOptions{"proxyop", "s3cret", {}, ""});
    ASSERT_EQ(dante.start(), "");
    SimProcess plain;
    SimProcess tls({"--tls"});
    ASSERT_TRUE(plain.port != 0 && tls.port != 0);
    const QString via = QStringLiteral("socks5://127.0.0.1:%1").arg(dante.port());
    fill("proxied", "127.0.0.1", "siteop", QByteArray::number(plain.port).constData(), "quillon");
    dialog->Security->setCurrentIndex(int(TFtpSecurity::Plain));
    dialog->ConnectVia->setText(via);
    dialog->ProxyUser->setText(QStringLiteral("proxyop"));
    dialog->ProxyPassword->setText(QStringLiteral("s3cret"));
    const auto report = [&] { return dialog->PathReport->toPlainText().toStdString(); };
    const std::string hop = "The SOCKS5 proxy 127.0.0.1:" + std::to_string(dante.port());

    click(dialog->bbTest);
    EXPECT_EQ(report(), "proxy reached: ok\nproxy accepted: ok\nsite reached through it: ok\n"
                        "TLS: not asked for (Plain FTP)\nlog-in: ok\n"
                        "The path works: logged in through the proxy, and out again.");
    EXPECT_EQ(dialog->bbTest->text(), "&TEST");
    EXPECT_TRUE(plain.commands().contains("QUIT")) << "logged out again";
    EXPECT_EQ(count(dante.logs(), "tcp/connect ["), 1u) << dante.logs();
    EXPECT_EQ(stored("proxied", "HostName"), "<none>") << "TEST saves nothing";

    dialog->ProxyPassword->setText(QStringLiteral("wrong"));
    click(dialog->bbTest);
    EXPECT_EQ(report().rfind("proxy reached: ok\nproxy accepted: stopped here: " + hop +
                                 " refused the user name and password given for user \"proxyop\"",
                             0),
              0u)
        << report();
    EXPECT_TRUE(plain.commands().filter("USER").size() == 1) << "nothing reached the site";

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 nobody = closed.serverPort();
    closed.close();
    dialog->ConnectVia->setText(QStringLiteral("socks5://127.0.0.1:%1").arg(nobody));
    click(dialog->bbTest);
    EXPECT_EQ(report().rfind(
                  "proxy reached: stopped here: Cannot reach the SOCKS5 proxy 127.0.0.1:" + std::to_string(nobody), 0),
              0u)
        << report();

    // Over TLS to a certificate that neither verifies nor is pinned: the stop says so, and nobody is asked.
    dialog->ConnectVia->setText(via);
    dialog->ProxyPassword->setText(QStringLiteral("s3cret"));
    dialog->Port->setText(QString::number(tls.port));
    dialog->Security->setCurrentIndex(int(TFtpSecurity::ExplicitRequired));
    click(dialog->bbTest);
    EXPECT_NE(report().find("site reached through it: ok\nTLS: stopped here: "), std::string::npos) << report();
    EXPECT_NE(report().find("TEST trusts and pins nothing"), std::string::npos) << report();
    EXPECT_TRUE(prompts.trusts.isEmpty());
    EXPECT_EQ(dialog->Certificate->text(), "");
    dialog->Certificate->setText(tls.fingerprint); // the pin the operator made earlier
    click(dialog->bbTest);
    EXPECT_NE(report().find("TLS: ok\nlog-in: ok\n"), std::string::npos) << report();

    // SAVE keeps the path with its user; the password goes where the site's goes, never into the record in clear.
    click(dialog->bbSave);
    EXPECT_TRUE(prompts.notices.isEmpty()) << prompts.notices.join('|').toStdString();
    EXPECT_EQ(stored("proxied", "ConnectVia"), "socks5://proxyop@127.0.0.1:" + std::to_string(dante.port()));
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("s3cret"));
    click(dialog->bbNew);
    EXPECT_EQ(dialog->ConnectVia->text(), "");
    pick(dialog->SiteName, QStringLiteral("proxied"));
    EXPECT_EQ(dialog->ConnectVia->text(), via) << "the user has a box of his own";
    EXPECT_EQ(dialog->ProxyUser->text(), "proxyop");
    EXPECT_EQ(dialog->ProxyPassword->text(), "s3cret");

    // The main window's log-in takes the path the record names, as every log-in does.
    dialog->close();
    pick(form->SiteName, QStringLiteral("proxied"));
    const std::size_t before = count(dante.logs(), "tcp/connect [");
    click(form->bbLogin);
    EXPECT_TRUE(form->session().online()) << prompts.errors.join('|').toStdString();
    EXPECT_EQ(count(dante.logs(), "tcp/connect ["), before + 1) << dante.logs();
    click(form->bbLogOut);
}

// APPLY TO FOLDER gives the boxes' path to every site of the folder (and the folders below it), after asking; the
// other sites, and the rest of each site, stay as they were.
TEST_F(SiteFormTest, ApplyToFolderGivesOnePathToEverySiteOfTheFolder)
{
    fill("one", "10.0.0.1", "u1", "21", "p1");
    QTest::keyClicks(dialog->Folder->lineEdit(), QStringLiteral("eu"));
    click(dialog->bbSave);
    fill("two", "10.0.0.2", "u2", "21", "p2");
    dialog->Folder->setEditText(QStringLiteral("eu/north"));
    click(dialog->bbSave);
    fill("top", "10.0.0.3", "u3", "21", "p3");
    dialog->Folder->setEditText(QString());
    click(dialog->bbSave);

    pick(dialog->SiteName, QStringLiteral("one"));
    dialog->ConnectVia->setText(QStringLiteral("HTTP://127.0.0.1:3128"));
    dialog->ProxyUser->setText(QStringLiteral("op"));
    click(dialog->bbApplyVia);
    EXPECT_EQ(prompts.notices, QStringList({"Duh! Enter the proxy's password first..."}));
    dialog->ProxyPassword->setText(QStringLiteral("pw"));
    prompts.confirmAnswers = {false, true};
    click(dialog->bbApplyVia);
    EXPECT_EQ(stored("one", "ConnectVia"), "<none>") << "No changes nothing";
    click(dialog->bbApplyVia);
    EXPECT_EQ(prompts.confirms.last(), "Connect the 2 sites of the folder eu through http://op@127.0.0.1:3128?");
    for (const char* site : {"one", "two"})
        EXPECT_EQ(stored(site, "ConnectVia"), "http://op@127.0.0.1:3128") << site;
    EXPECT_EQ(stored("top", "ConnectVia"), "<none>");
    EXPECT_EQ(stored("two", "HostName"), "10.0.0.2");
    EXPECT_FALSE(dialog->hasUnsavedChanges()) << "the site shown has the path its boxes show";
    TSettingsStore store(path);
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    EXPECT_EQ(SiteBook::read(store, cipher, "two").proxyPassword, "pw");
    EXPECT_EQ(SiteBook::read(store, cipher, "two").password, "p2");
}
