// The main window's menu: the command history, the session log, moving the site book in and out,
// the master password and the About box.

#include "shell/Main.h"

#include "files/About.h"
#include "gui/Prompts.h"
#include "platform/SettingsStore.h"
#include "shell/ReplyRouter.h"
#include "shell/SiteList.h"
#include "sitebook/BookTransfer.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QStringListModel>

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
    SiteBook::setMasterPassword(settings, *SAP_, first.toUtf8().toStdString());
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
    const QByteArray file = BookTransfer::exportBook(store(), *SAP_, {}, passphrase.toUtf8().toStdString());
    BookTransfer::writeFile(path, file); // written beside it and moved into place: a failed write keeps the old file
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
        BookTransfer::importBook(store(), *SAP_, file, passphrase.toUtf8().toStdString(), false);
    const QString chosen = SiteList::chosen(SiteName);
    SiteList::fill(SiteName, SiteBook::names(store()));
    SiteName->setCurrentIndex(SiteList::find(SiteName, chosen));
    Prompts().Notice(BookTransfer::reportLines(report).join(QLatin1Char('\n')));
}

void TMainForm::About1Click()
{
    TAboutForm about(this);
    about.exec();
}
