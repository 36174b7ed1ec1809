// The main window's settings: the store it keeps open, what it loads at start-up and saves at its close, where it
// stands on the screen, and the site box with the site it gives the session.

#include "shell/Main.h"

#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/Journal.h"
#include "shell/FilePage.h"
#include "shell/InfoPage.h"
#include "shell/SiteList.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <algorithm>

namespace {

// Why the change journal cannot be written, as a notice on the GUI thread once the console waits for nothing: a box
// that came up inside a wait would hold the reply up behind it.
void sayJournalTrouble(const QPointer<TMainForm>& form, const QString& text)
{
    if (!form)
        return;
    if (form->session().busy()) {
        QTimer::singleShot(200, form, [form, text] { sayJournalTrouble(form, text); });
        return;
    }
    Prompts().Notice(text);
}

} // namespace

TSettingsStore& TMainForm::store()
{
    if (!SettingsStore_)
        throw EStoreError(storeError_.isEmpty() ? std::string("The settings store is closed")
                                                : storeError_.toStdString());
    return *SettingsStore_;
}

void TMainForm::openStore()
{
    try {
        auto opened = std::make_unique<TSettingsStore>(TSettingsStore::defaultPath());
        if (!SettingsLayout::openProgramKey(*opened, true))
            throw EStoreError("The program key cannot be created in the settings store " + opened->path());
        SettingsStore_ = std::move(opened);
    } catch (const std::exception& e) {
        // The window still opens: the operator sees why, and nothing is ever written over the damaged store.
        storeError_ = ExceptionText(e);
        QTimer::singleShot(0, this, [this] { Prompts().ErrorBox(ErrorBoxText(storeError_)); });
    }
    if (SettingsStore_ && SettingsStore_->readOnly()) {
        // The operator made the file read-only: it is read, never written, and that is said once, now.
        const QString notice = QStringLiteral("The settings store %1 is read-only: the console reads it, but "
                                              "settings and custom commands will not be saved.")
                                   .arg(QString::fromStdString(SettingsStore_->path()));
        QTimer::singleShot(0, this, [notice] { Prompts().Notice(notice); });
    }
    // The change journal tells its trouble once in the run, on whichever thread met it (a run on many sites has
    // several); the operator hears it here, and the commands go on without it.
    const QPointer<TMainForm> self(this);
    TJournal::shared().setOnTrouble([self](const QString& reason) {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [self, reason] { sayJournalTrouble(self, reason); }, Qt::QueuedConnection);
    });
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
    session_->setKeepAliveInterval(keepAlive_);
    QString journalNote;
    TJournal::shared().setKeepDays(TJournal::keepDaysSetting(settings, &journalNote));
    if (!journalNote.isEmpty())
        notes << journalNote;
    sayBoundsOnce(notes);
    mnuSessionLog->setChecked(window.sessionLog || sessionLogForced_);

    SiteList::fill(SiteName, SiteBook::names(settings));
    // The last site by its name where the store has one; a store an older console wrote has only its position.
    int last = window.lastSiteName.isEmpty() ? window.lastSite : SiteList::find(SiteName, window.lastSiteName, true);
    SiteName->setCurrentIndex(last >= 0 && last < SiteName->count() ? last : -1);
    if (SiteName->currentIndex() >= 0)
        SiteNameChange();
}

void TMainForm::placeOnScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // A size remembered from a larger screen (or another scale) is fitted to this one, frame and title bar
    // included, and the window is centred there: its title bar is always within reach.
    const QRect desk = screen->availableGeometry();
    QMargins frame(geometry().left() - frameGeometry().left(), geometry().top() - frameGeometry().top(),
                   frameGeometry().right() - geometry().right(), frameGeometry().bottom() - geometry().bottom());
    // Before the window is shown its frame is not known yet: room is kept for a title bar and borders.
    if (frame.isNull())
        frame = QMargins(8, 32, 8, 8);
    const QSize room = desk.size().shrunkBy(frame);
    resize(std::max(minimumWidth(), std::min(width(), room.width())),
           std::max(minimumHeight(), std::min(height(), room.height())));
    QPoint at = desk.center() - QPoint(width() / 2, height() / 2);
    at.setX(std::max(at.x(), desk.left() + frame.left()));
    at.setY(std::max(at.y(), desk.top() + frame.top()));
    move(at);
}

void TMainForm::SiteNameChange()
{
    const std::string site = SiteBook::keyName(SiteList::chosen(SiteName));
    if (site.empty())
        return;
    if (session_->state() != TSiteSession::State::Offline) {
        // A session is open (or opening): LOGiN stays off. Another site means leaving this one, which the operator
        // is asked about; the box keeps naming the site the session is with unless both are done.
        const QString current = QString::fromUtf8(loadedSite_.data(), qsizetype(loadedSite_.size()));
        LogIn->setEnabled(false);
        if (site == loadedSite_)
            return;
        const QString other = SiteName->currentText();
        if (!OperationGate_.mayStart() ||
            !Prompts().Confirm(
                QStringLiteral("Log out of %1 and log in to %2?").arg(SiteBook::shownName(current), other))) {
            const QSignalBlocker quiet(SiteName);
            SiteName->setCurrentIndex(SiteList::find(SiteName, current));
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
    const SiteBook::Record record = SiteBook::read(store(), *SAP_, site);
    session_->setSite(site, record);
    session_->setReconnect(record.reconnect);
    loadedSite_ = site;
    LogIn->setEnabled(true);
    // STAY ONLiNE comes back as it was when the site was last used.
    NOOP->setChecked(SiteBook::stayOnline(store(), site));
    session_->setKeepAlive(NOOP->isChecked());
    if (!record.boundsNote.empty())
        sayBoundsOnce({QString::fromStdString(record.boundsNote)});
    // A password that is asked at each log-in is no trouble; one that cannot be had from where it is kept is said.
    if (!record.passwordProblem.empty() && !record.passwordAsked)
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
    if (!SiteForm_)
        return;
    SiteForm_->openOn(SiteList::chosen(SiteName)); // the sites as they are now, the chosen one shown
    SiteForm_->exec();
}

void TMainForm::SiteFormClosed(const QString& site)
{
    // The box shows the site the dialog last saved or showed, and that site is the one LOGiN uses.
    SiteList::fill(SiteName, SiteBook::names(store()));
    SiteName->setCurrentIndex(SiteList::find(SiteName, site));
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
    if (session_->connected()) {
        try {
            session_->logOut(); // within the QUIT time-out, whatever the daemon does
        } catch (...) {
            // Closing goes on whatever the daemon said; the settings still get saved.
        }
        // The window no longer follows the session's events, so the log is finished here.
        logPendingDisconnect_ = session_->log().running();
        endSessionLog(QString());
    }
    if (!SettingsStore_ || SettingsStore_->readOnly())
        return; // the operator heard at start-up that this store cannot be used; nothing is written to it
    Guarded([this] {
        TSettingsStore& settings = store();
        QStringList commands;
        for (int i = 0; i < CommandText->count(); ++i)
            commands << Latin1ToQString(MaskedCommand(QStringToLatin1(CommandText->itemText(i))));
        SettingsLayout::writeCommands(settings, commands);
        SettingsLayout::writeWindow(settings,
                                    {height(), width(), SiteName->currentIndex(), SiteList::chosen(SiteName),
                                     scrollBack_, keepAlive_, mnuSessionLog->isChecked() && !sessionLogForced_});
        settings.CloseKey();
    });
    SettingsStore_.reset();
}
