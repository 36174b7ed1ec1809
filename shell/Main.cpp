#include "shell/Main.h"

#include "admin/Flags.h"
#include "art/Art.h"
#include "files/About.h"
#include "ftp/NMFtp.h"
#include "gui/Anchors.h"
#include "gui/Guard.h"
#include "gui/Look.h"
#include "gui/Prompts.h"
#include "platform/OemText.h"
#include "platform/PollLoop.h"
#include "platform/SettingsStore.h"
#include "shell/PageControl.h"
#include "shell/Splash.h"
#include "sitebook/Diamond.h"
#include "sitebook/Sites.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const char* const kProgramKey = "Drummock";

// The client area of the console as it is drawn: the top strip and the page control are placed in these
// coordinates, and stretch or keep to the right edge from there.
constexpr QSize kDesignClient(600, 351);

} // namespace

// ---- status bar -----------------------------------------------------------------------------------------------

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent)
{
    setObjectName(QStringLiteral("StatusBar1"));
    setSizeGripEnabled(true);
    const int widths[3] = {60, 50, 0};
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i + 1));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setContentsMargins(3, 0, 3, 0);
        if (widths[i] > 0) {
            panel->setFixedWidth(widths[i]);
            panel->setAlignment(Qt::AlignCenter);
        } else {
            panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            panel->setMinimumWidth(10);
        }
        addWidget(panel, widths[i] > 0 ? 0 : 1);
        panels_[i] = panel;
    }
}

QString TStatusBar::panelText(int panel) const
{
    return panels_[panel - 1]->text();
}

void TStatusBar::setPanelText(int panel, const QString& text)
{
    panels_[panel - 1]->setText(text);
}

// ---- construction ---------------------------------------------------------------------------------------------

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent)
{
    initArtResources();
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Kolvane v1.50 - The Quillon Admin Tool by Drummock"));
    buildControls();
    connectHandlers();
    setMinimumSize(600, 400);
    resize(620, 460);
    FormCreate();

    // Centre on the desktop at the size the settings gave.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->availableGeometry();
        move(desk.center() - QPoint(width() / 2, height() / 2));
    }
    SiteName->setFocus();
}

TMainForm::~TMainForm()
{
    // The dialogs go first: they use the store, the cipher and the client, which go with this window's members.
    delete SiteForm;
    SiteForm = nullptr;
    delete FlagForm;
    FlagForm = nullptr;
    // The client outlives the controls its events would write to; from here on it reports to nobody, and a
    // connection still open (the window was never closed) is dropped without waiting for a QUIT reply.
    NMFTP1->OnStatus = nullptr;
    NMFTP1->OnConnect = nullptr;
    NMFTP1->OnDisconnect = nullptr;
    NMFTP1->OnListItem = nullptr;
    NMFTP1->OnTransactionStop = nullptr;
    if (NMFTP1->Connected)
        NMFTP1->TPowersock::Disconnect();
}

void TMainForm::run(void (TMainForm::*handler)())
{
    try {
        (this->*handler)();
    } catch (const std::exception& e) {
        if (!closing_)
            ShowException(e);
    } catch (...) {
        if (!closing_)
            ShowException(std::exception());
    }
    if (closing_ && !clientBusy())
        QTimer::singleShot(0, this, &QWidget::close);
}

template <class Sender, class Signal>
void TMainForm::on(Sender* sender, Signal signal, void (TMainForm::*handler)())
{
    connect(sender, signal, this, [this, handler] { run(handler); });
}

bool TMainForm::clientBusy() const
{
    return NMFTP1->isBusy();
}

void TMainForm::disconnectWithinQuitTimeout()
{
    // A daemon that never answers QUIT must not keep the console waiting: the watchdog cancels the wait, and the
    // socket is closed whatever happened.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, NMFTP1, [this] { NMFTP1->Cancel(); });
    watchdog.start(QuitTimeout);
    try {
        NMFTP1->Disconnect();
    } catch (...) {
        if (NMFTP1->Connected)
            NMFTP1->TPowersock::Disconnect();
        throw;
    }
    if (NMFTP1->Connected)
        NMFTP1->TPowersock::Disconnect();
}

void TMainForm::setBusyCursor(bool busy)
{
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

QPushButton* TMainForm::makeButton(const char* name, const QString& caption, QWidget* parent, QRect rect)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    button->setGeometry(rect);
    return button;
}

QPlainTextEdit* TMainForm::makeMemo(const char* name, QWidget* page)
{
    auto* memo = new QPlainTextEdit(page);
    memo->setObjectName(QString::fromLatin1(name));
    memo->setFont(ConsoleFont());
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return memo;
}

void TMainForm::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("MainClient"));
    setCentralWidget(client);
    anchors_ = new TAnchors(client, kDesignClient);

    buildTopStrip(client);
    buildPages();
    // The check box sits on the tab row, right of the tabs, so it goes on top of the page control.
    NOOP->raise();

    StatusBar1 = new TStatusBar(this);
    setStatusBar(StatusBar1);
    StatusBar1->setPanelText(1, QStringLiteral("OFFLINE"));

    buildMenu();

    LogIn = new QAction(QStringLiteral("LOGiN"), this);
    LogIn->setObjectName(QStringLiteral("LogIn"));
    LogOut = new QAction(QStringLiteral("LOGOUT"), this);
    LogOut->setObjectName(QStringLiteral("LogOut"));
    RefreshData = new QAction(QStringLiteral("RefreshData"), this);
    RefreshData->setObjectName(QStringLiteral("RefreshData"));
    // The two buttons are bound to their actions: the action's enabled state is the button's.
    for (auto [button, action] : {std::pair{bbLogin, LogIn}, std::pair{bbLogOut, LogOut}}) {
        action->setEnabled(false);
        button->setEnabled(false);
        connect(action, &QAction::changed, button, [button, action] { button->setEnabled(action->isEnabled()); });
        connect(button, &QPushButton::clicked, action, &QAction::trigger);
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(60000);

    SAP = new TDiamond(this);
    SAP->setObjectName(QStringLiteral("SAP"));

    NMFTP1 = new TNMFTP(this);
    NMFTP1->setObjectName(QStringLiteral("NMFTP1"));
    NMFTP1->Port = 21;
    NMFTP1->ReportLevel = 2;
    NMFTP1->Vendor = 2411;
    NMFTP1->ParseList = true;
    NMFTP1->ProxyPort = 0;

    ImageList1 = {QIcon(QStringLiteral(":/art/node0-folder-closed.png")),
                  QIcon(QStringLiteral(":/art/node1-folder-open.png")), QIcon(QStringLiteral(":/art/node2-file.png")),
                  QIcon(QStringLiteral(":/art/node3-link.png"))};
    ImageList2 = {QIcon(QStringLiteral(":/art/menu0-clear.png")), QIcon(QStringLiteral(":/art/menu1-about.png"))};
    mnuClearCommandList->setIcon(ImageList2[0]);
    About1->setIcon(ImageList2[1]);
}

void TMainForm::buildTopStrip(QWidget* client)
{
    Label1 = new QLabel(QStringLiteral("SiTE NAME"), client);
    Label1->setObjectName(QStringLiteral("Label1"));
    anchors_->place(Label1, QRect(QPoint(8, 0), Label1->sizeHint()));

    SiteName = new QComboBox(client);
    SiteName->setObjectName(QStringLiteral("SiteName"));
    anchors_->place(SiteName, QRect(8, 16, 129, 25));

    bbSites = makeButton("bbSites", QStringLiteral("SiTES"), client, QRect(144, 16, 55, 25));
    bbLogin = makeButton("bbLogin", QStringLiteral("LOGiN"), client, QRect(200, 16, 55, 25));
    bbLogOut = makeButton("bbLogOut", QStringLiteral("LOGOUT"), client, QRect(256, 16, 55, 25));
    for (QPushButton* b : {bbSites, bbLogin, bbLogOut})
        anchors_->place(b, b->geometry());

    Label2 = new QLabel(QStringLiteral("SiTE COMMAND"), client);
    Label2->setObjectName(QStringLiteral("Label2"));
    anchors_->place(Label2, QRect(QPoint(320, 0), Label2->sizeHint()));

    CommandText = new QComboBox(client);
    CommandText->setObjectName(QStringLiteral("CommandText"));
    CommandText->setEditable(true);
    CommandText->setInsertPolicy(QComboBox::NoInsert); // the history grows by EXECUTE only
    CommandText->setCompleter(nullptr);
    anchors_->place(CommandText, QRect(320, 16, 185, 25), TAnchors::Left | TAnchors::Top | TAnchors::Right);

    bbExecute = makeButton("bbExecute", QStringLiteral("EXECUTE"), client, QRect(511, 13, 75, 25));
    bbExecute->setEnabled(false);
    anchors_->place(bbExecute, bbExecute->geometry(), TAnchors::Top | TAnchors::Right);

    PageControl1 = new TPageControl(client);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    anchors_->place(PageControl1, QRect(4, 48, 590, 299), TAnchors::All);

    NOOP = new QCheckBox(QStringLiteral("STAY ONLiNE"), client);
    NOOP->setObjectName(QStringLiteral("NOOP"));
    anchors_->place(NOOP, QRect(496, 50, 97, 17), TAnchors::Top | TAnchors::Right);
}

void TMainForm::buildPages()
{
    auto makeSheet = [this](const char* name, const QString& caption) {
        auto* sheet = new QWidget;
        sheet->setObjectName(QString::fromLatin1(name));
        auto* layout = new QVBoxLayout(sheet);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        PageControl1->addTab(sheet, caption);
        return sheet;
    };
    auto makePanel = [](const char* name, QWidget* sheet, int height, bool bevel) {
        auto* panel = new QFrame(sheet);
        panel->setObjectName(QString::fromLatin1(name));
        panel->setFixedHeight(height);
        panel->setFrameStyle(bevel ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
        sheet->layout()->addWidget(panel);
        return panel;
    };
    auto addMemo = [this](const char* name, QWidget* sheet) {
        QPlainTextEdit* memo = makeMemo(name, sheet);
        sheet->layout()->addWidget(memo);
        return memo;
    };
    // The user and group boxes: free text plus a pick list that only the console fills.
    auto editableCombo = [](const char* name, QWidget* parent, QRect rect, int rows) {
        auto* box = new QComboBox(parent);
        box->setObjectName(QString::fromLatin1(name));
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setCompleter(nullptr); // what is typed is what is sent: no completion from the list
        box->setMaxVisibleItems(rows);
        box->setGeometry(rect);
        return box;
    };
    auto label = [](const char* name, const QString& caption, QWidget* parent, QPoint at) {
        auto* l = new QLabel(caption, parent);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(QRect(at, l->sizeHint()));
        return l;
    };

    // STATUS
    StatusSheet = makeSheet("StatusSheet", QStringLiteral("STATUS"));
    StatusMemo = addMemo("StatusMemo", StatusSheet);

    // iNFO
    InfoSheet = makeSheet("InfoSheet", QStringLiteral("iNFO"));
    Panel3 = makePanel("Panel3", InfoSheet, 41, true);
    bbWeekTop = makeButton("bbWeekTop", QStringLiteral("WEEKTOP"), Panel3, QRect(8, 8, 75, 25));
    bbGroupTop = makeButton("bbGroupTop", QStringLiteral("GROUPTOP"), Panel3, QRect(88, 8, 75, 25));
    bbUserTop = makeButton("bbUserTop", QStringLiteral("USERTOP"), Panel3, QRect(168, 8, 75, 25));
    bbWho = makeButton("bbWho", QStringLiteral("WHO'S ON"), Panel3, QRect(248, 8, 75, 25));
    bbKillUser = makeButton("bbKillUser", QStringLiteral("KiLL LOGiN"), Panel3, QRect(328, 8, 75, 25));
    bbLastDirs = makeButton("bbLastDirs", QStringLiteral("LAST DiRS"), Panel3, QRect(408, 8, 75, 25));
    bbLastNukes = makeButton("bbLastNukes", QStringLiteral("LAST NUKES"), Panel3, QRect(488, 8, 75, 25));
    // Keyboard order of the last three runs against their screen order.
    QWidget::setTabOrder(bbWho, bbLastNukes);
    QWidget::setTabOrder(bbLastNukes, bbLastDirs);
    QWidget::setTabOrder(bbLastDirs, bbKillUser);
    InfoMemo = addMemo("InfoMemo", InfoSheet);

    // USER MAiNT
    UserSheet = makeSheet("UserSheet", QStringLiteral("USER MAiNT"));
    Panel2 = makePanel("Panel2", UserSheet, 73, false);
    Label3 = label("Label3", QStringLiteral("USER"), Panel2, QPoint(0, 8));
    UserList = editableCombo("UserList", Panel2, QRect(0, 24, 113, 25), 16);
    UserList->lineEdit()->setMaxLength(10);
    bbUserInfo = makeButton("bbUserInfo", QStringLiteral("GET iNFO"), Panel2, QRect(120, 8, 75, 25));
    bbSetFlags = makeButton("bbSetFlags", QStringLiteral("SET FLAGS"), Panel2, QRect(120, 40, 75, 25));
    bbModifyUser = makeButton("bbModifyUser", QStringLiteral("MODiFY"), Panel2, QRect(199, 8, 75, 25));
    bbDeleteUser = makeButton("bbDeleteUser", QStringLiteral("DELETE"), Panel2, QRect(199, 40, 75, 25));
    bbGiveCredit = makeButton("bbGiveCredit", QStringLiteral("GiVE CREDiT"), Panel2, QRect(278, 8, 75, 25));
    bbTakeCredit = makeButton("bbTakeCredit", QStringLiteral("TAKE CREDiT"), Panel2, QRect(278, 40, 75, 25));
    bbNewUser = makeButton("bbNewUser", QStringLiteral("NEW USER"), Panel2, QRect(357, 8, 73, 57));
    bbKolvanes = makeButton("bbKolvanes", QStringLiteral("KOLVANES"), Panel2, QRect(435, 24, 70, 25));
    bbGroupOps = makeButton("bbGroupOps", QStringLiteral("GROUPOPS"), Panel2, QRect(512, 8, 70, 25));
    bbLeeches = makeButton("bbLeeches", QStringLiteral("LEECHES"), Panel2, QRect(512, 40, 70, 25));
    for (QPushButton* b : {bbUserInfo, bbSetFlags, bbModifyUser, bbDeleteUser, bbGiveCredit, bbTakeCredit})
        b->setEnabled(false);
    UserMemo = addMemo("UserMemo", UserSheet);

    // GROUP MAiNT
    GroupSheet = makeSheet("GroupSheet", QStringLiteral("GROUP MAiNT"));
    Panel1 = makePanel("Panel1", GroupSheet, 57, false);
    Label4 = label("Label4", QStringLiteral("GROUP"), Panel1, QPoint(0, 8));
    GroupList = editableCombo("GroupList", Panel1, QRect(0, 24, 121, 25), 8);
    bbListGroupUsers = makeButton("bbListGroupUsers", QStringLiteral("LiST USERS"), Panel1, QRect(128, 24, 78, 25));
    bbAddGroup = makeButton("bbAddGroup", QStringLiteral("ADD GROUP"), Panel1, QRect(208, 24, 78, 25));
    bbDelGroup = makeButton("bbDelGroup", QStringLiteral("DEL GROUP"), Panel1, QRect(288, 24, 78, 25));
    bbMoveUsers = makeButton("bbMoveUsers", QStringLiteral("MOVE USERS"), Panel1, QRect(368, 24, 78, 25));
    for (QPushButton* b : {bbListGroupUsers, bbDelGroup, bbMoveUsers})
        b->setEnabled(false);
    GroupMemo = addMemo("GroupMemo", GroupSheet);

    // FiLE MAiNT
    FileSheet = makeSheet("FileSheet", QStringLiteral("FiLE MAiNT"));
    Panel4 = makePanel("Panel4", FileSheet, 41, true);
    bbDeleteDir = makeButton("bbDeleteDir", QStringLiteral("DELETE"), Panel4, QRect(8, 8, 75, 25));
    bbNukeDir = makeButton("bbNukeDir", QStringLiteral("NUKE"), Panel4, QRect(88, 8, 75, 25));
    bbViewNfo = makeButton("bbViewNfo", QStringLiteral("ViEW NFO"), Panel4, QRect(168, 8, 75, 25));
    bbViewDiz = makeButton("bbViewDiz", QStringLiteral("ViEW DiZ"), Panel4, QRect(248, 8, 75, 25));
    bbTestZip = makeButton("bbTestZip", QStringLiteral("TEST ZiP"), Panel4, QRect(328, 8, 75, 25));
    bbViewZip = makeButton("bbViewZip", QStringLiteral("ViEW ZiP"), Panel4, QRect(408, 8, 75, 25));

    Splitter1 = new QSplitter(Qt::Vertical, FileSheet);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(4);
    Splitter1->setChildrenCollapsible(false);
    TreeView1 = new QTreeWidget(Splitter1);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setExpandsOnDoubleClick(false); // a double-click lists the directory instead
    TreeView1->setIconSize(QSize(16, 16));
    FileMemo = makeMemo("FileMemo", Splitter1);
    FileMemo->setMinimumHeight(50);
    Splitter1->addWidget(TreeView1);
    Splitter1->addWidget(FileMemo);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({1000, 75});
    FileSheet->layout()->addWidget(Splitter1);

    PageControl1->setCurrentWidget(StatusSheet);
}

void TMainForm::buildMenu()
{
    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    setMenuBar(MainMenu1);
    MnuMisc = MainMenu1->addMenu(QStringLiteral("&MiSC"));
    MnuMisc->setObjectName(QStringLiteral("MnuMisc"));
    mnuClearCommandList = MnuMisc->addAction(QStringLiteral("&Clear Command List"));
    mnuClearCommandList->setObjectName(QStringLiteral("mnuClearCommandList"));
    About1 = MnuMisc->addAction(QStringLiteral("&About..."));
    About1->setObjectName(QStringLiteral("About1"));
}

void TMainForm::connectHandlers()
{
    // Every handler runs inside run(): the error that ends it is shown, and the console goes on.
    on(mnuClearCommandList, &QAction::triggered, &TMainForm::mnuClearCommandListClick);
    on(About1, &QAction::triggered, &TMainForm::About1Click);
    on(SiteName, &QComboBox::activated, &TMainForm::SiteNameChange);
    on(bbSites, &QPushButton::clicked, &TMainForm::bbSitesClick);

    on(LogIn, &QAction::triggered, &TMainForm::LogInExecute);
    on(LogOut, &QAction::triggered, &TMainForm::LogOutExecute);
    on(RefreshData, &QAction::triggered, &TMainForm::PageControl1Change);
    on(NOOP, &QCheckBox::clicked, &TMainForm::NOOPClick);
    on(Timer1, &QTimer::timeout, &TMainForm::Timer1Timer);
    PageControl1->OnChanging = [this] { return PageControl1Changing(); };
    PageControl1->OnChange = [this] { run(&TMainForm::PageControl1Change); };
    on(CommandText->lineEdit(), &QLineEdit::textEdited, &TMainForm::CommandTextChange);
    on(CommandText, &QComboBox::activated, &TMainForm::CommandTextChange);
    on(bbExecute, &QPushButton::clicked, &TMainForm::bbExecuteClick);
    InfoMemo->viewport()->installEventFilter(this);
    UserMemo->viewport()->installEventFilter(this);

    on(bbWeekTop, &QPushButton::clicked, &TMainForm::bbWeekTopClick);
    on(bbGroupTop, &QPushButton::clicked, &TMainForm::bbGroupTopClick);
    on(bbUserTop, &QPushButton::clicked, &TMainForm::bbUserTopClick);
    on(bbWho, &QPushButton::clicked, &TMainForm::bbWhoClick);
    on(bbKillUser, &QPushButton::clicked, &TMainForm::bbKillUserClick);
    on(bbLastDirs, &QPushButton::clicked, &TMainForm::bbLastDirsClick);
    on(bbLastNukes, &QPushButton::clicked, &TMainForm::bbLastNukesClick);

    on(UserList->lineEdit(), &QLineEdit::textEdited, &TMainForm::UserListChange);
    on(UserList, &QComboBox::activated, &TMainForm::UserListChange);
    on(bbUserInfo, &QPushButton::clicked, &TMainForm::bbUserInfoClick);
    on(bbKolvanes, &QPushButton::clicked, &TMainForm::bbKolvanesClick);
    on(bbGroupOps, &QPushButton::clicked, &TMainForm::bbGroupOpsClick);
    on(bbLeeches, &QPushButton::clicked, &TMainForm::bbLeechesClick);
    on(bbModifyUser, &QPushButton::clicked, &TMainForm::bbModifyUserClick);
    on(bbNewUser, &QPushButton::clicked, &TMainForm::bbNewUserClick);
    on(bbSetFlags, &QPushButton::clicked, &TMainForm::bbSetFlagsClick);
    on(bbDeleteUser, &QPushButton::clicked, &TMainForm::bbDeleteUserClick);
    on(bbGiveCredit, &QPushButton::clicked, &TMainForm::bbGiveCreditClick);
    on(bbTakeCredit, &QPushButton::clicked, &TMainForm::bbTakeCreditClick);

    on(GroupList->lineEdit(), &QLineEdit::textEdited, &TMainForm::GroupListChange);
    on(GroupList, &QComboBox::activated, &TMainForm::GroupListChange);
    on(bbListGroupUsers, &QPushButton::clicked, &TMainForm::bbListGroupUsersClick);
    on(bbAddGroup, &QPushButton::clicked, &TMainForm::bbAddGroupClick);
    on(bbDelGroup, &QPushButton::clicked, &TMainForm::bbDelGroupClick);
    on(bbMoveUsers, &QPushButton::clicked, &TMainForm::bbMoveUsersClick);

    on(bbDeleteDir, &QPushButton::clicked, &TMainForm::bbDeleteDirClick);
    on(bbNukeDir, &QPushButton::clicked, &TMainForm::bbNukeDirClick);
    on(bbViewNfo, &QPushButton::clicked, &TMainForm::bbViewNfoClick);
    on(bbViewDiz, &QPushButton::clicked, &TMainForm::bbViewDizClick);
    on(bbTestZip, &QPushButton::clicked, &TMainForm::bbTestZipClick);
    on(bbViewZip, &QPushButton::clicked, &TMainForm::bbViewZipClick);

    on(TreeView1, &QTreeWidget::itemDoubleClicked, &TMainForm::TreeView1DblClick);
    on(TreeView1, &QTreeWidget::currentItemChanged, &TMainForm::TreeView1Change);
    connect(TreeView1, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* node) { Guarded([&] { TreeView1Expanded(node); }); });
    connect(TreeView1, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* node) { Guarded([&] { TreeView1Collapsed(node); }); });

    // The client's events run inside its operations; nothing they do may unwind into the client.
    NMFTP1->OnConnect = [this](QObject*) { Guarded([this] { NMFTP1Connect(); }); };
    NMFTP1->OnDisconnect = [this](QObject*) { Guarded([this] { NMFTP1Disconnect(); }); };
    NMFTP1->OnStatus = [this](QObject*, const std::string&) { Guarded([this] { NMFTP1Status(); }); };
    NMFTP1->OnTransactionStop = [this](QObject*) { Guarded([this] { NMFTP1TransactionStop(); }); };
    NMFTP1->OnListItem = [this](const std::string& line) { Guarded([&] { NMFTP1ListItem(line); }); };
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick &&
        (watched == InfoMemo->viewport() || watched == UserMemo->viewport()))
        RefreshData->trigger();
    return QMainWindow::eventFilter(watched, event);
}

// ---- settings -------------------------------------------------------------------------------------------------

TSettingsStore& TMainForm::store()
{
    if (!SettingsStore)
        throw EStoreError(storeError_.isEmpty() ? std::string("The settings store is closed")
                                                : storeError_.toStdString());
    return *SettingsStore;
}

void TMainForm::FormCreate()
{
    // The FTP client's server kind starts undetected; the first parsed listing detects it.
    NMFTP1->Vendor = 2411;
    SplashClosed = false;
    PageControl1->setCurrentWidget(StatusSheet);
    SAP->SetKey(std::string(DiamondConsoleKey));

    try {
        auto opened = std::make_unique<TSettingsStore>(TSettingsStore::defaultPath());
        if (!opened->OpenKey(kProgramKey, true))
            throw EStoreError("The program key cannot be created in the settings store " + opened->path());
        SettingsStore = std::move(opened);
    } catch (const std::exception& e) {
        // The window still opens: the operator sees why, and nothing is ever written over the damaged store.
        storeError_ = ExceptionText(e);
        QTimer::singleShot(0, this, [this] { Prompts().ErrorBox(ErrorBoxText(storeError_)); });
    }
    if (SettingsStore)
        Guarded([this] { LoadSettings(); });
    UserNames.clear();
    GroupNames.clear();
}

void TMainForm::LoadSettings()
{
    TSettingsStore& settings = store();
    TSettingsStore::ValueList commands;
    settings.ReadSectionValues("Custom Commands", commands);
    for (const auto& [name, text] : commands)
        CommandText->addItem(Latin1ToQString(text));
    CommandText->setCurrentIndex(-1);
    CommandText->clearEditText();

    resize(settings.ReadInteger("Settings", "Width", 620), settings.ReadInteger("Settings", "Height", 460));
    const int lastSite = settings.ReadInteger("Settings", "LastSite", -1);

    SiteName->clear();
    SiteName->addItems(SiteBook::names(settings)); // leaves the store on the site book
    SiteName->setCurrentIndex(lastSite >= 0 && lastSite < SiteName->count() ? lastSite : -1);
    if (SiteName->currentIndex() >= 0)
        SiteNameChange();
}

void TMainForm::SiteNameChange()
{
    // The values go to the next log-in; a connection that is open keeps what it was opened with.
    const std::string site = SiteBook::keyName(SiteName->currentText());
    if (site.empty())
        return;
    TSettingsStore& settings = SiteBook::open(store());
    NMFTP1->Host = settings.ReadString(site, "HostName", "");
    NMFTP1->Port = settings.ReadInteger(site, "Port", 21);
    NMFTP1->UserID = settings.ReadString(site, "LogIn", "");
    NMFTP1->Password = SAP->DecipherString(settings.ReadString(site, "PassWord", ""));
    LogIn->setEnabled(true);
}

void TMainForm::bbSitesClick()
{
    if (SiteForm)
        SiteForm->exec();
}

void TMainForm::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    closing_ = true; // from here on a handler still unwinding ends quietly
    if (NMFTP1->Connected) {
        try {
            disconnectWithinQuitTimeout();
        } catch (...) {
            // Closing goes on whatever the daemon said; the settings still get saved.
        }
    }
    if (!SettingsStore)
        return; // the operator heard at start-up that this store cannot be used; nothing is written to it
    Guarded([this] {
        TSettingsStore& settings = store();
        settings.CloseKey();
        if (!settings.OpenKey(kProgramKey, false))
            throw EStoreError("The program key is missing from the settings store " + settings.path());
        // The history is rewritten whole or not at all: a crash half-way must not lose the stored commands.
        settings.transaction([&] {
            settings.EraseSection("Custom Commands");
            for (int i = 0; i < CommandText->count(); ++i) {
                const QString command = CommandText->itemText(i);
                if (!command.isEmpty())
                    settings.WriteString("Custom Commands", "Command" + std::to_string(i), QStringToLatin1(command));
            }
        });
        settings.CloseKey();
        if (!settings.OpenKey(kProgramKey, false))
            throw EStoreError("The program key is missing from the settings store " + settings.path());
        settings.WriteInteger("Settings", "Height", height());
        settings.WriteInteger("Settings", "Width", width());
        settings.WriteInteger("Settings", "LastSite", SiteName->currentIndex());
        settings.CloseKey();
    });
    SettingsStore.reset();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (clientBusy()) {
        // An operation waits further down: end its wait, and close once it has unwound.
        closing_ = true;
        NMFTP1->Cancel();
        NMFTP1->Abort();
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

// ---- start-up -------------------------------------------------------------------------------------------------

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (SplashClosed)
        return;
    // The splash stays above the main window until it goes, also where no window manager keeps it on top.
    if (splash_)
        splash_->raise();
    activateWindow();
    // Should no activation ever come (a display without a window manager), the splash still goes.
    QTimer::singleShot(3000, this, [this] { FormActivate(); });
}

void TMainForm::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TMainForm::FormActivate()
{
    if (SplashClosed || activating_)
        return;
    activating_ = true;
    if (splash_) {
        // The splash stays on top, still cycling its pictures, for two more seconds.
        PumpDelay(2000);
        splash_->hide();
        delete splash_;
        splash_ = nullptr;
    }
    SplashClosed = true;
    activating_ = false;
    const bool focused = focusWidget() == SiteName || !focusWidget();
    SiteName->setEnabled(false);
    SiteName->setEnabled(true);
    if (focused)
        SiteName->setFocus();
}

// ---- misc -----------------------------------------------------------------------------------------------------

void TMainForm::DisableSelectionButtons()
{
    for (QPushButton* b : {bbDelGroup, bbListGroupUsers, bbMoveUsers, bbDeleteUser, bbUserInfo, bbSetFlags,
                           bbModifyUser, bbGiveCredit, bbTakeCredit})
        b->setEnabled(false);
}

void TMainForm::mnuClearCommandListClick()
{
    // The text being typed stays; only the history goes.
    const QString text = CommandText->currentText();
    CommandText->clear();
    CommandText->setEditText(text);
}

void TMainForm::About1Click()
{
    TAboutForm about(this);
    about.exec();
}
