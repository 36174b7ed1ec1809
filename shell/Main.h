#pragma once

#include "gui/OperationGate.h"
#include "session/SessionLog.h"
#include "session/SiteSession.h"
#include "shell/ListGatherer.h"

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QStatusBar>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QMenuBar;
class QMouseEvent;
class QPlainTextEdit;
class QPushButton;
class QTimer;

class TAnchors;
class TDiamond;
class TFilePage;
class TFlagForm;
class TGroupPage;
class TInfoPage;
class TNMFTP;
class TPageControl;
class TRunSitesForm;
class TSettingsStore;
class TSiteForm;
class TSiteSession;
class TSplashScreen;
class TUserPage;
struct CertificateInfo;
using TCertificateInfo = CertificateInfo;
struct TTrustQuestion;

// The status bar with its three panels: 1 the connection ("OFFLINE"/"ONLINE"), 2 never written, 3 the messages.
class TStatusBar : public QStatusBar {
public:
    explicit TStatusBar(QWidget* parent);
    QString panelText(int panel) const; // 1-based, as the panels are numbered
    void setPanelText(int panel, const QString& text);
    // What the console waits for, at the bar's right end beside the three panels ("Waiting for SITE WHO...").
    QString waitText() const;
    void setWaitText(const QString& text);

private:
    QLabel* panels_[3];
    QLabel* wait_;
};

// The main window: the frame of the console and the view of its session with a site. It holds the session (whose
// client is NMFTP1), the cipher, the settings store and the reply router's shared state; the top strip, the STATUS
// page, the menu and the status bar are its members, named as documented. The four other pages (iNFO, USER MAiNT,
// GROUP MAiNT, FiLE MAiNT) are widgets of their own that own their controls and handlers; the window relays between
// them and the session: the router puts reply lines in their boxes, a tab click asks the page shown to refresh, a
// log-out or another site asks them to clear. The pages and the dialogs get what they need from it through their
// constructors and tell it what happened through signals; none of them knows this class.
class TMainForm : public QMainWindow, private TCertificateJudge {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The splash window that the first activation closes. Without one, the first activation waits for nothing.
    void setSplash(QWidget* splash) { splash_ = splash; }

    // ---- controls -----------------------------------------------------------------------------------------
    // Top strip
    QLabel* Label1;
    QComboBox* SiteName;
    QPushButton* bbSites;
    QPushButton* bbLogin;
    QPushButton* bbLogOut;
    QLabel* Label2;
    QComboBox* CommandText;
    QPushButton* bbExecute;
    QCheckBox* NOOP;
    TPageControl* PageControl1;
    TStatusBar* StatusBar1;

    // Pages: STATUS with its text box, and the four pages with their own controls
    QWidget* StatusSheet;
    TInfoPage* InfoSheet;
    TUserPage* UserSheet;
    TGroupPage* GroupSheet;
    TFilePage* FileSheet;
    QPlainTextEdit* StatusMemo;

    // Menu
    QMenuBar* MainMenu1;
    QMenu* MnuMisc;
    QAction* mnuClearCommandList;
    QAction* mnuSessionLog;     // on: each log-in's conversation is logged to a file of its own
    QAction* mnuRunOnSites;     // one SITE command on many sites of the book at once
    QAction* mnuExportSites;    // the site book to a file, passwords sealed under a passphrase or left out
    QAction* mnuImportSites;    // sites from an export or a FileZilla site manager file
    QAction* mnuMasterPassword; // sets the site book's master password
    QAction* About1;

    // Components without a window of their own
    QAction* LogIn;       // ActionList1
    QAction* LogOut;      // ActionList1
    QAction* RefreshData; // ActionList1
    QTimer* Timer1;
    // The session with the site: its client (NMFTP1), its state, the certificate decision and reconnecting. The
    // window is its view.
    TSiteSession* Session;
    TNMFTP* NMFTP1; // the session's client

    TDiamond* SAP;
    std::unique_ptr<TSettingsStore> SettingsStore;
    QList<QIcon> ImageList1; // the tree's node pictures: 0 closed folder, 1 open folder, 2 file, 3 link
    QList<QIcon> ImageList2; // the two menu pictures

    // ---- shared state -------------------------------------------------------------------------------------
    // The reply router's lists and their gathering live in a gatherer of their own; these are their names here.
    TListGatherer Lists;
    bool& GatheringUsers = Lists.GatheringUsers;
    bool& GatheringGroups = Lists.GatheringGroups;
    int& UserLineCount = Lists.UserLineCount;
    int& GroupCount = Lists.GroupCount;
    QStringList& UserNames = Lists.UserNames;
    QStringList& GroupNames = Lists.GroupNames;
    bool SplashClosed = false;
    // The FiLE MAiNT tree's listing state, reset by a log-in with the lists; the page reads and writes it through
    // its context.
    int DirItemCount = 0;
    bool ListUnderSelection = false;

    // One operation at a time: every handler that starts one is connected through this gate, the dialogs' too.
    TOperationGate OperationGate{[this] { return clientBusy(); }};

    // The dialogs made once at start-up, after the main window, in this order (CreateDialogs).
    TSiteForm* SiteForm = nullptr;
    TFlagForm* FlagForm = nullptr;
    void CreateDialogs();
    // The window that runs one command on many sites, made when first asked for.
    TRunSitesForm* RunSitesForm = nullptr;

    // The store, or EStoreError naming why it could not be opened.
    TSettingsStore& store();

    // ---- handlers -----------------------------------------------------------------------------------------
    // Start-up and settings (Main.cpp)
    void FormCreate();
    void FormActivate();
    void FormClose();
    void LoadSettings();
    void DisableSelectionButtons();
    void SiteNameChange();
    // Loads a site's record into the client for the next log-in.
    void loadSite(const std::string& site);
    // Says the notes of values read within their bounds, each once a run.
    void sayBoundsOnce(const QStringList& notes);
    // Whether the site box shows a site: LOGiN logs in to that site and to no other.
    bool hasSite() const;
    void bbSitesClick();
    // The site dialog closed after saving or showing this site (empty: none).
    void SiteFormClosed(const QString& site);
    void mnuClearCommandListClick();
    void mnuSessionLogClick();
    void mnuRunOnSitesClick();
    void mnuExportSitesClick();
    void mnuImportSitesClick();
    // What the two menu items do once the file is chosen.
    void exportSitesTo(const QString& path);
    void importSitesFrom(const QString& path);
    void mnuMasterPasswordClick();
    // The session log, switched on for this run whatever the setting (the command line's --log).
    void forceSessionLog();
    const TSessionLog& sessionLog() const { return Session->log(); }
    void About1Click();

    // Log-in, keep-alive, page refresh and custom commands (Session.cpp)
    void LogInExecute();
    void LogOutExecute();
    void NMFTP1Connect();
    // Empties what the pages hold about a site: a log-in to another site starts from clean pages.
    void clearSitePages();
    // Empties the user and group lists and the counters the page refresh goes by, as a log-out does.
    void clearLists();
    // A connection failure's text with the host, the port and the reason in plain words.
    std::string connectFailure(const std::string& message) const;
    // The client waits for this command's reply, or (empty) for nothing any more: the operator sees what is
    // awaited, the hourglass, and LOGOUT offering to cancel.
    void NMFTP1Await(const std::string& command);
    // The site's certificate does not verify: the operator may trust it, this time or always (then it is pinned in
    // the site's record).
    TrustAnswer NMFTP1UntrustedCertificate(TTrustQuestion& question, const TCertificateInfo& info);
    void NMFTP1Disconnect();
    // The session's state changed: LOGiN and LOGOUT say what can be done, panel 3 what is going on.
    void SessionStateChange(TSiteSession::State state);
    // Reconnecting after a drop while idle: the countdown on panel 3, and how it ended on STATUS.
    void SessionReconnectCountdown(int seconds, int attempt, int tries);
    void SessionReconnected();
    void SessionReconnectEnded(const SessionFailure& failure);
    void SessionFailed(const SessionFailure& failure);
    void NOOPClick();
    void Timer1Timer();
    bool PageControl1Changing();
    void PageControl1Change();
    void CommandTextChange();
    void bbExecuteClick();
    // The command box as a console: Enter executes, Up and Down walk the history (true when the key was taken).
    void CommandTextEnter();
    bool CommandTextKey(int key);

    // Reply routing and list gathering (Router.cpp)
    void NMFTP1Status();
    void NMFTP1TransactionStop();
    // A line for a page's box: kept back while more of the same reply is already at hand, then shown with the
    // lines after it in one edit of the box (showLines).
    void keepLine(QPlainTextEdit* box, const std::string& line);
    void showLines();
    // Adds the SITE command words the box does not know yet to the ones it completes: at most budget of them
    // (lowered by each one added; 0 once the list is full at MaxCommandWords).
    void learnCommands(const QStringList& words, int& budget);

    // A line of a listing the client parsed: its entry goes to the FiLE MAiNT tree (Router.cpp).
    void NMFTP1ListItem(const std::string& Listing);

    // The operator's CANCEL of the wait under way, from LOGOUT or from a dialog's sequence: the connection is
    // closed with it, and STATUS says so once the operation has unwound.
    void cancelWait();
    // Whether an operation of the client is waiting: then the gate holds off every handler that would start one.
    bool clientBusy() const;

    // How long a log-out or a close waits for the daemon's answer to QUIT before it drops the connection anyway.
    int QuitTimeout = 5000;
    // Logs out with QUIT, but never waits longer than QuitTimeout for the answer: the connection is closed then.
    void disconnectWithinQuitTimeout();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Runs a handler of this window inside Guarded: the error that ends it goes to the standard error box, unless
    // the window is closing, which is then finished once no operation waits any more.
    void run(void (TMainForm::*handler)());
    void run(const std::function<void()>& handler);
    // Finishes the session log of a connection that has ended, with the reason: the error given, else what ended
    // it (LOGOUT, CANCEL, closing), else the daemon's last refusal; nothing when no connection ended.
    void endSessionLog(const QString& error);
    int handlersRunning_ = 0;
    bool logPendingDisconnect_ = false;
    QString disconnectReason_;
    QString lastRefusal_;
    // The line that tells the operator what to check after this error; empty for an error with no such line.
    std::string errorHint(const std::exception& e) const;
    // The certificate question of the session, put to the operator.
    TrustAnswer judge(const std::string& siteKey, const std::string& where, const TCertificateInfo& info) override;
    // The site's password could not be had from where it is kept: asked for this log-in, or the log-in refused.
    void askMissingPassword();
    // One line on STATUS with the time: what happened to the connection while the operator looked elsewhere.
    void statusNote(const QString& text);
    QString cancelNote_;         // the operator's CANCEL ends the handler under way; STATUS then says this
    std::string awaitedCommand_; // the command whose reply the client waited for last
    // Tooltips and screen-reader names of the window's controls.
    void describeControls();
    static constexpr const char* LogOutTip = "Log out and close the connection to the site";
    // LOGOUT reads CANCEL (with what it cancels as its tip) while there is something to cancel, else LOGOUT.
    void showLogOutAsCancel(bool cancel, const QString& tip = QString());
    // Connects a handler that starts no operation on the connection.
    template <class Sender, class Signal>
    void on(Sender* sender, Signal signal, void (TMainForm::*handler)());
    // Connects a handler that starts an operation: through the gate, which holds it off while another one waits.
    template <class Sender, class Signal>
    void operation(Sender* sender, Signal signal, void (TMainForm::*handler)());
    void setBusyCursor(bool busy);
    // The folder this log-in started in, where the tree's root level stands: what PWD named ("/" for a refused or
    // unreadable reply), asked the first time the tree needs a path.
    const std::string& loginFolder();

    void buildControls();
    void buildTopStrip(QWidget* client);
    void buildPages();
    void buildMenu();
    void connectHandlers();

    QPointer<QWidget> splash_;
    TAnchors* anchors_ = nullptr;
    QString storeError_;
    bool activating_ = false;
    bool closing_ = false;
    bool closed_ = false;
    bool askingFolder_ = false;              // the log-in folder's PWD is under way
    std::optional<std::string> loginFolder_; // none until asked in this log-in
    bool awaiting_ = false;                  // a command's reply is awaited: the hourglass is on for it
    int helpWordsLeft_ = 0;            // the reply to SITE HELP is coming and may teach the command box this many words
    QPointer<QPlainTextEdit> keptBox_; // the box the lines kept back go to
    QStringList keptLines_;
    int historyAt_ = -1;
    int scrollBack_ = 10000; // lines the unbounded page boxes keep
    int keepAlive_ = 60; // seconds between two keep-alive NOOPs        // the history entry Up and Down have recalled,
                         // -1 for the line being typed
    class QStringListModel* commandWords_ = nullptr; // the SITE command words the command box completes
    std::string loadedSite_;                         // the key of the site last loaded into the client
    std::string loggedInSite_;                       // the key of the site of the last log-in
    bool lostOnline_ = false;                        // the connection that just ended was logged in
    bool sessionLogForced_ = false;                  // --log: on for this run, the stored setting left as it was
    QStringList boundsNoted_; // the notes of stored values read within their bounds, said once a run
};
