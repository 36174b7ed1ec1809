// The main window's log-in and log-out, keep-alive, page refresh and custom commands.

#include "shell/Main.h"

#include "ftp/NMFtp.h"
#include "gui/Finally.h"
#include "gui/Prompts.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "shell/PageControl.h"
#include "sitebook/SiteBook.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringListModel>
#include <QTimer>

#include <cctype>

// ---- log-in and log-out ---------------------------------------------------------------------------------------

void TMainForm::LogInExecute()
{
    setBusyCursor(true);
    // Whether or not the log-in goes through, the title ends up the same way; the buttons say whether it did: a
    // failed log-in leaves LOGiN ready for the next try, as a lost connection does.
    Finally done([this] {
        setBusyCursor(false);
        const bool online = NMFTP1->Connected;
        LogIn->setEnabled(!online && hasSite());
        LogOut->setEnabled(online);
        SetApplicationTitle(SiteName->currentText() + QStringLiteral(" ADMiN by Drummock"));
    });
    PageControl1->setCurrentWidget(StatusSheet);
    StatusMemo->clear();
    StatusBar1->setPanelText(3, QStringLiteral("Connecting to ") + SiteName->currentText() + QStringLiteral("..."));
    // LOGOUT is the way out of a log-in that hangs: while the client waits, it cancels the wait.
    LogOut->setEnabled(true);
    if (mnuSessionLog->isChecked()) {
        // A log that cannot be written is said so; the log-in goes on without it.
        Guarded([this] {
            sessionLog_.start(SiteName->currentText());
            sessionLog_.note("Log-in to " + NMFTP1->Host + ":" + std::to_string(NMFTP1->Port) + " (site " +
                             SiteName->currentText().toStdString() + ")");
        });
    }
    loginFolder_.reset(); // the new log-in may start somewhere else
    try {
        NMFTP1->Connect();
    } catch (const ESockError& e) {
        throw ESockError(connectFailure(e.message()));
    }
    UserLineCount = 0;
    DirItemCount = 0;
    ListUnderSelection = false;
}

std::string TMainForm::connectFailure(const std::string& message) const
{
    // The engine's own words stay first; the operator also reads where the console tried to go and why it could
    // not, in plain words.
    const std::string where = NMFTP1->Host + ":" + std::to_string(NMFTP1->Port);
    std::string reason;
    if (message == "Connection Failed" && NMFTP1->LastErrorNo != 0) {
        reason = NMFTP1->LookupErrorMessage(NMFTP1->LastErrorNo);
        reason = reason.substr(reason.find(':') + 1); // "10061:Connection refused" -> "Connection refused"
    } else if (message == "Connection Timed out") {
        reason = "no answer to the connection";
    } else if (message == "Null Remote Address" || message == "Host Lookup Failed") {
        return message + ": could not find the host " + NMFTP1->Host;
    } else if (message == "Host Lookup Timed Out") {
        return message + ": the host " + NMFTP1->Host + " was not found in time";
    } else {
        return message;
    }
    if (!reason.empty())
        reason[0] = char(std::tolower(static_cast<unsigned char>(reason[0])));
    return message + ": could not connect to " + where + (reason.empty() ? "" : ": " + reason);
}

const std::string& TMainForm::loginFolder()
{
    // Asked only when the tree first needs a path, so a log-in that never opens a folder sends nothing it did not
    // send before. Until then the tree has changed no directory: the daemon still stands where the log-in put it.
    if (loginFolder_)
        return *loginFolder_;
    std::optional<std::string> named;
    {
        askingFolder_ = true;
        Finally done([this] { askingFolder_ = false; });
        try {
            NMFTP1->SendCommand("PWD");
            if (NMFTP1->ReplyNumber == 257)
                named = TNMFTP::quotedDirectory(NMFTP1->TransactionReply);
        } catch (const FTPException&) {
            // A refused PWD names no folder; a lost connection or a cancel still ends the handler.
        }
    }
    if (!named || named->empty() || named->front() != '/')
        named = "/"; // no absolute path to build on: the root, as the tree always assumed
    while (named->size() > 1 && named->back() == '/')
        named->pop_back();
    loginFolder_ = std::move(named);
    return *loginFolder_;
}

void TMainForm::NMFTP1Connect()
{
    StatusBar1->setPanelText(1, QStringLiteral("ONLINE"));
    StatusBar1->setPanelText(3, QString());
    if (NOOP->isChecked())
        Timer1->start();
}

void TMainForm::LogOutExecute()
{
    if (clientBusy()) {
        // Another operation waits (a daemon that stopped answering, say): end that wait instead.
        NMFTP1->Cancel();
        NMFTP1->Abort();
        return;
    }
    setBusyCursor(true);
    Finally done([this] {
        setBusyCursor(false);
        LogOut->setEnabled(false);
        LogIn->setEnabled(hasSite());
        DisableSelectionButtons();
        UserLineCount = 0;
        UserNames.clear();
        GroupCount = 0;
        GroupNames.clear();
        UserList->clearEditText();
        UserList->clear();
        GroupList->clearEditText();
        GroupList->clear();
        DirItemCount = 0;
    });
    disconnectWithinQuitTimeout();
}

void TMainForm::NMFTP1Disconnect()
{
    if (!StatusBar1 || closed_)
        return;
    StatusBar1->setPanelText(1, QStringLiteral("OFFLINE"));
    sessionLog_.note("Disconnected");
    sessionLog_.stop();
    // However the connection ended, the console is ready to log in again; the lists stay until a LOGOUT.
    LogIn->setEnabled(hasSite());
    LogOut->setEnabled(false);
    bbExecute->setEnabled(false);
}

// ---- keep-alive -----------------------------------------------------------------------------------------------

void TMainForm::NOOPClick()
{
    if (NOOP->isChecked())
        Timer1->start();
    else
        Timer1->stop();
    // The site remembers the switch for the next time it is chosen.
    if (!loadedSite_.empty() && SettingsStore && !SettingsStore->readOnly())
        SiteBook::setStayOnline(store(), loadedSite_, NOOP->isChecked());
}

void TMainForm::Timer1Timer()
{
    // A tick that falls inside another operation's wait is held off by the gate; the next one will send. Its
    // exchange lands on no page: the operator reading a page is not interrupted by the keep-alive.
    if (!NMFTP1->Connected)
        return;
    keepingAlive_ = true;
    Finally done([this] { keepingAlive_ = false; });
    NMFTP1->SendCommand("NOOP");
}

// ---- page refresh ---------------------------------------------------------------------------------------------

bool TMainForm::PageControl1Changing()
{
    return NMFTP1->Connected;
}

void TMainForm::PageControl1Change()
{
    QWidget* page = PageControl1->currentWidget();
    if (page == UserSheet) {
        if (UserLineCount == 0)
            fetchUsers();
        if (GroupCount == 0)
            fetchGroups();
    } else if (page == GroupSheet) {
        if (GroupCount == 0)
            fetchGroups();
    } else if (page == FileSheet) {
        if (DirItemCount == 0)
            fetchDirectory();
    }
}

// The gathering flags and the cursor are put back however a fetch ends, so that a failed command leaves neither a
// gathering that would eat the next replies nor an hourglass behind.

void TMainForm::fetchUsers()
{
    setBusyCursor(true);
    StatusBar1->setPanelText(3, QStringLiteral("Gathering User data..."));
    Finally done([this] {
        GatheringUsers = false;
        setBusyCursor(false);
    });
    GatheringUsers = true;
    NMFTP1->SendCommand("SITE USERS"); // the router gathers the names while it runs
    GatheringUsers = false;
    replaceItems(UserList, UserNames);
}

void TMainForm::fetchGroups()
{
    setBusyCursor(true);
    StatusBar1->setPanelText(3, QStringLiteral("Gathering Group data..."));
    Finally done([this] {
        GatheringGroups = false;
        setBusyCursor(false);
    });
    NMFTP1->SendCommand("SITE GROUPS");
    GatheringGroups = false;
    replaceItems(GroupList, GroupNames);
    StatusBar1->setPanelText(3, QStringLiteral("Done..."));
}

void TMainForm::fetchDirectory()
{
    setBusyCursor(true);
    StatusBar1->setPanelText(3, QStringLiteral("Gathering Directory data..."));
    Finally done([this] { setBusyCursor(false); });
    if (!ListUnderSelection)
        TreeView1->clear(); // the first listing after a log-in builds the root level anew
    // The entries go below the node chosen now, whatever the operator clicks while they come.
    TreeView1->tree().startListing(ListUnderSelection ? TreeView1->currentIndex() : QModelIndex());
    NMFTP1->List();
    StatusBar1->setPanelText(3, QStringLiteral("Done..."));
}

void TMainForm::replaceItems(QComboBox* box, const QStringList& items)
{
    // The text in the box stays what the operator typed; only the list changes. The user box keeps its list sorted.
    const QString text = box->currentText();
    const QSignalBlocker quiet(box);
    box->clear();
    box->addItems(items);
    if (box == UserList)
        box->model()->sort(0);
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

void TMainForm::removeFirstNoCase(QStringList& list, const QString& name)
{
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list[i].compare(name, Qt::CaseInsensitive) == 0) {
            list.removeAt(i);
            return;
        }
    }
}

// A query of the user or group page: one command line; the router shows the reply.
void TMainForm::sendQuery(const std::string& command)
{
    NMFTP1->SendCommand(command);
}

// ---- custom commands ------------------------------------------------------------------------------------------

void TMainForm::CommandTextChange()
{
    if (NMFTP1->Connected) {
        bbExecute->setEnabled(true);
    } else {
        CommandText->clearEditText();
        Prompts().Notice(QStringLiteral("Login first you moron!"));
    }
}

void TMainForm::bbExecuteClick()
{
    bbExecute->setEnabled(false);
    PageControl1->setCurrentWidget(StatusSheet);
    const QString command = CommandText->currentText();
    NMFTP1->SendCommand("SITE " + QStringToLatin1(command));
    // The history keeps a command once when it is sent twice in a row, as a console's history does.
    if (CommandText->count() == 0 || CommandText->itemText(CommandText->count() - 1) != command)
        CommandText->addItem(command);
    CommandText->setCurrentIndex(-1);
    CommandText->clearEditText();
    historyAt_ = -1;
}

void TMainForm::CommandTextEnter()
{
    // Enter executes, as EXECUTE does: only when EXECUTE could be pressed.
    if (bbExecute->isEnabled())
        bbExecuteClick();
}

bool TMainForm::CommandTextKey(int key)
{
    // Up recalls the newest command first, Down walks back towards the empty line being typed.
    const int count = CommandText->count();
    if (count == 0 || (key != Qt::Key_Up && key != Qt::Key_Down))
        return false;
    if (key == Qt::Key_Up)
        historyAt_ = historyAt_ < 0 ? count - 1 : std::max(0, historyAt_ - 1);
    else if (historyAt_ >= 0)
        historyAt_ = historyAt_ + 1 < count ? historyAt_ + 1 : -1;
    else
        return true;
    CommandText->setEditText(historyAt_ < 0 ? QString() : CommandText->itemText(historyAt_));
    if (historyAt_ >= 0)
        CommandTextChange(); // a recalled command is a typed one: EXECUTE takes it, or the operator hears why not
    else
        bbExecute->setEnabled(false);
    return true;
}

void TMainForm::learnCommands(const QStringList& words)
{
    QStringList known = commandWords_->stringList();
    for (const QString& word : words)
        if (!known.contains(word))
            known << word;
    known.sort();
    commandWords_->setStringList(known);
}
