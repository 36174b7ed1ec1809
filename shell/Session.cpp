// The main window's log-in and log-out, keep-alive, page refresh and custom commands.

#include "shell/Main.h"

#include "ftp/NMFtp.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/PageControl.h"
#include "shell/ReplyText.h"
#include "shell/UserPage.h"
#include "sitebook/SiteBook.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringListModel>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <string_view>

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
        // The attempt is over: the panel no longer claims to be connecting.
        if (!online)
            StatusBar1->setPanelText(3, QStringLiteral("Not connected to ") + SiteName->currentText());
    });
    disconnectReason_.clear();
    lastRefusal_.clear();
    if (loadedSite_ != loggedInSite_) {
        // Another site: nothing the pages hold is about it.
        clearSitePages();
        loggedInSite_ = loadedSite_;
    }
    PageControl1->setCurrentWidget(StatusSheet);
    StatusMemo->clear();
    StatusBar1->setPanelText(3, QStringLiteral("Connecting to ") + SiteName->currentText() + QStringLiteral("..."));
    // LOGOUT is the way out of a log-in that hangs: while the client waits, it cancels the wait.
    LogOut->setEnabled(true);
    if (mnuSessionLog->isChecked()) {
        // A log that cannot be written is said so; the log-in goes on without it.
        Guarded([this] {
            Session->log().start(SiteName->currentText());
            Session->log().note("Log-in to " + NMFTP1->Host + ":" + std::to_string(NMFTP1->Port) + " (site " +
                                SiteName->currentText().toStdString() + ")");
        });
    }
    loginFolder_.reset(); // the new log-in may start somewhere else
    if (NMFTP1->Port < 1 || NMFTP1->Port > 65535)
        throw EHintedError("The site's port " + std::to_string(NMFTP1->Port) +
                               " is not a TCP port: a port is a number from 1 to 65535",
                           "Set the site's port in SiTES.");
    askMissingPassword();
    try {
        Session->logIn();
    } catch (const ESockError& e) {
        throw ESockError(connectFailure(e.message()), e.kind()); // more words, the same kind of failure
    }
    UserLineCount = 0;
    DirItemCount = 0;
    ListUnderSelection = false;
}

void TMainForm::askMissingPassword()
{
    // A password kept where it cannot be had now (a secret store that does not answer, a master password not
    // given) is never replaced by an empty one: the daemon would only refuse it. It is asked for this log-in; the
    // record keeps it where it was.
    SiteBook::Record site = Session->site();
    if (site.passwordProblem.empty() || !site.password.empty())
        return;
    const QString name = Session->siteName();
    const QString password = Prompts().Password(QStringLiteral("PASSWORD"),
                                                QStringLiteral("%1.\n\nThe password of %2 for this log-in:")
                                                    .arg(QString::fromStdString(site.passwordProblem).trimmed(), name));
    if (password.isEmpty())
        throw Exception(site.passwordProblem + ". No password was typed, so the console did not log in");
    site.password = QStringToLatin1(password);
    Session->setSite(Session->siteKey(), site);
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

std::string TMainForm::errorHint(const std::exception& e) const
{
    // One line that says what to check, for the kinds of failure an operator can do something about; none for the
    // others.
    const auto* own = dynamic_cast<const Exception*>(&e);
    if (!own)
        return std::string();
    switch (own->kind()) {
    case FailureKind::TimedOut:
        return "Check that the daemon is running and answering; how long the console waits is the site's TiMEOUT "
               "in SiTES.";
    case FailureKind::Certificate:
        if (!Session->site().certificate.empty())
            return "The site's certificate has changed: compare the presented fingerprint with the one the site's "
                   "owner gives; only if they match, FORGET the pinned one in SiTES and log in again.";
        return "Compare the certificate's fingerprint with the one the site's owner gives, and trust it at the next "
               "log-in if they match.";
    case FailureKind::Tls:
        return "The daemon offers no TLS here, or not on this port: check the port and SECURiTY of the site in SiTES.";
    case FailureKind::Lookup:
    case FailureKind::Refused:
    case FailureKind::Unreachable:
        return "Check the host name and port of the site in SiTES, and that the daemon is running there.";
    case FailureKind::DaemonReply: {
        // The daemon's own words are all there is to tell a refusal for want of TLS from a wrong password.
        const std::string& message = own->message();
        const auto mentions = [&](std::string_view word) {
            return std::search(message.begin(), message.end(), word.begin(), word.end(), [](char a, char b) {
                       return std::toupper(static_cast<unsigned char>(a)) ==
                              std::toupper(static_cast<unsigned char>(b));
                   }) != message.end();
        };
        const int code = TPowersock::replyCode(message);
        if ((code == 530 || code == 534 || code == 503 || code == 550) && (mentions("TLS") || mentions("SSL")))
            return "The daemon wants TLS: set SECURiTY of the site in SiTES to Require explicit TLS (or Implicit TLS "
                   "on the daemon's TLS port).";
        if (code == 530)
            return "Check the log-in name and password of the site in SiTES.";
        return std::string();
    }
    case FailureKind::Other:
    case FailureKind::Cancelled:
    case FailureKind::Lost:
    case FailureKind::Line:
        break;
    }
    return std::string();
}

void TMainForm::endSessionLog(const QString& error)
{
    if (!logPendingDisconnect_) {
        // A log-in that never got a connection ends its log with the reason too.
        if (!error.isEmpty() && Session->log().running() && !NMFTP1->Connected) {
            Session->log().note(("Not connected: " + error.trimmed()).toStdString());
            Session->log().stop();
        }
        return;
    }
    logPendingDisconnect_ = false;
    QString reason = error;
    if (reason.isEmpty())
        reason = disconnectReason_;
    if (reason.isEmpty())
        reason = lastRefusal_;
    if (reason.isEmpty())
        reason = QStringLiteral("the daemon closed the connection");
    const bool lost = std::exchange(lostOnline_, false) && disconnectReason_.isEmpty();
    disconnectReason_.clear();
    lastRefusal_.clear();
    Session->log().note(("Disconnected: " + reason.trimmed()).toStdString());
    Session->log().stop();
    // A connection that ended without LOGOUT, CANCEL or a close is said on STATUS, whatever page shows, with its
    // reason and the time: the status bar turning OFFLINE is easily missed.
    if (lost && StatusMemo)
        StatusMemo->appendPlainText(
            QStringLiteral("Connection lost: %1 (%2)")
                .arg(reason.trimmed(), QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
}

void TMainForm::NMFTP1Connect()
{
    StatusBar1->setPanelText(1, QStringLiteral("ONLINE"));
    StatusBar1->setPanelText(3, QString());
    if (NOOP->isChecked())
        Timer1->start();
}

void TMainForm::clearSitePages()
{
    InfoSheet->clear();
    UserSheet->clear();
    GroupSheet->clear();
    FileSheet->clear();
    clearLists();
}

void TMainForm::clearLists()
{
    DisableSelectionButtons();
    UserLineCount = 0;
    UserNames.clear();
    GroupCount = 0;
    GroupNames.clear();
    UserSheet->clearList();
    GroupSheet->clearList();
    DirItemCount = 0;
}

void TMainForm::LogOutExecute()
{
    if (clientBusy()) {
        // Another operation waits (a daemon that stopped answering, say): end that wait instead.
        cancelWait();
        return;
    }
    if (Session->reconnecting()) {
        // CANCEL of a reconnect that counts down: the console stays offline.
        Session->cancel();
        return;
    }
    disconnectReason_ = QStringLiteral("logged out (LOGOUT)");
    setBusyCursor(true);
    Finally done([this] {
        setBusyCursor(false);
        LogOut->setEnabled(false);
        LogIn->setEnabled(hasSite());
        clearLists();
    });
    disconnectWithinQuitTimeout();
}

void TMainForm::cancelWait()
{
    // The connection goes with the wait, so that the daemon's late answer is never taken for the next command's.
    if (!clientBusy())
        return;
    disconnectReason_ = QStringLiteral("the wait was cancelled (CANCEL)");
    cancelNote_ = Session->state() == TSiteSession::State::Connecting
                      ? QStringLiteral("Cancelled the log-in to %1").arg(Session->siteName())
                      : QStringLiteral("Cancelled the wait for %1").arg(Latin1ToQString(MaskedLine(awaitedCommand_)));
    Session->cancel();
}

void TMainForm::NMFTP1Disconnect()
{
    if (!StatusBar1 || closed_)
        return;
    StatusBar1->setPanelText(1, QStringLiteral("OFFLINE"));
    lostOnline_ = Session->online(); // told before the session's state follows the end
    // The log says why the connection ended. While a handler runs, the error that ends it is the reason, and the
    // log is finished once that is known (endSessionLog); otherwise the reason is known now.
    logPendingDisconnect_ = true;
    if (handlersRunning_ == 0)
        endSessionLog(QString());
    // However the connection ended, the console is ready to log in again; the lists stay until a LOGOUT.
    LogIn->setEnabled(hasSite());
    LogOut->setEnabled(false);
    bbExecute->setEnabled(false);
}

void TMainForm::SessionStateChange(TSiteSession::State state)
{
    if (!StatusBar1 || closed_)
        return;
    // LOGiN is never usable while a session is opening or open; LOGOUT (CANCEL while waiting) then always is.
    const bool open = state != TSiteSession::State::Offline;
    if (open) {
        LogIn->setEnabled(false);
        LogOut->setEnabled(true);
    }
    if (state == TSiteSession::State::Connecting && Session->reconnecting()) {
        // A reconnect's log-in: the site's pages stay as they were; its conversation gets a log of its own.
        StatusBar1->setPanelText(3, QStringLiteral("Reconnecting to %1...").arg(Session->siteName()));
        if (mnuSessionLog->isChecked()) {
            Guarded([this] {
                Session->log().start(Session->siteName());
                Session->log().note("Reconnect to " + NMFTP1->Host + ":" + std::to_string(NMFTP1->Port));
            });
        }
    }
}

void TMainForm::statusNote(const QString& text)
{
    StatusMemo->appendPlainText(
        QStringLiteral("%1 (%2)").arg(text, QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
}

void TMainForm::SessionReconnectCountdown(int seconds, int attempt, int tries)
{
    if (!StatusBar1 || closed_)
        return;
    StatusBar1->setPanelText(3, QStringLiteral("Reconnecting to %1 in %2 s (%3 of %4)")
                                    .arg(Session->siteName())
                                    .arg(seconds)
                                    .arg(attempt)
                                    .arg(tries));
    // LOGOUT reads CANCEL while a reconnect counts down, and stops it; LOGiN logs in at once instead.
    showLogOutAsCancel(true, QStringLiteral("Stop reconnecting and stay offline"));
    LogOut->setEnabled(true);
    LogIn->setEnabled(hasSite());
}

void TMainForm::SessionReconnected()
{
    statusNote(QStringLiteral("Reconnected to %1").arg(Session->siteName()));
    UserLineCount = 0; // the pages stay; the next look at USER MAiNT asks the daemon again
}

void TMainForm::SessionReconnectEnded(const SessionFailure& failure)
{
    if (!StatusBar1 || closed_)
        return;
    showLogOutAsCancel(false);
    LogOut->setEnabled(NMFTP1->Connected);
    LogIn->setEnabled(hasSite() && !NMFTP1->Connected);
    StatusBar1->setPanelText(3, QStringLiteral("Not connected to ") + Session->siteName());
    if (failure.kind == FailureKind::Cancelled)
        statusNote(QStringLiteral("Reconnecting to %1 stopped (CANCEL)").arg(Session->siteName()));
    else
        statusNote(QStringLiteral("Reconnecting to %1 gave up after %2 tries: %3")
                       .arg(Session->siteName())
                       .arg(TSiteSession::ReconnectTries)
                       .arg(QString::fromStdString(failure.message)));
}

void TMainForm::SessionFailed(const SessionFailure& failure)
{
    // A reconnect's try that failed, or a keep-alive NOOP the daemon refused: said on STATUS, never in a box that
    // would stop the console while nobody watches.
    if (!StatusMemo || closed_)
        return;
    if (Session->reconnecting())
        statusNote(QStringLiteral("Reconnecting to %1 failed: %2")
                       .arg(Session->siteName(), QString::fromStdString(connectFailure(failure.message))));
    else if (NMFTP1->Connected)
        statusNote(QStringLiteral("STAY ONLiNE: %1").arg(QString::fromStdString(failure.message)));
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
    // A tick that falls inside another operation's wait is held off by the gate; the next one will send. The
    // session sends the NOOP only while logged in, and marks its exchange, which lands on no page: the operator
    // reading a page is not interrupted by the keep-alive.
    Session->keepAliveTick();
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
        UserSheet->refresh();
        GroupSheet->refresh();
    } else if (page == GroupSheet) {
        GroupSheet->refresh();
    } else if (page == FileSheet) {
        FileSheet->refresh();
    }
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
    std::string command = QStringToLatin1(CommandText->currentText());
    if (HidesPassword(command)) {
        // Recalled from the history, which keeps no password: it is typed again, or nothing goes.
        const QString password =
            Prompts().Password(QStringLiteral("PASSWORD"),
                               QStringLiteral("The history keeps no passwords. The password for\n%1:")
                                   .arg(Latin1ToQString(command.substr(0, command.size() - PasswordMask.size()))));
        if (password.isEmpty())
            return; // nothing goes; EXECUTE waits for the text to change, as after a refused command
        command = WithPassword(command, QStringToLatin1(password));
    }
    NMFTP1->SendCommand("SITE " + command);
    // The history keeps a command once when it is sent twice in a row, as a console's history does, and never a
    // password: a command that carries one is kept with it masked.
    const QString kept = Latin1ToQString(MaskedCommand(command));
    if (CommandText->count() == 0 || CommandText->itemText(CommandText->count() - 1) != kept)
        CommandText->addItem(kept);
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

void TMainForm::learnCommands(const QStringList& words, int& budget)
{
    // The list stays sorted: a word is looked up and put in its place by halving, and the completer hears of one
    // new row, not of a whole new list.
    for (const QString& word : words) {
        if (commandWords_->rowCount() >= MaxCommandWords)
            budget = 0;
        if (budget <= 0)
            return;
        int at = 0;
        {
            const QStringList known = commandWords_->stringList();
            const auto place = std::lower_bound(known.cbegin(), known.cend(), word);
            if (place != known.cend() && *place == word)
                continue;
            at = int(place - known.cbegin());
        }
        commandWords_->insertRows(at, 1);
        commandWords_->setData(commandWords_->index(at), word);
        --budget;
    }
}
