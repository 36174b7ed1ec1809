// The main window's log-in and log-out, what it shows of the session's events (its state, a wait, a lost
// connection, reconnecting, the certificate question), the failure's words in the error box, and the page refresh.

#include "shell/Main.h"

#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "platform/SettingsStore.h"
#include "session/FailureText.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/PageControl.h"
#include "shell/ReplyRouter.h"
#include "shell/UserPage.h"
#include "sitebook/SiteBook.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTime>

// ---- log-in and log-out ---------------------------------------------------------------------------------------

void TMainForm::LogInExecute()
{
    setBusyCursor(true);
    // Whether or not the log-in goes through, the title ends up the same way; the buttons say whether it did: a
    // failed log-in leaves LOGiN ready for the next try, as a lost connection does.
    Finally done([this] {
        setBusyCursor(false);
        const bool online = session_->online();
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
    // LOGOUT is the way out of a log-in that hangs: while the session waits, it cancels the wait.
    LogOut->setEnabled(true);
    const SiteBook::Record& site = session_->site();
    if (mnuSessionLog->isChecked()) {
        // A log that cannot be written is said so; the log-in goes on without it.
        Guarded([&] {
            session_->log().start(session_->siteName());
            session_->log().note("Log-in to " + site.host + ":" + std::to_string(site.portNumber()) + " (site " +
                                 session_->siteKey() + ")");
        });
    }
    if (site.portNumber() < 1 || site.portNumber() > 65535)
        throw EHintedError("The site's port " + std::to_string(site.portNumber()) +
                               " is not a TCP port: a port is a number from 1 to 65535",
                           "Set the site's port in SiTES.");
    askMissingPassword();
    session_->logIn();
    router_->lists().UserLineCount = 0;
    FileSheet->startOver();
}

void TMainForm::askMissingPassword()
{
    // A password kept where it cannot be had now (a secret store that does not answer, a master password not
    // given) is never replaced by an empty one: the daemon would only refuse it. It is asked for this log-in; the
    // record keeps it where it was.
    SiteBook::Record site = session_->site();
    if (site.passwordProblem.empty() || !site.password.empty())
        return;
    const QString name = session_->siteName();
    const QString password = Prompts().Password(QStringLiteral("PASSWORD"),
                                                QStringLiteral("%1.\n\nThe password of %2 for this log-in:")
                                                    .arg(QString::fromStdString(site.passwordProblem).trimmed(), name));
    if (password.isEmpty())
        throw Exception(site.passwordProblem + ". No password was typed, so the console did not log in");
    site.password = QStringToLatin1(password);
    session_->setSite(session_->siteKey(), site);
}

void TMainForm::raiseInFailureWords(const std::exception& e)
{
    const auto* own = dynamic_cast<const Exception*>(&e);
    if (!own || dynamic_cast<const EHintedError*>(&e)) {
        endSessionLog(ExceptionText(e)); // a connection that ended in this handler ended for this error
        throw;
    }
    // The session's record of its last failure knows more than the exception (the socket's reason, whether it
    // came while connecting): it is taken when it is this very failure.
    const SessionFailure& last = session_->lastFailure();
    const bool fromSession = last.failed() && last.message == own->message() && last.kind == own->kind();
    const FailureText text = failureText(fromSession ? last : sessionFailureOf(e), session_->site());
    endSessionLog(ExceptionText(Exception(text.message)));
    if (!text.hint.empty())
        throw EHintedError(text.message, text.hint); // the line that says what to check goes with it
    if (text.message != own->message())
        throw Exception(text.message, own->kind());
    throw;
}

void TMainForm::endSessionLog(const QString& error)
{
    if (!logPendingDisconnect_) {
        // A log-in that never got a connection ends its log with the reason too.
        if (!error.isEmpty() && session_->log().running() && !session_->connected()) {
            session_->log().note(("Not connected: " + error.trimmed()).toStdString());
            session_->log().stop();
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
    session_->log().note(("Disconnected: " + reason.trimmed()).toStdString());
    session_->log().stop();
    // A connection that ended without LOGOUT, CANCEL or a close is said on STATUS, whatever page shows, with its
    // reason and the time: the status bar turning OFFLINE is easily missed.
    if (lost && StatusMemo)
        statusNote(QStringLiteral("Connection lost: %1").arg(reason.trimmed()));
}

void TMainForm::NMFTP1Connect()
{
    StatusBar1->setPanelText(1, QStringLiteral("ONLINE"));
    StatusBar1->setPanelText(3, QString());
    if (NOOP->isChecked())
        session_->setKeepAlive(true); // the keep-alive counts from the log-in
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
    UserSheet->disableSelectionButtons();
    GroupSheet->disableSelectionButtons();
    TListGatherer& lists = router_->lists();
    lists.UserLineCount = 0;
    lists.UserNames.clear();
    lists.GroupCount = 0;
    lists.GroupNames.clear();
    UserSheet->clearList();
    GroupSheet->clearList();
    // The tree goes with the lists: no button acts on a folder of a connection that is gone.
    FileSheet->clearTree();
}

void TMainForm::LogOutExecute()
{
    if (session_->busy()) {
        // Another operation waits (a daemon that stopped answering, say): end that wait instead.
        cancelWait();
        return;
    }
    if (session_->reconnecting()) {
        // CANCEL of a reconnect that counts down: the console stays offline.
        session_->cancel();
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
    session_->logOut(); // within the QUIT time-out, whatever the daemon does
}

void TMainForm::cancelWait()
{
    // The connection goes with the wait, so that the daemon's late answer is never taken for the next command's.
    if (!session_->busy())
        return;
    disconnectReason_ = QStringLiteral("the wait was cancelled (CANCEL)");
    cancelNote_ = session_->state() == TSiteSession::State::Connecting
                      ? QStringLiteral("Cancelled the log-in to %1").arg(session_->siteName())
                      : QStringLiteral("Cancelled the wait for %1").arg(Latin1ToQString(MaskedLine(awaitedCommand_)));
    session_->cancel();
}

// ---- the session's events -------------------------------------------------------------------------------------

void TMainForm::NMFTP1Disconnect()
{
    if (!StatusBar1 || closed_)
        return;
    StatusBar1->setPanelText(1, QStringLiteral("OFFLINE"));
    lostOnline_ = session_->online(); // told before the session's state follows the end
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

void TMainForm::NMFTP1Await(const std::string& command)
{
    if (!StatusBar1 || closed_)
        return;
    const bool waiting = !command.empty();
    if (waiting)
        awaitedCommand_ = command;
    StatusBar1->setWaitText(waiting && !session_->keepingAlive()
                                ? QStringLiteral("Waiting for %1...").arg(Latin1ToQString(MaskedLine(command)))
                                : QString());
    showLogOutAsCancel(waiting, QStringLiteral("Cancel the wait for the daemon's answer"));
    if (waiting != awaiting_) {
        awaiting_ = waiting;
        setBusyCursor(waiting);
    }
}

void TMainForm::SessionStateChange(TSiteSession::State state)
{
    if (!StatusBar1 || closed_)
        return;
    // LOGiN is never usable while a session is opening or open; LOGOUT (CANCEL while waiting) then always is.
    if (state != TSiteSession::State::Offline) {
        LogIn->setEnabled(false);
        LogOut->setEnabled(true);
    }
    if (state == TSiteSession::State::Connecting && session_->reconnecting()) {
        // A reconnect's log-in: the site's pages stay as they were; its conversation gets a log of its own.
        StatusBar1->setPanelText(3, QStringLiteral("Reconnecting to %1...").arg(session_->siteName()));
        if (mnuSessionLog->isChecked()) {
            Guarded([this] {
                const SiteBook::Record& site = session_->site();
                session_->log().start(session_->siteName());
                session_->log().note("Reconnect to " + site.host + ":" + std::to_string(site.portNumber()));
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
                                    .arg(session_->siteName())
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
    statusNote(QStringLiteral("Reconnected to %1").arg(session_->siteName()));
    router_->lists().UserLineCount = 0; // the pages stay; the next look at USER MAiNT asks the daemon again
}

void TMainForm::SessionReconnectEnded(const SessionFailure& failure)
{
    if (!StatusBar1 || closed_)
        return;
    showLogOutAsCancel(false);
    LogOut->setEnabled(session_->online());
    LogIn->setEnabled(hasSite() && !session_->online());
    StatusBar1->setPanelText(3, QStringLiteral("Not connected to ") + session_->siteName());
    if (failure.kind == FailureKind::Cancelled)
        statusNote(QStringLiteral("Reconnecting to %1 stopped (CANCEL)").arg(session_->siteName()));
    else
        statusNote(QStringLiteral("Reconnecting to %1 gave up after %2 tries: %3")
                       .arg(session_->siteName())
                       .arg(TSiteSession::ReconnectTries)
                       .arg(ExceptionText(Exception(failureText(failure, session_->site()).message))));
}

void TMainForm::SessionFailed(const SessionFailure& failure)
{
    // A reconnect's try that failed, or a keep-alive NOOP the daemon refused: said on STATUS, never in a box that
    // would stop the console while nobody watches.
    if (!StatusMemo || closed_)
        return;
    const QString words = ExceptionText(Exception(failureText(failure, session_->site()).message));
    if (session_->reconnecting())
        statusNote(QStringLiteral("Reconnecting to %1 failed: %2").arg(session_->siteName(), words));
    else if (session_->online())
        statusNote(QStringLiteral("STAY ONLiNE: %1").arg(words));
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

// ---- keep-alive and page refresh ------------------------------------------------------------------------------

void TMainForm::NOOPClick()
{
    // The session's Timer1 sends the NOOPs, only while logged in and idle, and marks their exchange, which lands on
    // no page: the operator reading a page is not interrupted by the keep-alive.
    session_->setKeepAlive(NOOP->isChecked());
    // The site remembers the switch for the next time it is chosen.
    if (!loadedSite_.empty() && SettingsStore_ && !SettingsStore_->readOnly())
        SiteBook::setStayOnline(store(), loadedSite_, NOOP->isChecked());
}

bool TMainForm::PageControl1Changing()
{
    return session_->connected();
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
