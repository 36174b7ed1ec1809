// The main window's construction: its controls, the pages, the menu, the session it is a view of and the router
// that listens to it; how its handlers are connected and run; its start-up and its close.

#include "shell/Main.h"

#include "admin/Flags.h"
#include "art/Art.h"
#include "gui/Anchors.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/PollLoop.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/FleetWindows.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/PageControl.h"
#include "shell/ReplyRouter.h"
#include "shell/UserPage.h"
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
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringListModel>
#include <QTimer>
#include <QVBoxLayout>

using namespace WidgetKit;

namespace {

// The client area of the console as it is drawn: the top strip and the page control are placed in these
// coordinates, and stretch or keep to the right edge from there.
constexpr QSize kDesignClient(600, 351);

constexpr const char* LogOutTip = "Log out and close the connection to the site";

} // namespace

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
    connectSession();
    setMinimumSize(600, 400);
    resize(620, 460);
    FormCreate();
    placeOnScreen();
    SiteName->setFocus();
}

TMainForm::~TMainForm()
{
    // The master password's key lives as long as the console that was told it.
    SiteBook::forgetMasterPassword();
    SetErrorReader(this, nullptr);
    // The dialogs go first: they use the store, the cipher and the session, which go with this window's members.
    delete SiteForm_;
    SiteForm_ = nullptr;
    delete FlagForm_;
    FlagForm_ = nullptr;
    // The session outlives the controls its signals would write to: from here on it tells nobody, and a connection
    // still open (the window was never closed) is dropped without waiting for a QUIT reply.
    session_->setCertificateJudge(nullptr);
    session_->onPin = nullptr;
    session_->log().onTrouble = nullptr;
    QObject::disconnect(session_, nullptr, nullptr, nullptr);
    session_->abandon();
}

void TMainForm::run(void (TMainForm::*handler)())
{
    run([this, handler] { (this->*handler)(); });
}

void TMainForm::run(const std::function<void()>& handler)
{
    ++handlersRunning_;
    Guarded([&] { runHandler(handler); }, [this] { return closing_; });
    if (--handlersRunning_ == 0 && !cancelNote_.isEmpty()) {
        // One line on STATUS for the operator's CANCEL, once the handler it ended has unwound (a dialog's sequence
        // says for itself which of its lines went).
        if (!session_->connected())
            statusNote(cancelNote_ + QStringLiteral(": the connection to %1 is closed, so that a late answer cannot "
                                                    "pass for another")
                                         .arg(session_->siteName()));
        cancelNote_.clear();
    }
    if (closing_ && !session_->busy())
        QTimer::singleShot(0, this, &QWidget::close);
}

void TMainForm::runHandler(const std::function<void()>& handler)
{
    try {
        handler();
        endSessionLog(QString());
    } catch (const std::exception& e) {
        const auto* own = dynamic_cast<const Exception*>(&e);
        if (!cancelNote_.isEmpty() && own && own->kind() == FailureKind::Cancelled) {
            // The operator's CANCEL ended the handler: that is no error; STATUS says what it did (run).
            endSessionLog(QString());
            return;
        }
        raiseInFailureWords(e);
    }
}

template <class Sender, class Signal>
void TMainForm::on(Sender* sender, Signal signal, void (TMainForm::*handler)())
{
    connect(sender, signal, this, [this, handler] { run(handler); });
}

template <class Sender, class Signal>
void TMainForm::operation(Sender* sender, Signal signal, void (TMainForm::*handler)())
{
    OperationGate_.connect(sender, signal, this, [this, handler] { run(handler); });
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
    // The session with the site first: its client NMFTP1, its keep-alive Timer1, its state, the certificate decision
    // and reconnecting. The window is its view; the router puts what it says on the pages.
    session_ = new TSiteSession(this);
    session_->setObjectName(QStringLiteral("Session"));
    session_->setCertificateJudge(this);
    router_ = new TReplyRouter(*session_, this);

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

    SAP_ = new TDiamond(this);
    SAP_->setObjectName(QStringLiteral("SAP"));

    ImageList1_ = {QIcon(QStringLiteral(":/art/node0-folder-closed.png")),
                   QIcon(QStringLiteral(":/art/node1-folder-open.png")), QIcon(QStringLiteral(":/art/node2-file.png")),
                   QIcon(QStringLiteral(":/art/node3-link.png"))};
    const QList<QIcon> ImageList2 = {QIcon(QStringLiteral(":/art/menu0-clear.png")),
                                     QIcon(QStringLiteral(":/art/menu1-about.png"))};
    mnuClearCommandList->setIcon(ImageList2[0]);
    About1->setIcon(ImageList2[1]);
    // The pages come last: they are given the session, the gate, the router's lists and the status bar.
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
    buildCommandBox(client);

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
    // STATUS
    StatusSheet = new QWidget;
    StatusSheet->setObjectName(QStringLiteral("StatusSheet"));
    auto* layout = new QVBoxLayout(StatusSheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    PageControl1->addTab(StatusSheet, QStringLiteral("STATUS"));
    StatusMemo = memo(StatusSheet, "StatusMemo");
    layout->addWidget(StatusMemo);

    // The pages own their controls and handlers; what they need of the window comes through this.
    const TPageContext context{*session_,
                               OperationGate_,
                               [this](const std::function<void()>& handler) { run(handler); },
                               [this](const QString& text) { StatusBar1->setPanelText(3, text); },
                               [this](bool busy) { setBusyCursor(busy); },
                               [this] { cancelWait(); },
                               router_->lists(),
                               ImageList1_,
                               [this] { return FlagForm_; }};
    InfoSheet = new TInfoPage(context);
    PageControl1->addTab(InfoSheet, QStringLiteral("iNFO"));
    UserSheet = new TUserPage(context);
    PageControl1->addTab(UserSheet, QStringLiteral("USER MAiNT"));
    GroupSheet = new TGroupPage(context);
    PageControl1->addTab(GroupSheet, QStringLiteral("GROUP MAiNT"));
    FileSheet = new TFilePage(context);
    PageControl1->addTab(FileSheet, QStringLiteral("FiLE MAiNT"));
    PageControl1->setCurrentWidget(StatusSheet);

    router_->setPages({PageControl1, StatusSheet, StatusMemo, InfoSheet, UserSheet, GroupSheet, FileSheet,
                       [this](const QString& text) { StatusBar1->setPanelText(3, text); }});
}

void TMainForm::buildMenu()
{
    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    setMenuBar(MainMenu1);
    MnuMisc = MainMenu1->addMenu(QStringLiteral("&MiSC"));
    MnuMisc->setObjectName(QStringLiteral("MnuMisc"));
    const auto item = [this](QAction*& action, const char* name, const QString& text, const QString& tip) {
        action = MnuMisc->addAction(text);
        action->setObjectName(QString::fromLatin1(name));
        if (!tip.isEmpty())
            action->setToolTip(tip);
    };
    item(mnuClearCommandList, "mnuClearCommandList", QStringLiteral("&Clear Command List"), QString());
    item(mnuSessionLog, "mnuSessionLog", QStringLiteral("&Session Log"),
         QStringLiteral("Logs each log-in's conversation with the daemon to a file in ") + TSessionLog::folder());
    mnuSessionLog->setCheckable(true);
    item(mnuRunOnSites, "mnuRunOnSites", QStringLiteral("&Run on Sites..."),
         QStringLiteral("Runs one SITE command on many sites of the book at once"));
    item(mnuExportSites, "mnuExportSites", QStringLiteral("&Export Sites..."),
         QStringLiteral("Writes the site book to a file; the passwords go sealed under a passphrase you choose, or "
                        "not at all"));
    item(mnuImportSites, "mnuImportSites", QStringLiteral("&Import Sites..."),
         QStringLiteral("Adds the sites of an export or of a FileZilla sitemanager.xml to the site book"));
    item(mnuMasterPassword, "mnuMasterPassword", QStringLiteral("&Master Password..."),
         QStringLiteral("Seals the site passwords that are not in the desktop's secret store with a password of your "
                        "own"));
    item(About1, "About1", QStringLiteral("&About..."), QString());
    fleet_ = new TFleetWindows({this, [this]() -> TSettingsStore& { return store(); },
                                [this]() -> const TDiamond& { return *SAP_; }, router_->commandWords(),
                                [this] {
                                    QStringList history;
                                    for (int i = 0; i < CommandText->count(); ++i)
                                        history << CommandText->itemText(i);
                                    return history;
                                },
                                // A command run on many sites joins this box's history, as one sent from here does.
                                [this](const QString& command) {
                                    if (CommandText->count() == 0 ||
                                        CommandText->itemText(CommandText->count() - 1) != command)
                                        CommandText->addItem(command);
                                }},
                               MnuMisc, mnuRunOnSites, mnuExportSites);
}

void TMainForm::connectHandlers()
{
    // Every handler runs inside run(): the error that ends it is shown, and the console goes on. The handlers that
    // start an operation on the connection go through the gate (operation), the others straight (on).
    on(mnuClearCommandList, &QAction::triggered, &TMainForm::mnuClearCommandListClick);
    on(mnuSessionLog, &QAction::triggered, &TMainForm::mnuSessionLogClick);
    on(mnuExportSites, &QAction::triggered, &TMainForm::mnuExportSitesClick);
    on(mnuImportSites, &QAction::triggered, &TMainForm::mnuImportSitesClick);
    on(mnuMasterPassword, &QAction::triggered, &TMainForm::mnuMasterPasswordClick);
    on(About1, &QAction::triggered, &TMainForm::About1Click);
    on(SiteName, &QComboBox::activated, &TMainForm::SiteNameChange);
    on(bbSites, &QPushButton::clicked, &TMainForm::bbSitesClick);
    // ACROSS SiTES on USER MAiNT: Users Across Sites with the page's user picked.
    connect(UserSheet, &TUserPage::usersAcrossAsked, this,
            [this](const QString& user) { run([&] { fleet_->usersAcross(user); }); });

    operation(LogIn, &QAction::triggered, &TMainForm::LogInExecute);
    on(LogOut, &QAction::triggered, &TMainForm::LogOutExecute); // during a wait it cancels the wait
    operation(RefreshData, &QAction::triggered, &TMainForm::PageControl1Change);
    on(NOOP, &QCheckBox::clicked, &TMainForm::NOOPClick);
    PageControl1->OnChanging = [this] { return PageControl1Changing(); };
    PageControl1->OnChange =
        OperationGate_.guard(PageControl1, PageControl1->objectName(), [this] { run(&TMainForm::PageControl1Change); });
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
    // Every error box also leaves its words on STATUS, on one line, where they are still there to read once the
    // box is gone.
    SetErrorReader(this, [this](const QString& text) {
        QString line = text;
        for (QChar& c : line)
            if (c.unicode() < 32)
                c = QLatin1Char(' ');
        statusNote(line.trimmed());
    });
}

void TMainForm::connectSession()
{
    // The session's events run inside its operations; nothing done with them may unwind into them.
    TSiteSession* s = session_;
    connect(s, &TSiteSession::loggedIn, this, [this] { Guarded([this] { NMFTP1Connect(); }); });
    connect(s, &TSiteSession::disconnected, this, [this] { Guarded([this] { NMFTP1Disconnect(); }); });
    connect(s, &TSiteSession::stateChanged, this,
            [this](TSiteSession::State state) { Guarded([&] { SessionStateChange(state); }); });
    connect(s, &TSiteSession::awaiting, this,
            [this](const std::string& command) { Guarded([&] { NMFTP1Await(command); }); });
    connect(s, &TSiteSession::traffic, this, [this](bool sent, const std::string& line) {
        // A refusal the daemon hangs up after is the reason the log gives for the disconnect.
        if (!sent && line.size() >= 3 && (line[0] == '4' || line[0] == '5'))
            lastRefusal_ = OemToQString(line);
    });
    connect(s, &TSiteSession::reconnectCountdown, this, [this](int seconds, int attempt, int tries) {
        Guarded([&] { SessionReconnectCountdown(seconds, attempt, tries); });
    });
    connect(s, &TSiteSession::reconnected, this, [this] { Guarded([this] { SessionReconnected(); }); });
    connect(s, &TSiteSession::reconnectEnded, this,
            [this](const SessionFailure& failure) { Guarded([&] { SessionReconnectEnded(failure); }); });
    connect(s, &TSiteSession::failed, this,
            [this](const SessionFailure& failure) { Guarded([&] { SessionFailed(failure); }); });
    // A certificate trusted always is pinned in the site's record before the log-in goes on; a pin that cannot be
    // kept refuses the certificate, and the operator hears why.
    s->onPin = [this](const std::string& fingerprint) {
        bool pinned = false;
        Guarded([&] {
            SiteBook::pinCertificate(store(), session_->siteKey(), fingerprint);
            pinned = true;
        });
        if (!pinned)
            throw Exception("The certificate could not be pinned");
    };
    // A session log that cannot be written is said once in the run, after the handler that found out; the log-in
    // goes on without it.
    s->log().onTrouble = [this](const QString& reason) {
        QTimer::singleShot(0, this, [reason] { Prompts().Notice(reason); });
    };
}

void TMainForm::showLogOutAsCancel(bool cancel, const QString& tip)
{
    bbLogOut->setText(cancel ? QStringLiteral("CANCEL") : QStringLiteral("LOGOUT"));
    bbLogOut->setToolTip(cancel ? tip : QString::fromUtf8(LogOutTip));
}

void TMainForm::CreateDialogs()
{
    SiteForm_ = new TSiteForm([this]() -> TSettingsStore& { return store(); }, *SAP_, this);
    connect(SiteForm_, &TSiteForm::closed, this,
            [this](const QString& site) { Guarded([&] { SiteFormClosed(site); }); });
    FlagForm_ = new TFlagForm(
        *session_, OperationGate_, [this] { return UserSheet->UserList->currentText(); }, this,
        [this] { cancelWait(); });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && (watched == CommandText->lineEdit() || watched == CommandText)) {
        const QCompleter* completer = CommandText->completer();
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

void TMainForm::FormCreate()
{
    SplashClosed_ = false;
    PageControl1->setCurrentWidget(StatusSheet);
    SAP_->SetKey(std::string(DiamondConsoleKey));
    openStore();
    if (SettingsStore_)
        Guarded([this] { LoadSettings(); });
    router_->lists().UserNames.clear();
    router_->lists().GroupNames.clear();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (session_->busy()) {
        // An operation waits further down: end its wait, and close once it has unwound. A connection ended so is
        // no drop to come back from.
        closing_ = true;
        session_->setReconnect(false);
        session_->cancel();
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (SplashClosed_)
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
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !SplashClosed_)
        QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void TMainForm::FormActivate()
{
    if (SplashClosed_ || activating_)
        return;
    activating_ = true;
    if (splash_) {
        // The splash stays on top, still cycling its pictures, for two more seconds.
        PumpDelay(2000);
        splash_->hide();
        splash_->deleteLater(); // gone once the event that is running now has been handled
        splash_ = nullptr;
    }
    SplashClosed_ = true;
    activating_ = false;
    const bool focused = focusWidget() == SiteName || !focusWidget();
    SiteName->setEnabled(false);
    SiteName->setEnabled(true);
    if (focused)
        SiteName->setFocus();
}
