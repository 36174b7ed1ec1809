// The main window built for real on the offscreen platform: its controls, start-up and the settings it keeps.

#include "admin/Flags.h"
#include "admin/NewUser.h"
#include "admin/UserEdit.h"
#include "common/ScriptedPrompts.h"
#include "files/About.h"
#include "files/NfoDizView.h"
#include "gui/Prompts.h"
#include "platform/SettingsStore.h"
#include "platform/Ticks.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/Splash.h"
#include "shell/Startup.h"
#include "shell/UserPage.h"
#include "sitebook/Sites.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <memory>

namespace {

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetApplicationTitle(QStringLiteral("Kolvane"));
        path = TSettingsStore::defaultPath();
        QFile::remove(QString::fromStdString(path));
    }

    // The store as another run of the console would leave it.
    std::unique_ptr<TSettingsStore> openStore(const char* key = "Drummock")
    {
        auto store = std::make_unique<TSettingsStore>(path);
        store->OpenKey(key, true);
        return store;
    }

    std::unique_ptr<TMainForm> start()
    {
        auto form = std::make_unique<TMainForm>();
        form->CreateDialogs(); // as the program start makes them
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form;
    }

    // Puts the window at the smallest size it takes, whose client area is 600 wide as the controls are drawn,
    // and returns how much higher than drawn (351) the client area then is.
    static int toDesignSize(TMainForm& form)
    {
        form.resize(form.minimumSize());
        QApplication::processEvents();
        QWidget* client = form.centralWidget();
        EXPECT_EQ(client->width(), 600);
        return client->height() - 351;
    }

    template <class T>
    static T* child(QObject* root, const char* name)
    {
        T* found = root->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << "no control named " << name;
        return found;
    }

    ScriptedPrompts prompts;
    std::string path;
};

TEST_F(MainFormTest, WithNoSettingsTheWindowOpensAtItsDefaultsCentred)
{
    auto form = start();
    EXPECT_EQ(form->windowTitle(), "Kolvane v1.50 - The Quillon Admin Tool by Drummock");
    EXPECT_EQ(ApplicationTitle(), "Kolvane");
    EXPECT_EQ(form->size(), QSize(620, 460));
    EXPECT_EQ(form->minimumSize(), QSize(600, 400));
    const QRect desk = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form->geometry().center() - desk.center()).manhattanLength(), 2);

    EXPECT_EQ(child<QComboBox>(form.get(), "SiteName")->count(), 0);
    EXPECT_FALSE(child<QPushButton>(form.get(), "bbLogin")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(form.get(), "bbLogOut")->isEnabled());
    EXPECT_FALSE(child<QPushButton>(form.get(), "bbExecute")->isEnabled());
    EXPECT_FALSE(child<QCheckBox>(form.get(), "NOOP")->isChecked());
    EXPECT_FALSE(child<QTimer>(form.get(), "Timer1")->isActive());
    EXPECT_EQ(child<QTimer>(form.get(), "Timer1")->interval(), 60000);
    EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->currentWidget(),
              child<QWidget>(form.get(), "StatusSheet"));
    EXPECT_EQ(child<TStatusBar>(form.get(), "StatusBar1")->panelText(1), "OFFLINE");
    EXPECT_EQ(child<TStatusBar>(form.get(), "StatusBar1")->panelText(2), "");
    EXPECT_EQ(child<TStatusBar>(form.get(), "StatusBar1")->panelText(3), "");
    EXPECT_EQ(QApplication::focusWidget(), child<QComboBox>(form.get(), "SiteName"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
}

TEST_F(MainFormTest, EveryControlIsInPlaceWithItsCaptionAndState)
{
    auto form = start();
    const int taller = toDesignSize(*form);
    struct Row {
        const char* name;
        const char* caption;
        QRect rect; // in its parent; an empty rect is not checked
        bool enabled;
    };
    const Row rows[] = {
        {"SiteName", "", QRect(8, 16, 129, 25), true},
        {"bbSites", "SiTES", QRect(144, 16, 55, 25), true},
        {"bbLogin", "LOGiN", QRect(200, 16, 55, 25), false},
        {"bbLogOut", "LOGOUT", QRect(256, 16, 55, 25), false},
        {"CommandText", "", QRect(320, 16, 185, 25), true},
        {"bbExecute", "EXECUTE", QRect(511, 13, 75, 25), false},
        {"NOOP", "STAY ONLiNE", QRect(496, 50, 97, 17), true},
        {"PageControl1", "", QRect(4, 48, 590, 299 + taller), true},
        {"bbWeekTop", "WEEKTOP", QRect(8, 8, 75, 25), true},
        {"bbGroupTop", "GROUPTOP", QRect(88, 8, 75, 25), true},
        {"bbUserTop", "USERTOP", QRect(168, 8, 75, 25), true},
        {"bbWho", "WHO'S ON", QRect(248, 8, 75, 25), true},
        {"bbKillUser", "KiLL LOGiN", QRect(328, 8, 75, 25), true},
        {"bbLastDirs", "LAST DiRS", QRect(408, 8, 75, 25), true},
        {"bbLastNukes", "LAST NUKES", QRect(488, 8, 75, 25), true},
        {"UserList", "", QRect(0, 24, 113, 25), true},
        {"bbUserInfo", "GET iNFO", QRect(120, 8, 75, 25), false},
        {"bbSetFlags", "SET FLAGS", QRect(120, 40, 75, 25), false},
        {"bbModifyUser", "MODiFY", QRect(199, 8, 75, 25), false},
        {"bbDeleteUser", "DELETE", QRect(199, 40, 75, 25), false},
        {"bbGiveCredit", "GiVE CREDiT", QRect(278, 8, 75, 25), false},
        {"bbTakeCredit", "TAKE CREDiT", QRect(278, 40, 75, 25), false},
        {"bbNewUser", "NEW USER", QRect(357, 8, 73, 57), true},
        {"bbKolvanes", "KOLVANES", QRect(435, 24, 70, 25), true},
        {"bbGroupOps", "GROUPOPS", QRect(512, 8, 70, 25), true},
        {"bbLeeches", "LEECHES", QRect(512, 40, 70, 25), true},
        {"GroupList", "", QRect(0, 24, 121, 25), true},
        {"bbListGroupUsers", "LiST USERS", QRect(128, 24, 78, 25), false},
        {"bbAddGroup", "ADD GROUP", QRect(208, 24, 78, 25), true},
        {"bbDelGroup", "DEL GROUP", QRect(288, 24, 78, 25), false},
        {"bbMoveUsers", "MOVE USERS", QRect(368, 24, 78, 25), false},
        {"bbDeleteDir", "DELETE", QRect(8, 8, 75, 25), true},
        {"bbNukeDir", "NUKE", QRect(88, 8, 75, 25), true},
        {"bbViewNfo", "ViEW NFO", QRect(168, 8, 75, 25), true},
        {"bbViewDiz", "ViEW DiZ", QRect(248, 8, 75, 25), true},
        {"bbTestZip", "TEST ZiP", QRect(328, 8, 75, 25), true},
        {"bbViewZip", "ViEW ZiP", QRect(408, 8, 75, 25), true},
    };
    for (const Row& row : rows) {
        auto* w = child<QWidget>(form.get(), row.name);
        if (!w)
            continue;
        SCOPED_TRACE(row.name);
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            EXPECT_EQ(b->text(), row.caption);
        }
        EXPECT_EQ(w->geometry(), row.rect);
        EXPECT_EQ(w->isEnabled(), row.enabled);
    }
    for (auto [name, caption] : {std::pair{"Label1", "SiTE NAME"}, std::pair{"Label2", "SiTE COMMAND"},
                                 std::pair{"Label3", "USER"}, std::pair{"Label4", "GROUP"}})
        EXPECT_EQ(child<QLabel>(form.get(), name)->text(), caption);
    EXPECT_EQ(child<QLabel>(form.get(), "Label1")->pos(), QPoint(8, 0));
    EXPECT_EQ(child<QLabel>(form.get(), "Label2")->pos(), QPoint(320, 0));

    // Pages in tab order, with their panels' heights.
    const char* pages[] = {"STATUS", "iNFO", "USER MAiNT", "GROUP MAiNT", "FiLE MAiNT"};
    ASSERT_EQ(child<TPageControl>(form.get(), "PageControl1")->count(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->tabText(i), pages[i]);
    EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->widget(1), child<TInfoPage>(form.get(), "InfoSheet"));
    EXPECT_EQ(child<QFrame>(form.get(), "Panel3")->height(), 41);
    EXPECT_EQ(child<QFrame>(form.get(), "Panel2")->height(), 73);
    EXPECT_EQ(child<QFrame>(form.get(), "Panel1")->height(), 57);
    EXPECT_EQ(child<QFrame>(form.get(), "Panel4")->height(), 41);

    // The user box: sorted by the console, ten characters at most; the command box keeps its history itself.
    EXPECT_EQ(child<QComboBox>(form.get(), "UserList")->lineEdit()->maxLength(), 10);
    EXPECT_EQ(child<QComboBox>(form.get(), "UserList")->maxVisibleItems(), 16);
    EXPECT_EQ(child<QComboBox>(form.get(), "UserList")->insertPolicy(), QComboBox::NoInsert);
    EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->insertPolicy(), QComboBox::NoInsert);
    EXPECT_FALSE(child<QComboBox>(form.get(), "SiteName")->isEditable());

    // Menu.
    EXPECT_EQ(child<QMenu>(form.get(), "MnuMisc")->title(), "&MiSC");
    const QStringList items{"mnuClearCommandList", "mnuSessionLog", "mnuRunOnSites",  "mnuUsersAcross",
                            "mnuChangeJournal",    "mnuSiteHealth", "mnuExportSites", "mnuImportSites",
                            "mnuMasterPassword",   "About1"};
    const QList<QAction*> actions = child<QMenu>(form.get(), "MnuMisc")->actions();
    ASSERT_EQ(actions.size(), items.size());
    for (qsizetype i = 0; i < items.size(); ++i)
        EXPECT_EQ(actions[i]->objectName(), items[i]) << "item " << i;
    EXPECT_EQ(child<QAction>(form.get(), "mnuClearCommandList")->text(), "&Clear Command List");
    EXPECT_EQ(child<QAction>(form.get(), "About1")->text(), "&About...");
    EXPECT_FALSE(child<QAction>(form.get(), "mnuClearCommandList")->icon().isNull());
    EXPECT_FALSE(child<QAction>(form.get(), "About1")->icon().isNull());

    // The tree and the splitter of the file page.
    EXPECT_EQ(child<TFileTreeView>(form.get(), "TreeView1")->indentation(), 19);
    EXPECT_EQ(child<TFileTreeView>(form.get(), "TreeView1")->editTriggers(), QAbstractItemView::NoEditTriggers);
    child<TPageControl>(form.get(), "PageControl1")->setCurrentWidget(child<TFilePage>(form.get(), "FileSheet"));
    QApplication::processEvents();
    EXPECT_EQ(child<QPlainTextEdit>(form.get(), "FileMemo")->height(), 75);
    EXPECT_EQ(child<QSplitter>(form.get(), "Splitter1")->handleWidth(), 4);
    child<QSplitter>(form.get(), "Splitter1")->setSizes({1000, 10});
    EXPECT_GE(child<QPlainTextEdit>(form.get(), "FileMemo")->height(), 50) << "the text box never gets lower than 50";
}

TEST_F(MainFormTest, TheTopStripStretchesAndKeepsToTheRightEdge)
{
    auto form = start();
    toDesignSize(*form);
    const QRect command = child<QComboBox>(form.get(), "CommandText")->geometry(),
                execute = child<QPushButton>(form.get(), "bbExecute")->geometry(),
                noop = child<QCheckBox>(form.get(), "NOOP")->geometry(),
                pages = child<TPageControl>(form.get(), "PageControl1")->geometry(),
                sites = child<QPushButton>(form.get(), "bbSites")->geometry();
    form->resize(form->width() + 100, form->height() + 40);
    QApplication::processEvents();
    EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->geometry(), command.adjusted(0, 0, 100, 0));
    EXPECT_EQ(child<QPushButton>(form.get(), "bbExecute")->geometry(), execute.translated(100, 0));
    EXPECT_EQ(child<QCheckBox>(form.get(), "NOOP")->geometry(), noop.translated(100, 0));
    EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->geometry(), pages.adjusted(0, 0, 100, 40));
    EXPECT_EQ(child<QPushButton>(form.get(), "bbSites")->geometry(), sites);
}

TEST_F(MainFormTest, PageTextBoxesUseAFixedPitchFontTwelvePixelsHigh)
{
    auto form = start();
    for (QPlainTextEdit* memo :
         {child<QPlainTextEdit>(form.get(), "StatusMemo"), child<QPlainTextEdit>(form.get(), "InfoMemo"),
          child<QPlainTextEdit>(form.get(), "UserMemo"), child<QPlainTextEdit>(form.get(), "GroupMemo"),
          child<QPlainTextEdit>(form.get(), "FileMemo")}) {
        SCOPED_TRACE(memo->objectName().toStdString());
        EXPECT_EQ(memo->font().pixelSize(), 12);
        EXPECT_TRUE(QFontInfo(memo->font()).fixedPitch());
        EXPECT_FALSE(memo->isReadOnly());
        EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        // The font has the line-drawing set the daemon draws its tables with.
        EXPECT_TRUE(QFontMetrics(memo->font()).inFont(QChar(0x2554)));
    }
}

TEST_F(MainFormTest, StoredSizeIsUsedButNeverBelowTheMinimum)
{
    {
        auto store = openStore();
        store->WriteInteger("Settings", "Height", 300);
        store->WriteInteger("Settings", "Width", 500);
    }
    EXPECT_EQ(start()->size(), QSize(600, 400));
    {
        auto store = openStore();
        store->WriteInteger("Settings", "Height", 550);
        store->WriteString("Settings", "Width", "wide");
    }
    EXPECT_EQ(start()->size(), QSize(620, 550)) << "a width that is no number loads as the default";
}

TEST_F(MainFormTest, ARememberedSizeLargerThanTheScreenIsFittedToIt)
{
    // A size kept from a larger screen, or another scale: the window is fitted to this screen, title bar and all.
    {
        auto store = openStore();
        store->WriteInteger("Settings", "Height", 5000);
        store->WriteInteger("Settings", "Width", 7000);
    }
    auto form = start();
    const QRect desk = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(desk.contains(form->frameGeometry()))
        << form->frameGeometry().width() << "x" << form->frameGeometry().height() << " on " << desk.width() << "x"
        << desk.height();
    EXPECT_GE(form->frameGeometry().top(), desk.top()) << "the title bar is within reach";
    EXPECT_GE(form->width(), 600) << "never below the window's minimum";
}

TEST_F(MainFormTest, HandSetNumbersOutsideTheirBoundsAreHeldToThemAndSaidOnce)
{
    {
        auto store = openStore("Drummock\\SiTES");
        store->WriteString("far", "HostName", "127.0.0.1");
        store->WriteString("far", "ReplyTimeout", "4294968"); // times 1000 in 32 bits: 0.7 s
        store->CloseKey();
        store->OpenKey("Drummock", false);
        store->WriteString("Settings", "ScrollBack", "2000000000");
        store->WriteString("Settings", "LastSiteName", "far");
    }
    auto form = start();
    QTest::qWait(20); // the notes come once start-up is over
    EXPECT_EQ(child<QPlainTextEdit>(form.get(), "StatusMemo")->maximumBlockCount(), 1000000);
    EXPECT_EQ(form->session().site().replyTimeout, 86400);
    ASSERT_EQ(prompts.notices.size(), 2) << prompts.notices.join('\n').toStdString();
    EXPECT_TRUE(prompts.notices[0].startsWith("The setting ScrollBack 2000000000 is outside 100 to 1000000 lines"));
    EXPECT_TRUE(prompts.notices[1].startsWith("The site far's ReplyTimeout 4294968 is outside 0 to 86400 seconds"));
    // Picked again, the site says nothing more.
    emit child<QComboBox>(form.get(), "SiteName")->activated(child<QComboBox>(form.get(), "SiteName")->currentIndex());
    QTest::qWait(20);
    EXPECT_EQ(prompts.notices.size(), 2);
    EXPECT_TRUE(prompts.errors.isEmpty());
}

TEST_F(MainFormTest, CustomCommandsAreSavedAtCloseAndLoadedInTheirOrder)
{
    {
        auto form = start();
        for (const char* c : {"WHO", "", "GROUPS"})
            child<QComboBox>(form.get(), "CommandText")->addItem(QString::fromLatin1(c));
        form->resize(640, 480);
        form->close();
    }
    {
        auto store = openStore();
        TSettingsStore::ValueList values;
        store->ReadSectionValues("Custom Commands", values);
        ASSERT_EQ(values.size(), 2u) << "the empty entry at position 1 is skipped";
        EXPECT_EQ(values[0], (std::pair<std::string, std::string>{"Command0", "WHO"}));
        EXPECT_EQ(values[1], (std::pair<std::string, std::string>{"Command2", "GROUPS"}));
        EXPECT_EQ(store->ReadInteger("Settings", "Height", 0), 480);
        EXPECT_EQ(store->ReadInteger("Settings", "Width", 0), 640);
        EXPECT_EQ(store->ReadInteger("Settings", "LastSite", 0), -1);

        // Twelve commands written in order load in that order, Command10 and Command11 included.
        store->EraseSection("Custom Commands");
        for (int i = 0; i < 12; ++i)
            store->WriteString("Custom Commands", "Command" + std::to_string(i), "C" + std::to_string(i));
    }
    auto form = start();
    ASSERT_EQ(child<QComboBox>(form.get(), "CommandText")->count(), 12);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->itemText(i), QStringLiteral("C%1").arg(i));
    EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->currentText(), "");
    EXPECT_EQ(form->size(), QSize(640, 480));
}

TEST_F(MainFormTest, ClearCommandListEmptiesTheHistoryForTheNextStart)
{
    {
        auto store = openStore();
        store->WriteString("Custom Commands", "Command0", "WHO");
        store->WriteString("Custom Commands", "Command1", "USERS");
    }
    {
        auto form = start();
        ASSERT_EQ(child<QComboBox>(form.get(), "CommandText")->count(), 2);
        child<QComboBox>(form.get(), "CommandText")->setEditText(QStringLiteral("half typed"));
        child<QAction>(form.get(), "mnuClearCommandList")->trigger();
        EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->count(), 0);
        EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->currentText(), "half typed")
            << "the text being typed stays";
        form->close();
    }
    EXPECT_EQ(start()->CommandText->count(), 0);
}

TEST_F(MainFormTest, TheLastSiteIsSelectedOnlyWhenItExists)
{
    {
        auto store = openStore("Drummock\\SiTES");
        for (const char* site : {"zeta", "Alpha", "mid"})
            store->WriteString(site, "HostName", "127.0.0.1");
        store->CloseKey();
        store->OpenKey("Drummock", false);
        store->WriteInteger("Settings", "LastSite", 5);
    }
    {
        auto form = start();
        ASSERT_EQ(child<QComboBox>(form.get(), "SiteName")->count(), 3);
        EXPECT_EQ(child<QComboBox>(form.get(), "SiteName")->itemText(0), "Alpha") << "sites list in name order";
        EXPECT_EQ(child<QComboBox>(form.get(), "SiteName")->currentIndex(), -1);
        EXPECT_FALSE(child<QPushButton>(form.get(), "bbLogin")->isEnabled());
        child<QComboBox>(form.get(), "SiteName")->setCurrentIndex(2);
        form->close();
    }
    {
        auto store = openStore();
        EXPECT_EQ(store->ReadInteger("Settings", "LastSite", -1), 2) << "still written for older consoles";
        EXPECT_EQ(store->ReadString("Settings", "LastSiteName", ""), "zeta");
        store->CloseKey();
        store->OpenKey("Drummock\\SiTES", false);
        store->WriteString("beta", "HostName", "127.0.0.1"); // a site that sorts before the last one
    }
    {
        auto form = start();
        EXPECT_EQ(child<QComboBox>(form.get(), "SiteName")->currentText(), "zeta")
            << "the last site is found by its name";
        form->close();
    }

    // kolvane-site's --last names the site too: one added after it does not take its place.
    const QString tool = qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/sitebook/kolvane-site";
    for (const QStringList& args : {QStringList{"add", "production", "127.0.0.1", "21", "siteop", "--last"},
                                    QStringList{"add", "lab", "127.0.0.1", "21", "siteop"}}) {
        QProcess p;
        p.start(tool, args);
        p.write("quillon\n");
        p.closeWriteChannel();
        ASSERT_TRUE(p.waitForFinished(10000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    }
    auto form = start();
    EXPECT_EQ(child<QComboBox>(form.get(), "SiteName")->currentText(), "production");
}

TEST_F(MainFormTest, ADamagedStoreIsReportedAndLeftAlone)
{
    const QByteArray junk = "not a settings store at all";
    {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(junk);
    }
    {
        auto form = start();
        QTRY_COMPARE(prompts.errors.size(), 1);
        EXPECT_TRUE(prompts.errors[0].contains(QString::fromStdString(path))) << prompts.errors[0].toStdString();
        EXPECT_EQ(form->size(), QSize(620, 460));
        child<QComboBox>(form.get(), "CommandText")->addItem(QStringLiteral("WHO"));
        form->close();
        EXPECT_EQ(prompts.errors.size(), 1) << "told once, at start-up";
    }
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), junk);
}

TEST_F(MainFormTest, AReadOnlyStoreIsReadAndLeftReadOnly)
{
    {
        auto store = openStore();
        store->WriteString("Custom Commands", "Command0", "WHO");
    }
    QFile::setPermissions(QString::fromStdString(path), QFileDevice::ReadOwner | QFileDevice::ReadGroup);
    {
        auto form = start();
        QTRY_COMPARE(prompts.notices.size(), 1);
        EXPECT_TRUE(prompts.notices[0].contains("read-only")) << prompts.notices[0].toStdString();
        EXPECT_EQ(child<QComboBox>(form.get(), "CommandText")->count(), 1) << "what it holds is still read";
        child<QComboBox>(form.get(), "CommandText")->addItem(QStringLiteral("USERS"));
        form->close();
        EXPECT_TRUE(prompts.errors.isEmpty()) << "told once, at start-up: " << prompts.errors.join('|').toStdString();
    }
    const QFileDevice::Permissions modeBits = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                              QFileDevice::ReadOther | QFileDevice::WriteOther;
    EXPECT_EQ(QFile::permissions(QString::fromStdString(path)) & modeBits, QFileDevice::ReadOwner)
        << "the operator's read-only stays; only the group's and others' bits go";
    EXPECT_EQ(openStore()->ReadString("Custom Commands", "Command1", "<none>"), "<none>");
    QFile::setPermissions(QString::fromStdString(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(MainFormTest, TheSplashCyclesItsPicturesUntilTheFirstActivation)
{
    auto* splash = new TSplashScreen;
    splash->show();
    EXPECT_EQ(splash->objectName(), "SplashScreen");
    EXPECT_EQ(splash->size(), QSize(369, 260));
    EXPECT_TRUE(splash->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(splash->windowFlags() & Qt::WindowStaysOnTopHint);
    const QImage pictures[] = {splash->Image1->pixmap().toImage(), splash->Image2->pixmap().toImage(),
                               splash->Image3->pixmap().toImage()};
    for (const QImage& picture : pictures)
        EXPECT_EQ(picture.size(), QSize(360, 252));
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_NE(pictures[1], pictures[2]);
    EXPECT_NE(pictures[0], pictures[2]);
    EXPECT_EQ(splash->Image1->geometry(), QRect(4, 4, 360, 252));
    EXPECT_EQ(splash->Image2->geometry(), QRect(5, 4, 360, 252));
    EXPECT_EQ(splash->Timer1->interval(), 200);
    EXPECT_TRUE(splash->Timer1->isActive());

    auto visible = [splash] {
        return QString("%1%2%3")
            .arg(splash->Image1->isVisible())
            .arg(splash->Image2->isVisible())
            .arg(splash->Image3->isVisible());
    };
    EXPECT_EQ(visible(), "100");
    splash->Timer1Timer();
    EXPECT_EQ(visible(), "010");
    splash->Timer1Timer();
    EXPECT_EQ(visible(), "001");
    splash->Timer1Timer();
    EXPECT_EQ(visible(), "100");

    QPointer<TSplashScreen> watch(splash);
    auto form = std::make_unique<TMainForm>();
    form->setSplash(splash);
    const std::uint32_t before = GetTickCount(); // the clock the wait itself counts on
    form->FormActivate();
    EXPECT_GE(GetTickCount() - before, 2000u) << "the splash stays two more seconds";
    EXPECT_FALSE(watch && watch->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull()) << "and is destroyed then";
    EXPECT_TRUE(child<QComboBox>(form.get(), "SiteName")->isEnabled());

    QElapsedTimer clock;
    clock.start();
    form->FormActivate();
    EXPECT_LT(clock.elapsed(), 1000) << "later activations wait for nothing";
}

TEST_F(MainFormTest, TheRealStartUpClosesTheSplashOnEveryPlatform)
{
    // In this process, as the program starts: the splash goes at the first activation, and nothing reaches it after.
    {
        const std::unique_ptr<TMainForm> form = StartConsole();
        QPointer<QWidget> splash;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("SplashScreen"))
                splash = w;
        ASSERT_FALSE(splash.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(splash.isNull(), 10000);
        EXPECT_TRUE(form->isVisible());
        EXPECT_EQ(ApplicationTitle(), "Kolvane");
    }
    // The program itself, on the platforms without a window manager: it must still be up once the splash is gone.
    QTemporaryDir config;
    std::vector<std::unique_ptr<QProcess>> runs;
    for (const char* platform : {"offscreen", "minimal"}) {
        auto run = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", platform);
        env.insert("XDG_CONFIG_HOME", config.path());
        run->setProcessEnvironment(env);
        run->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run->start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/shell/kolvane", QStringList());
        ASSERT_TRUE(run->waitForStarted(5000)) << platform;
        runs.push_back(std::move(run));
    }
    QTest::qWait(3500);
    for (const auto& run : runs) {
        EXPECT_EQ(run->state(), QProcess::Running) << "exit code " << run->exitCode();
        run->terminate();
        if (!run->waitForFinished(5000)) {
            run->kill();
            run->waitForFinished(5000);
        }
    }
}

TEST_F(MainFormTest, TheAboutBoxShowsThePictureThenTheCredits)
{
    auto form = start();
    TAboutForm about(form.get());
    EXPECT_EQ(about.objectName(), "AboutForm");
    EXPECT_EQ(about.windowTitle(), "ABOUT Kolvane");
    EXPECT_EQ(about.size(), QSize(362, 299));
    EXPECT_EQ(about.KolvanePic->pixmap().size(), QSize(360, 252));
    EXPECT_EQ(about.KolvanePic->pos(), QPoint(2, 0));
    EXPECT_EQ(about.bbViewCredits->text(), "ViEW CREDiTS");
    EXPECT_EQ(about.bbViewCredits->geometry(), QRect(128, 264, 106, 25));
    EXPECT_EQ(about.Credits->geometry(), QRect(0, 0, 362, 257));
    EXPECT_TRUE(about.Credits->isReadOnly());
    about.show();
    EXPECT_TRUE(about.KolvanePic->isVisible());
    EXPECT_FALSE(about.Credits->isVisible());
    QTest::mouseClick(about.bbViewCredits, Qt::LeftButton);
    EXPECT_FALSE(about.KolvanePic->isVisible());
    EXPECT_TRUE(about.Credits->isVisible());
    EXPECT_FALSE(about.Credits->toPlainText().isEmpty());
    QTest::mouseClick(about.bbViewCredits, Qt::LeftButton);
    EXPECT_TRUE(about.Credits->isVisible()) << "further clicks change nothing";

    // The menu item opens it modally and it is gone when closed.
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->objectName(), "AboutForm");
        box->close();
    });
    child<QAction>(form.get(), "About1")->trigger();
    EXPECT_EQ(form->findChildren<TAboutForm*>().size(), 1) << "only the test's own box is left";
}

TEST_F(MainFormTest, EveryWindowCanBeReadAloudAndWalkedWithTheKeyboard)
{
    auto form = start();
    child<QComboBox>(form.get(), "UserList")->setEditText(QStringLiteral("newbie"));
    const std::unique_ptr<QDialog> userForm = child<TUserPage>(form.get(), "UserSheet")->makeUserForm();
    const std::unique_ptr<QDialog> newUserForm = child<TUserPage>(form.get(), "UserSheet")->makeNewUserForm();
    TAboutForm about(form.get());
    TNfoDizForm viewer(form.get());
    std::vector<QWidget*> windows{form.get(),
                                  child<TSiteForm>(form.get(), "SiteForm"),
                                  child<TFlagForm>(form.get(), "FlagForm"),
                                  userForm.get(),
                                  newUserForm.get(),
                                  &about,
                                  &viewer};
    // The windows of many sites, opened from the menu as the operator opens them.
    for (const auto& [action, name] : {std::pair{"mnuRunOnSites", "RunSitesForm"},
                                       {"mnuUsersAcross", "AcrossForm"},
                                       {"mnuChangeJournal", "JournalForm"},
                                       {"mnuSiteHealth", "HealthForm"}}) {
        child<QAction>(form.get(), action)->trigger();
        windows.push_back(child<QWidget>(form.get(), name));
    }
    for (QWidget* window : windows) {
        const std::string where = window->objectName().toStdString() + ": ";
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (w->window() != window || w->focusPolicy() == Qt::NoFocus)
                continue;
            QAccessibleInterface* read = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(read, nullptr);
            EXPECT_FALSE(read->text(QAccessible::Name).trimmed().isEmpty())
                << where << "a screen reader finds no name for " << w->metaObject()->className() << " "
                << w->objectName().toStdString() << " in " << w->parentWidget()->metaObject()->className() << " "
                << w->parentWidget()->objectName().toStdString();
        }
        for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
            if (!b->isVisibleTo(window)) // the tab bar's scroll buttons while every tab fits, say
                continue;
            EXPECT_FALSE(b->toolTip().isEmpty()) << where << b->objectName().toStdString() << " says nothing";
        }
    }
    const auto nameOf = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
    EXPECT_EQ(nameOf(child<QComboBox>(form.get(), "SiteName")), "SiTE NAME")
        << "the box is named, not read as its value";
    EXPECT_EQ(nameOf(child<QComboBox>(form.get(), "CommandText")), "SiTE COMMAND");
    EXPECT_EQ(nameOf(child<QComboBox>(form.get(), "CommandText")->lineEdit()), "SiTE COMMAND");
    EXPECT_EQ(nameOf(child<TSiteForm>(form.get(), "SiteForm")->Port), "PORT");

    // Tab moves on from the reply boxes, which have no use for a tab character.
    QApplication::setActiveWindow(form.get());
    for (QPlainTextEdit* box :
         {child<QPlainTextEdit>(form.get(), "StatusMemo"), child<QPlainTextEdit>(form.get(), "FileMemo")}) {
        child<TPageControl>(form.get(), "PageControl1")
            ->setCurrentWidget(box->parentWidget()->objectName() == "StatusSheet"
                                   ? child<QWidget>(form.get(), "StatusSheet")
                                   : child<TFilePage>(form.get(), "FileSheet"));
        box->setFocus();
        ASSERT_TRUE(box->hasFocus());
        QTest::keyClick(box, Qt::Key_Tab);
        EXPECT_FALSE(box->hasFocus()) << box->objectName().toStdString() << " keeps the focus";
        EXPECT_TRUE(box->toPlainText().isEmpty());
    }
}

TEST_F(MainFormTest, TabClicksAskFirstAndOnlyOperatorChangesRefresh)
{
    auto form = start();
    bool allow = false;
    int refreshes = 0;
    child<TPageControl>(form.get(), "PageControl1")->OnChanging = [&] { return allow; };
    child<TPageControl>(form.get(), "PageControl1")->OnChange = [&] { ++refreshes; };
    QTabBar* bar = child<TPageControl>(form.get(), "PageControl1")->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
    EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->currentWidget(),
              child<QWidget>(form.get(), "StatusSheet"))
        << "a refused click leaves the page";
    QTest::keyClick(child<TPageControl>(form.get(), "PageControl1"), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->currentIndex(), 0);
    EXPECT_EQ(refreshes, 0);

    allow = true;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
    EXPECT_EQ(child<TPageControl>(form.get(), "PageControl1")->currentWidget(),
              child<TUserPage>(form.get(), "UserSheet"));
    EXPECT_EQ(refreshes, 1);
    child<TPageControl>(form.get(), "PageControl1")
        ->setCurrentWidget(child<QWidget>(form.get(), "StatusSheet")); // the program's own change
    EXPECT_EQ(refreshes, 1);
}

} // namespace
