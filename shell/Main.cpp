#include "shell/Main.h"

#include "admin/Flags.h"
#include "art/Art.h"
#include "files/About.h"
#include "ftp/NMFtp.h"
#include "gui/Anchors.h"
#include "gui/Guard.h"
#include "gui/Look.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/PollLoop.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/PageControl.h"
#include "shell/ReplyText.h"
#include "shell/RunSites.h"
#include "shell/Splash.h"
#include "shell/UserPage.h"
#include "sitebook/BookTransfer.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"
#include "sitebook/TrustForm.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QStringListModel>
#include <QTimer>
#include <QVBoxLayout>

using namespace WidgetKit;

namespace {

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
    wait_ = new QLabel(this);
    wait_->setObjectName(QStringLiteral("StatusWait"));
    wait_->setContentsMargins(3, 0, 3, 0);
    addPermanentWidget(wait_);
}

QString TStatusBar::waitText() const
{
    return wait_->text();
}

void TStatusBar::setWaitText(const QString& text)
{
    wait_->setText(text);
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
    SetTrustDialog(&TTrustForm::ask); // the prompts service's trust question is the dialog of its own
    // The site book's master password is asked once per run, when a password sealed with it is first needed.
    SiteBook::setMasterPasswordAsker([](bool again) -> std::optional<std::string> {
        const QString answer = Prompts().Password(QStringLiteral("MASTER PASSWORD"),
                                                  again ? QStringLiteral("That is not the master password. The site "
                                                                         "book's master password:")
                                                        : QStringLiteral("The site book's master password:"));
        if (answer.isNull())
            return std::nullopt;
        return answer.toUtf8().toStdString();
    });
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
    // The master password's key lives as long as the console that was told it.
    SiteBook::forgetMasterPassword();
    // The dialogs go first: they use the store, the cipher and the client, which go with this window's members.
    delete SiteForm;
    SiteForm = nullptr;
    delete FlagForm;
    FlagForm = nullptr;
    // The client outlives the controls its events would write to; from here on it reports to nobody, and a
    // connection still open (the window was never closed) is dropped without waiting for a QUIT reply.
    NMFTP1->OnStatus = nullptr;
    NMFTP1->OnListItem = nullptr;
    NMFTP1->OnTransactionStop = nullptr;
    Session->setCertificateJudge(nullptr);
    Session->disconnect(this);
    if (NMFTP1->Connected)
        NMFTP1->TPowersock::Disconnect();
}

void TMainForm::run(void (TMainForm::*handler)())
{
    run([this, handler] { (this->*handler)(); });
}

void TMainForm::run(const std::function<void()>& handler)
{
    ++handlersRunning_;
    Guarded(
        [&] {
            try {
                handler();
                endSessionLog(QString());
            } catch (const std::exception& e) {
                const auto* own = dynamic_cast<const Exception*>(&e);
                if (!cancelNote_.isEmpty() && own && own->kind() == FailureKind::Cancelled) {
                    // The operator's CANCEL ended the handler: that is no error; STATUS says what it did (below).
                    endSessionLog(QString());
                    return;
                }
                endSessionLog(ExceptionText(e)); // a connection that ended in this handler ended for this error
                if (dynamic_cast<const EHintedError*>(&e))
                    throw;
                // An error the operator can act on goes out with the line that says what to check.
                std::string hint = errorHint(e);
                if (!own || hint.empty())
                    throw;
                throw EHintedError(own->message(), std::move(hint));
            }
        },
        [this] { return closing_; });
    if (--handlersRunning_ == 0 && !cancelNote_.isEmpty()) {
        // One line on STATUS for the operator's CANCEL, once the handler it ended has unwound (a dialog's sequence
        // says for itself which of its lines went).
        if (!NMFTP1->Connected)
            statusNote(cancelNote_ + QStringLiteral(": the connection to %1 is closed, so that a late answer cannot "
                                                    "pass for another")
                                         .arg(Session->siteName()));
        cancelNote_.clear();
    }
    if (closing_ && !clientBusy())
        QTimer::singleShot(0, this, &QWidget::close);
}

template <class Sender, class Signal>
void TMainForm::on(Sender* sender, Signal signal, void (TMainForm::*handler)())
{
    connect(sender, signal, this, [this, handler] { run(handler); });
}

template <class Sender, class Signal>
void TMainForm::operation(Sender* sender, Signal signal, void (TMainForm::*handler)())
{
    OperationGate.connect(sender, signal, this, [this, handler] { run(handler); });
}

bool TMainForm::clientBusy() const
{
    return NMFTP1->isBusy();
}

void TMainForm::disconnectWithinQuitTimeout()
{
    // The session's watchdog ends a wait for QUIT that the daemon never answers; the socket is closed whatever
    // happened.
    Session->quitTimeout = QuitTimeout;
    Session->logOut();
}

void TMainForm::setBusyCursor(bool busy)
{
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TMainForm::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("MainClient"));
    setCentralWidget(client);
    anchors_ = new TAnchors(client, kDesignClient);

    buildTopStrip(client);
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
    for (const auto& binding : {std::pair{bbLogin, LogIn}, std::pair{bbLogOut, LogOut}}) {
        QPushButton* button = binding.first;
        QAction* action = binding.second;
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

    Session = new TSiteSession(this);
    Session->setObjectName(QStringLiteral("Session"));
    Session->setCertificateJudge(this);
    NMFTP1 = &Session->client();
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
    // The pages come last: they are given the client, the gate and the status bar.
    buildPages();
    describeControls();
}

void TMainForm::describeControls()
{
    // What a newcomer reads when resting the mouse on a button, and what a screen reader calls each control.
    const std::pair<QAbstractButton*, const char*> tips[] = {
        {bbSites, "Open the site book: add, change or delete sites (host, port, log-in, password, security)"},
        {bbLogin, "Connect to the site chosen in SiTE NAME and log in"},
        {bbLogOut, LogOutTip},
        {bbExecute, "Send the SITE command typed in SiTE COMMAND (without the word SITE); the reply shows on the "
                    "STATUS page"},
        {NOOP, "Keep an idle connection open: the console sends NOOP now and then, so the site does not log you out"},
    };
    for (const auto& [control, tip] : tips)
        control->setToolTip(QString::fromUtf8(tip));

    Label1->setBuddy(SiteName);
    Label2->setBuddy(CommandText);
    SiteName->setToolTip(QStringLiteral("The site that LOGiN connects to"));
    CommandText->setToolTip(QStringLiteral("A SITE command without the word SITE (WHO, HELP, USER name); Enter or "
                                           "EXECUTE sends it, Up recalls the commands sent before"));
    StatusMemo->setAccessibleName(QStringLiteral("STATUS replies"));
    PageControl1->setAccessibleName(QStringLiteral("Pages"));
    nameControls(this);
}

void TMainForm::buildTopStrip(QWidget* client)
{
    Label1 = label(client, "Label1", QStringLiteral("SiTE NAME"), QPoint(8, 0));
    anchors_->place(Label1, Label1->geometry());

    SiteName = new QComboBox(client);
    SiteName->setObjectName(QStringLiteral("SiteName"));
    anchors_->place(SiteName, QRect(8, 16, 129, 25));

    bbSites = button(client, "bbSites", QStringLiteral("SiTES"), QRect(144, 16, 55, 25));
    bbLogin = button(client, "bbLogin", QStringLiteral("LOGiN"), QRect(200, 16, 55, 25));
    bbLogOut = button(client, "bbLogOut", QStringLiteral("LOGOUT"), QRect(256, 16, 55, 25));
    for (QPushButton* b : {bbSites, bbLogin, bbLogOut})
        anchors_->place(b, b->geometry());

    Label2 = label(client, "Label2", QStringLiteral("SiTE COMMAND"), QPoint(320, 0));
    anchors_->place(Label2, Label2->geometry());

    CommandText = editableList(client, "CommandText", QRect(320, 16, 185, 25)); // the history grows by EXECUTE only
    // Typing the first word of a SITE command offers the commands the console knows, and those the daemon's SITE
    // HELP named once the operator asked for it. Picking one puts it in the box; nothing is completed silently.
    // The words stay in sorted order: the ones a reply teaches are looked up and put in place by halving.
    commandWords_ = new QStringListModel(
        {QStringLiteral("ADDGROUP"), QStringLiteral("ADDIDENTD"), QStringLiteral("ADDUSER"),  QStringLiteral("CHFLAG"),
         QStringLiteral("CHGRP"),    QStringLiteral("CHLOGINS"),  QStringLiteral("CHPASS"),   QStringLiteral("CHRATIO"),
         QStringLiteral("DELGROUP"), QStringLiteral("DELIDENTD"), QStringLiteral("DELUSER"),  QStringLiteral("DIZ"),
         QStringLiteral("GIVE"),     QStringLiteral("GROUPS"),    QStringLiteral("GROUPTOP"), QStringLiteral("HELP"),
         QStringLiteral("KILL"),     QStringLiteral("NEW"),       QStringLiteral("NFO"),      QStringLiteral("NUKE"),
         QStringLiteral("NUKES"),    QStringLiteral("TAKE"),      QStringLiteral("USER"),     QStringLiteral("USERS"),
         QStringLiteral("USERTOP"),  QStringLiteral("WEEKTOP"),   QStringLiteral("WHO"),      QStringLiteral("ZIPCHK"),
         QStringLiteral("ZIPLIST")},
        this);
    CommandText->lineEdit()->setObjectName(QStringLiteral("CommandTextEdit"));
    auto* completer = new QCompleter(commandWords_, CommandText);
    completer->setObjectName(QStringLiteral("CommandCompleter"));
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    CommandText->setCompleter(completer);
    anchors_->place(CommandText, QRect(320, 16, 185, 25), TAnchors::Left | TAnchors::Top | TAnchors::Right);

    bbExecute = button(client, "bbExecute", QStringLiteral("EXECUTE"), QRect(511, 13, 75, 25));
    bbExecute->setEnabled(false);
    anchors_->place(bbExecute, bbExecute->geometry(), TAnchors::Top | TAnchors::Right);

    PageControl1 = new TPageControl(client);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    anchors_->place(PageControl1, QRect(4, 48, 590, 299), TAnchors::All);

    NOOP = checkBox(client, "NOOP", QStringLiteral("STAY ONLiNE"), QRect(496, 50, 97, 17));
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
    auto addMemo = [](const char* name, QWidget* sheet) {
        QPlainTextEdit* box = memo(sheet, name);
        sheet->layout()->addWidget(box);
        return box;
    };

    // STATUS
    StatusSheet = makeSheet("StatusSheet", QStringLiteral("STATUS"));
    StatusMemo = addMemo("StatusMemo", StatusSheet);

    // The pages own their controls and handlers; what they need of the window comes through this.
    const TPageContext context{*NMFTP1,
                               OperationGate,
                               [this](const std::function<void()>& handler) { run(handler); },
                               [this](const QString& text) { StatusBar1->setPanelText(3, text); },
                               [this](bool busy) { setBusyCursor(busy); },
                               [this] { cancelWait(); },
                               Lists,
                               DirItemCount,
                               ListUnderSelection,
                               [this]() -> const std::string& { return loginFolder(); },
                               ImageList1,
                               [this] { return FlagForm; }};

    // iNFO
    InfoSheet = new TInfoPage(context);
    PageControl1->addTab(InfoSheet, QStringLiteral("iNFO"));

    // USER MAiNT
    UserSheet = new TUserPage(context);
    PageControl1->addTab(UserSheet, QStringLiteral("USER MAiNT"));

    // GROUP MAiNT
    GroupSheet = new TGroupPage(context);
    PageControl1->addTab(GroupSheet, QStringLiteral("GROUP MAiNT"));

    // FiLE MAiNT
    FileSheet = new TFilePage(context);
    PageControl1->addTab(FileSheet, QStringLiteral("FiLE MAiNT"));

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
    mnuSessionLog = MnuMisc->addAction(QStringLiteral("&Session Log"));
    mnuSessionLog->setObjectName(QStringLiteral("mnuSessionLog"));
    mnuSessionLog->setCheckable(true);
    mnuSessionLog->setToolTip(QStringLiteral("Logs each log-in's conversation with the daemon to a file in ") +
                              TSessionLog::folder());
    mnuRunOnSites = MnuMisc->addAction(QStringLiteral("&Run on Sites..."));
    mnuRunOnSites->setObjectName(QStringLiteral("mnuRunOnSites"));
    mnuRunOnSites->setToolTip(QStringLiteral("Runs one SITE command on many sites of the book at once"));
    mnuExportSites = MnuMisc->addAction(QStringLiteral("&Export Sites..."));
    mnuExportSites->setObjectName(QStringLiteral("mnuExportSites"));
    mnuExportSites->setToolTip(QStringLiteral("Writes the site book to a file; the passwords go sealed under a "
                                              "passphrase you choose, or not at all"));
    mnuImportSites = MnuMisc->addAction(QStringLiteral("&Import Sites..."));
    mnuImportSites->setObjectName(QStringLiteral("mnuImportSites"));
    mnuImportSites->setToolTip(QStringLiteral("Adds the sites of an export or of a FileZilla sitemanager.xml to the "
                                              "site book"));
    mnuMasterPassword = MnuMisc->addAction(QStringLiteral("&Master Password..."));
    mnuMasterPassword->setObjectName(QStringLiteral("mnuMasterPassword"));
    mnuMasterPassword->setToolTip(QStringLiteral("Seals the site passwords that are not in the desktop's secret store "
                                                 "with a password of your own"));
    About1 = MnuMisc->addAction(QStringLiteral("&About..."));
    About1->setObjectName(QStringLiteral("About1"));
}

void TMainForm::connectHandlers()
{
    // Every handler runs inside run(): the error that ends it is shown, and the console goes on. The handlers that
    // start an operation on the connection go through the gate (operation), the others straight (on).
    on(mnuClearCommandList, &QAction::triggered, &TMainForm::mnuClearCommandListClick);
    on(mnuSessionLog, &QAction::triggered, &TMainForm::mnuSessionLogClick);
    on(mnuRunOnSites, &QAction::triggered, &TMainForm::mnuRunOnSitesClick);
    on(mnuExportSites, &QAction::triggered, &TMainForm::mnuExportSitesClick);
    on(mnuImportSites, &QAction::triggered, &TMainForm::mnuImportSitesClick);
    on(mnuMasterPassword, &QAction::triggered, &TMainForm::mnuMasterPasswordClick);
    on(About1, &QAction::triggered, &TMainForm::About1Click);
    on(SiteName, &QComboBox::activated, &TMainForm::SiteNameChange);
    on(bbSites, &QPushButton::clicked, &TMainForm::bbSitesClick);

    operation(LogIn, &QAction::triggered, &TMainForm::LogInExecute);
    on(LogOut, &QAction::triggered, &TMainForm::LogOutExecute); // during a wait it cancels the wait
    operation(RefreshData, &QAction::triggered, &TMainForm::PageControl1Change);
    on(NOOP, &QCheckBox::clicked, &TMainForm::NOOPClick);
    operation(Timer1, &QTimer::timeout, &TMainForm::Timer1Timer);
    PageControl1->OnChanging = [this] { return PageControl1Changing(); };
    PageControl1->OnChange =
        OperationGate.guard(PageControl1, PageControl1->objectName(), [this] { run(&TMainForm::PageControl1Change); });
    on(CommandText->lineEdit(), &QLineEdit::textEdited, &TMainForm::CommandTextChange);
    operation(CommandText->lineEdit(), &QLineEdit::returnPressed, &TMainForm::CommandTextEnter);
    CommandText->lineEdit()->installEventFilter(this);
    // The keys typed into the box reach the combo box first (its text field hands focus to it), so Up and Down are
    // taken there before the combo box would step through its list.
    CommandText->installEventFilter(this);
    // A click on EXECUTE while the completion list is open executes, as it would with no list open.
    WidgetKit::passClicksThroughCompletion(CommandText);
    on(CommandText, &QComboBox::activated, &TMainForm::CommandTextChange);
    operation(bbExecute, &QPushButton::clicked, &TMainForm::bbExecuteClick);
    InfoSheet->InfoMemo->viewport()->installEventFilter(this);
    UserSheet->UserMemo->viewport()->installEventFilter(this);

    // The session's and the client's events run inside their operations; nothing they do may unwind into them.
    connect(Session, &TSiteSession::loggedIn, this, [this] { Guarded([this] { NMFTP1Connect(); }); });
    connect(Session, &TSiteSession::disconnected, this, [this] { Guarded([this] { NMFTP1Disconnect(); }); });
    connect(Session, &TSiteSession::stateChanged, this,
            [this](TSiteSession::State state) { Guarded([&] { SessionStateChange(state); }); });
    connect(Session, &TSiteSession::awaiting, this,
            [this](const std::string& command) { Guarded([&] { NMFTP1Await(command); }); });
    connect(Session, &TSiteSession::traffic, this, [this](bool sent, const std::string& line) {
        // A refusal the daemon hangs up after is the reason the log gives for the disconnect.
        if (!sent && line.size() >= 3 && (line[0] == '4' || line[0] == '5'))
            lastRefusal_ = OemToQString(line);
    });
    connect(Session, &TSiteSession::reconnectCountdown, this, [this](int seconds, int attempt, int tries) {
        Guarded([&] { SessionReconnectCountdown(seconds, attempt, tries); });
    });
    connect(Session, &TSiteSession::reconnected, this, [this] { Guarded([this] { SessionReconnected(); }); });
    connect(Session, &TSiteSession::reconnectEnded, this,
            [this](const SessionFailure& failure) { Guarded([&] { SessionReconnectEnded(failure); }); });
    connect(Session, &TSiteSession::failed, this,
            [this](const SessionFailure& failure) { Guarded([&] { SessionFailed(failure); }); });
    // A certificate trusted always is pinned in the site's record before the log-in goes on; a pin that cannot be
    // kept refuses the certificate, and the operator hears why.
    Session->onPin = [this](const std::string& fingerprint) {
        bool pinned = false;
        Guarded([&] {
            SiteBook::pinCertificate(store(), Session->siteKey(), fingerprint);
            pinned = true;
        });
        if (!pinned)
            throw Exception("The certificate could not be pinned");
    };
    NMFTP1->OnStatus = [this](QObject*, const std::string&) { Guarded([this] { NMFTP1Status(); }); };
    NMFTP1->OnTransactionStop = [this](QObject*) {
        Guarded([this] {
            FileSheet->TreeView1->tree()
                .endListing(); // the listing's last entries join the tree before anyone sees its end
            NMFTP1TransactionStop();
        });
    };
    NMFTP1->OnListItem = [this](const std::string& line) { Guarded([&] { NMFTP1ListItem(line); }); };
    // A session log that cannot be written is said once in the run, after the handler that found out; the log-in
    // goes on without it.
    Session->log().onTrouble = [this](const QString& reason) {
        QTimer::singleShot(0, this, [reason] { Prompts().Notice(reason); });
    };
}

void TMainForm::showLogOutAsCancel(bool cancel, const QString& tip)
{
    bbLogOut->setText(cancel ? QStringLiteral("CANCEL") : QStringLiteral("LOGOUT"));
    bbLogOut->setToolTip(cancel ? tip : QString::fromUtf8(LogOutTip));
}

void TMainForm::NMFTP1Await(const std::string& command)
{
    if (!StatusBar1 || closed_)
        return;
    const bool waiting = !command.empty();
    if (waiting)
        awaitedCommand_ = command;
    StatusBar1->setWaitText(waiting && !Session->keepingAlive()
                                ? QStringLiteral("Waiting for %1...").arg(Latin1ToQString(MaskedLine(command)))
                                : QString());
    showLogOutAsCancel(waiting, QStringLiteral("Cancel the wait for the daemon's answer"));
    if (waiting != awaiting_) {
        awaiting_ = waiting;
        setBusyCursor(waiting);
    }
}

TrustAnswer TMainForm::judge(const std::string& siteKey, const std::string& where, const TCertificateInfo& info)
{
    TrustAnswer verdict = TrustAnswer::Refuse;
    Guarded([&] {
        TTrustQuestion question;
        question.site = QString::fromUtf8(siteKey.data(), qsizetype(siteKey.size()));
        question.host = Latin1ToQString(where);
        verdict = NMFTP1UntrustedCertificate(question, info);
    });
    return verdict;
}

TrustAnswer TMainForm::NMFTP1UntrustedCertificate(TTrustQuestion& question, const TCertificateInfo& info)
{
    question.problem = QString::fromStdString(info.problem);
    question.subject = QString::fromStdString(info.subject);
    question.issuer = QString::fromStdString(info.issuer);
    question.altNames = QString::fromStdString(info.subjectAltNames);
    question.notBefore = QString::fromStdString(info.notBefore);
    question.notAfter = QString::fromStdString(info.notAfter);
    question.fingerprint = QString::fromStdString(info.sha256Fingerprint);
    switch (Prompts().TrustCertificate(question)) {
    case TTrustAnswer::Refuse:
        break;
    case TTrustAnswer::ThisTime:
        return TrustAnswer::TrustOnce;
    case TTrustAnswer::Always:
        return TrustAnswer::TrustAlways; // the session pins it (onPin) before the log-in goes on
    }
    return TrustAnswer::Refuse;
}

void TMainForm::CreateDialogs()
{
    SiteForm = new TSiteForm([this]() -> TSettingsStore& { return store(); }, *SAP, this);
    connect(SiteForm, &TSiteForm::closed, this,
            [this](const QString& site) { Guarded([&] { SiteFormClosed(site); }); });
    FlagForm = new TFlagForm(
        *NMFTP1, OperationGate, [this] { return UserSheet->UserList->currentText(); }, this, [this] { cancelWait(); });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    const QCompleter* completer = CommandText->completer();
    if (event->type() == QEvent::KeyPress && (watched == CommandText->lineEdit() || watched == CommandText)) {
        if (!(completer && completer->popup() && completer->popup()->isVisible())) {
            bool taken = false;
            Guarded([&] { taken = CommandTextKey(static_cast<QKeyEvent*>(event)->key()); });
            if (taken)
                return true;
        }
    }
    if (event->type() == QEvent::MouseButtonDblClick &&
        (watched == InfoSheet->InfoMemo->viewport() || watched == UserSheet->UserMemo->viewport()))
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
        if (!SettingsLayout::openProgramKey(*opened, true))
            throw EStoreError("The program key cannot be created in the settings store " + opened->path());
        SettingsStore = std::move(opened);
    } catch (const std::exception& e) {
        // The window still opens: the operator sees why, and nothing is ever written over the damaged store.
        storeError_ = ExceptionText(e);
        QTimer::singleShot(0, this, [this] { Prompts().ErrorBox(ErrorBoxText(storeError_)); });
    }
    if (SettingsStore && SettingsStore->readOnly()) {
        // The operator made the file read-only: it is read, never written, and that is said once, now.
        const QString notice = QStringLiteral("The settings store %1 is read-only: the console reads it, but "
                                              "settings and custom commands will not be saved.")
                                   .arg(QString::fromStdString(SettingsStore->path()));
        QTimer::singleShot(0, this, [notice] { Prompts().Notice(notice); });
    }
    if (SettingsStore)
        Guarded([this] { LoadSettings(); });
    UserNames.clear();
    GroupNames.clear();
}

void TMainForm::LoadSettings()
{
    TSettingsStore& settings = store();
    // A history written before passwords were masked in it loses them now; the close writes it back masked.
    for (const QString& command : SettingsLayout::readCommands(settings))
        CommandText->addItem(Latin1ToQString(MaskedCommand(QStringToLatin1(command))));
    CommandText->setCurrentIndex(-1);
    CommandText->clearEditText();

    QStringList notes;
    const SettingsLayout::WindowSettings window = SettingsLayout::readWindow(settings, &notes);
    resize(window.width, window.height);
    // The page boxes that have no bound of their own keep this many lines, the oldest going first.
    scrollBack_ = window.scrollBack;
    for (QPlainTextEdit* box : {StatusMemo, InfoSheet->InfoMemo, FileSheet->FileMemo})
        box->setMaximumBlockCount(scrollBack_);
    keepAlive_ = window.keepAlive; // within its bounds: its milliseconds fit the timer
    Timer1->setInterval(keepAlive_ * 1000);
    sayBoundsOnce(notes);
    mnuSessionLog->setChecked(window.sessionLog || sessionLogForced_);

    SiteName->clear();
    SiteName->addItems(SiteBook::names(settings));
    // The last site by its name where the store has one; a store an older console wrote has only its position.
    int last =
        window.lastSiteName.isEmpty() ? window.lastSite : SiteName->findText(window.lastSiteName, Qt::MatchFixedString);
    SiteName->setCurrentIndex(last >= 0 && last < SiteName->count() ? last : -1);
    if (SiteName->currentIndex() >= 0)
        SiteNameChange();
}

void TMainForm::SiteNameChange()
{
    const std::string site = SiteBook::keyName(SiteName->currentText());
    if (site.empty())
        return;
    if (NMFTP1->Connected || clientBusy()) {
        // A session is open (or opening): LOGiN stays off. Another site means leaving this one, which the operator
        // is asked about; the box keeps naming the site the session is with unless both are done.
        const QString current = QString::fromUtf8(loadedSite_.data(), qsizetype(loadedSite_.size()));
        LogIn->setEnabled(false);
        if (site == loadedSite_)
            return;
        const QString other = SiteName->currentText();
        if (!OperationGate.mayStart() ||
            !Prompts().Confirm(QStringLiteral("Log out of %1 and log in to %2?").arg(current, other))) {
            const QSignalBlocker quiet(SiteName);
            SiteName->setCurrentIndex(SiteName->findText(current, Qt::MatchExactly));
            return;
        }
        LogOutExecute();
        loadSite(site);
        LogInExecute();
        return;
    }
    loadSite(site);
}

void TMainForm::loadSite(const std::string& site)
{
    // The values go to the next log-in.
    const SiteBook::Record record = SiteBook::read(store(), *SAP, site);
    Session->setSite(site, record);
    Session->setReconnect(record.reconnect);
    loadedSite_ = site;
    LogIn->setEnabled(true);
    // STAY ONLiNE comes back as it was when the site was last used.
    NOOP->setChecked(SiteBook::stayOnline(store(), site));
    if (NOOP->isChecked())
        Timer1->start();
    else
        Timer1->stop();
    if (!record.boundsNote.empty())
        sayBoundsOnce({QString::fromStdString(record.boundsNote)});
    if (!record.passwordProblem.empty())
        throw Exception(record.passwordProblem); // the rest is loaded; the operator hears why the password is not
}

void TMainForm::sayBoundsOnce(const QStringList& notes)
{
    // A hand-edited value read within its bounds is said once in the run, after the handler that read it.
    QStringList fresh;
    for (const QString& note : notes)
        if (!boundsNoted_.contains(note))
            fresh << note;
    if (fresh.isEmpty())
        return;
    boundsNoted_ << fresh;
    QTimer::singleShot(0, this, [text = fresh.join(QLatin1Char('\n'))] { Prompts().Notice(text); });
}

bool TMainForm::hasSite() const
{
    return SiteName->currentIndex() >= 0;
}

void TMainForm::bbSitesClick()
{
    if (!SiteForm)
        return;
    SiteForm->openOn(SiteName->currentText()); // the sites as they are now, the chosen one shown
    SiteForm->exec();
}

void TMainForm::SiteFormClosed(const QString& site)
{
    // The box shows the site the dialog last saved or showed, and that site is the one LOGiN uses.
    SiteName->clear();
    SiteName->addItems(SiteBook::names(store()));
    SiteName->setCurrentIndex(SiteName->findText(site, Qt::MatchExactly));
    if (hasSite())
        SiteNameChange();
    else
        LogIn->setEnabled(false);
}

void TMainForm::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    closing_ = true; // from here on a handler still unwinding ends quietly
    disconnectReason_ = QStringLiteral("the console was closed");
    if (NMFTP1->Connected) {
        try {
            disconnectWithinQuitTimeout();
        } catch (...) {
            // Closing goes on whatever the daemon said; the settings still get saved.
        }
        // The window no longer follows the client's events, so the log is finished here.
        logPendingDisconnect_ = Session->log().running();
        endSessionLog(QString());
    }
    if (!SettingsStore || SettingsStore->readOnly())
        return; // the operator heard at start-up that this store cannot be used; nothing is written to it
    Guarded([this] {
        TSettingsStore& settings = store();
        QStringList commands;
        for (int i = 0; i < CommandText->count(); ++i)
            commands << Latin1ToQString(MaskedCommand(QStringToLatin1(CommandText->itemText(i))));
        SettingsLayout::writeCommands(settings, commands);
        SettingsLayout::writeWindow(settings,
                                    {height(), width(), SiteName->currentIndex(),
                                     SiteName->currentIndex() >= 0 ? SiteName->currentText() : QString(), scrollBack_,
                                     keepAlive_, mnuSessionLog->isChecked() && !sessionLogForced_});
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
    // The first activation's wait runs after Qt has finished delivering the activation, never inside it: the splash
    // it destroys may be the very window that activation is about.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !SplashClosed)
        QTimer::singleShot(0, this, [this] { FormActivate(); });
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
        splash_->deleteLater(); // gone once the event that is running now has been handled
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
    GroupSheet->disableSelectionButtons();
    UserSheet->disableSelectionButtons();
}

void TMainForm::mnuSessionLogClick()
{
    // Takes effect at the next log-in; a log already running goes on to the session's end. The operator's own
    // choice is kept, whatever the command line said.
    sessionLogForced_ = false;
}

void TMainForm::forceSessionLog()
{
    sessionLogForced_ = true;
    mnuSessionLog->setChecked(true);
}

void TMainForm::mnuMasterPasswordClick()
{
    TSettingsStore& settings = store();
    if (SiteBook::hasMasterPassword(settings))
        SiteBook::unlockMasterPassword(settings); // the current one first: a wrong one changes nothing
    const QString caption = QStringLiteral("MASTER PASSWORD");
    const QString first = Prompts().Password(
        caption, QStringLiteral("The new master password of the site book (empty: none). Where the desktop has no "
                                "secret store, it seals the site passwords; with neither, a stored password is only "
                                "obscured:"));
    if (first.isNull())
        return;
    if (Prompts().Password(caption, QStringLiteral("The new master password again:")) != first) {
        Prompts().Notice(QStringLiteral("The two master passwords differ: nothing was changed."));
        return;
    }
    SiteBook::setMasterPassword(settings, *SAP, first.toUtf8().toStdString());
    Prompts().Notice(first.isEmpty() ? QStringLiteral("The site book has no master password now: a password kept "
                                                      "outside the desktop's secret store is only obscured.")
                                     : QStringLiteral("The master password is set: the site passwords outside the "
                                                      "desktop's secret store are sealed with it."));
}

void TMainForm::mnuClearCommandListClick()
{
    // The text being typed stays; only the history goes.
    const QString text = CommandText->currentText();
    CommandText->clear();
    CommandText->setEditText(text);
}

void TMainForm::mnuRunOnSitesClick()
{
    if (!RunSitesForm) {
        RunSitesForm = new TRunSitesForm([this]() -> TSettingsStore& { return store(); }, *SAP, commandWords_, this);
        // A command run there joins this box's history, as one sent from here does.
        connect(RunSitesForm, &TRunSitesForm::commandRun, this, [this](const QString& command) {
            if (CommandText->count() == 0 || CommandText->itemText(CommandText->count() - 1) != command)
                CommandText->addItem(command);
        });
    }
    QStringList history;
    for (int i = 0; i < CommandText->count(); ++i)
        history << CommandText->itemText(i);
    RunSitesForm->openWith(history);
    RunSitesForm->show();
    RunSitesForm->raise();
    RunSitesForm->activateWindow();
}

void TMainForm::mnuExportSitesClick()
{
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("EXPORT SiTES"), QStringLiteral("kolvane-sites.json"),
                                     QStringLiteral("Kolvane site book (*.json)"));
    if (!path.isEmpty())
        exportSitesTo(path);
}

void TMainForm::exportSitesTo(const QString& path)
{
    const QString caption = QStringLiteral("EXPORT SiTES");
    const QString passphrase = Prompts().Password(
        caption, QStringLiteral("A passphrase to seal the passwords with (empty: the file holds no passwords):"));
    if (passphrase.isNull())
        return;
    if (!passphrase.isEmpty() && Prompts().Password(caption, QStringLiteral("The passphrase again:")) != passphrase) {
        Prompts().Notice(QStringLiteral("The two passphrases differ: nothing was written."));
        return;
    }
    const QByteArray file = BookTransfer::exportBook(store(), *SAP, {}, passphrase.toUtf8().toStdString());
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size() ||
        !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !out.commit())
        throw Exception("The file " + path.toStdString() + " cannot be written: " + out.errorString().toStdString());
    Prompts().Notice(QStringLiteral("The site book is in %1%2.")
                         .arg(path, passphrase.isEmpty() ? QStringLiteral(", without its passwords") : QString()));
}

void TMainForm::mnuImportSitesClick()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("IMPORT SiTES"), QString(),
        QStringLiteral("Site books (*.json *.xml);;Kolvane site book (*.json);;FileZilla site manager (*.xml)"));
    if (!path.isEmpty())
        importSitesFrom(path);
}

void TMainForm::importSitesFrom(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        throw Exception("The file " + path.toStdString() + " cannot be read: " + in.errorString().toStdString());
    const QByteArray file = in.readAll();
    QString passphrase;
    if (BookTransfer::needsPassphrase(file)) {
        passphrase = Prompts().Password(QStringLiteral("IMPORT SiTES"),
                                        QStringLiteral("The file's passphrase (empty: the sites come without their "
                                                       "passwords):"));
        if (passphrase.isNull())
            return;
    }
    // A site the book holds stays as it is: replacing one is for kolvane-site import --replace.
    const BookTransfer::Report report =
        BookTransfer::importBook(store(), *SAP, file, passphrase.toUtf8().toStdString(), false);
    const QString chosen = SiteName->currentText();
    SiteName->clear();
    SiteName->addItems(SiteBook::names(store()));
    SiteName->setCurrentIndex(SiteName->findText(chosen));
    QStringList text{QStringLiteral("%1 sites added.").arg(report.added)};
    if (!report.skipped.isEmpty())
        text << QStringLiteral("Not imported:") << report.skipped;
    text << report.notes;
    Prompts().Notice(text.join(QLatin1Char('\n')));
}

void TMainForm::About1Click()
{
    TAboutForm about(this);
    about.exec();
}
