#pragma once

#include "gui/OperationGate.h"
#include "session/SiteSession.h"
#include "shell/StatusBar.h"

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class TAnchors;
class TDiamond;
class TFilePage;
class TFlagForm;
class TGroupPage;
class TInfoPage;
class TPageControl;
class TReplyRouter;
class TFleetWindows;
class TSettingsStore;
class TSiteForm;
class TUserPage;
struct TTrustQuestion;

// The main window: the frame of the console and the view of its session with a site. It holds the session (whose
// client NMFTP1 and keep-alive timer Timer1 it never touches), the reply router that listens to the session, the
// cipher and the settings store; its documented controls are public, everything else is its own. The four pages
// beside STATUS are widgets of their own that own their controls, handlers and state; the pages and the dialogs get
// what they need through their constructors and tell what happened through signals; none of them knows this class.
class TMainForm : public QMainWindow, private TCertificateJudge {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The splash window that the first activation closes, after a wait of two seconds (FormActivate).
    void setSplash(QWidget* splash) { splash_ = splash; }
    void FormActivate();
    // The dialogs made once at start-up, after the main window, in this order: the site dialog, the flags dialog.
    void CreateDialogs();
    // The session log, switched on for this run whatever the setting (the command line's --log).
    void forceSessionLog();
    // What the two menu items of the site book do once the file is chosen.
    void exportSitesTo(const QString& path);
    void importSitesFrom(const QString& path);
    // The session the window is a view of, and the gate every operation on it starts through.
    TSiteSession& session() { return *session_; }
    TOperationGate& operationGate() { return OperationGate_; }

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
    QWidget* StatusSheet;
    TInfoPage* InfoSheet;
    TUserPage* UserSheet;
    TGroupPage* GroupSheet;
    TFilePage* FileSheet;
    QPlainTextEdit* StatusMemo;
    QMenuBar* MainMenu1;
    QMenu* MnuMisc;
    QAction* mnuClearCommandList;
    QAction* mnuSessionLog;     // on: each log-in's conversation is logged to a file of its own
    QAction* mnuRunOnSites;     // one SITE command on many sites of the book at once
    QAction* mnuExportSites;    // the site book to a file, passwords sealed under a passphrase or left out
    QAction* mnuImportSites;    // sites from an export or a FileZilla site manager file
    QAction* mnuMasterPassword; // sets the site book's master password
    QAction* About1;
    QAction* LogIn;       // ActionList1
    QAction* LogOut;      // ActionList1
    QAction* RefreshData; // ActionList1

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Construction and handler plumbing (Main.cpp)
    void buildControls();
    void buildTopStrip(QWidget* client);
    void buildPages();
    void buildMenu();
    void describeControls();
    void connectHandlers();
    void connectSession();
    void FormCreate();
    // Runs a handler inside Guarded: its error goes to the error box in the failure's words (none while closing).
    void run(void (TMainForm::*handler)());
    void run(const std::function<void()>& handler);
    void runHandler(const std::function<void()>& handler);
    // Connects a handler that starts no operation on the connection, or (operation) one that does: through the gate.
    template <class Sender, class Signal>
    void on(Sender* sender, Signal signal, void (TMainForm::*handler)());
    template <class Sender, class Signal>
    void operation(Sender* sender, Signal signal, void (TMainForm::*handler)());
    void setBusyCursor(bool busy);
    void showLogOutAsCancel(bool cancel, const QString& tip = QString());
    // Settings, the site box and closing (WindowSettings.cpp)
    TSettingsStore& store(); // or EStoreError naming why it could not be opened
    void openStore();
    void LoadSettings();
    void placeOnScreen();
    void SiteNameChange();
    void loadSite(const std::string& site);
    void sayBoundsOnce(const QStringList& notes);
    bool hasSite() const;
    void bbSitesClick();
    void SiteFormClosed(const QString& site);
    void FormClose();
    // The menu (MenuCommands.cpp)
    void mnuClearCommandListClick();
    void mnuSessionLogClick();
    void mnuExportSitesClick();
    void mnuImportSitesClick();
    void mnuMasterPasswordClick();
    void About1Click();
    // Log-in and log-out, the session's events, page refresh (LogIn.cpp)
    void LogInExecute();
    void askMissingPassword();
    void LogOutExecute();
    void cancelWait();
    void clearSitePages();
    void clearLists();
    void NMFTP1Connect();
    void NMFTP1Disconnect();
    void NMFTP1Await(const std::string& command);
    void SessionStateChange(TSiteSession::State state);
    void SessionReconnectCountdown(int seconds, int attempt, int tries);
    void SessionReconnected();
    void SessionReconnectEnded(const SessionFailure& failure);
    void SessionFailed(const SessionFailure& failure);
    TrustAnswer judge(const std::string& siteKey, const std::string& where, const TCertificateInfo& info) override;
    TrustAnswer NMFTP1UntrustedCertificate(TTrustQuestion& question, const TCertificateInfo& info);
    // The error that ended a handler, in the failure's words with what to check on the line after.
    [[noreturn]] void raiseInFailureWords(const std::exception& e);
    // Finishes the log of a connection that ended: the error given, else LOGOUT, CANCEL, closing or a refusal.
    void endSessionLog(const QString& error);
    // One line on STATUS with the time: what happened while the operator looked elsewhere, or what a box said.
    void statusNote(const QString& text);
    void NOOPClick();
    bool PageControl1Changing();
    void PageControl1Change();
    // The command box (CommandBox.cpp)
    void buildCommandBox(QWidget* client);
    void CommandTextChange();
    void bbExecuteClick();
    void CommandTextEnter();
    bool CommandTextKey(int key);
    TSiteSession* session_;
    TReplyRouter* router_ = nullptr;
    TOperationGate OperationGate_{[this] { return session_->busy(); }};
    TDiamond* SAP_;
    std::unique_ptr<TSettingsStore> SettingsStore_;
    QList<QIcon> ImageList1_; // the tree's node pictures: 0 closed folder, 1 open folder, 2 file, 3 link
    TSiteForm* SiteForm_ = nullptr;
    TFlagForm* FlagForm_ = nullptr;
    TFleetWindows* fleet_ = nullptr; // Run on Sites and the windows beside it, each made when first asked for
    QPointer<QWidget> splash_;
    bool SplashClosed_ = false;
    TAnchors* anchors_ = nullptr;
    QString storeError_;
    bool activating_ = false, closing_ = false, closed_ = false;
    bool awaiting_ = false; // a command's reply is awaited: the hourglass is on for it
    int handlersRunning_ = 0;
    bool logPendingDisconnect_ = false;
    QString disconnectReason_, lastRefusal_; // why the connection ended, as the session log says
    QString cancelNote_;                     // the operator's CANCEL ends the handler under way; STATUS then says this
    std::string awaitedCommand_;             // the command whose reply the session waited for last
    int historyAt_ = -1;                     // the history entry Up and Down have recalled, -1 for the line being typed
    int scrollBack_ = 10000;                 // lines the unbounded page boxes keep
    int keepAlive_ = 60;                     // seconds between two keep-alive NOOPs
    std::string loadedSite_;                 // the key of the site last given to the session
    std::string loggedInSite_;               // the key of the site of the last log-in
    bool lostOnline_ = false;                // the connection that just ended was logged in
    bool sessionLogForced_ = false;          // --log: on for this run, the stored setting left as it was
    QStringList boundsNoted_;                // the notes of stored values read within their bounds, said once a run
};
