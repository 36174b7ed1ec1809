// kolvane-screenshots: the README's pictures of the console, taken from the real window. It starts quillon-sim on
// the demo's port (127.0.0.1:2121) with TLS, puts a site for it (its certificate pinned) in a site book of its own,
// opens the site dialog, logs in through the main window as an operator would, works each page a little and grabs
// it; last, it logs in with a wrong password and grabs the error box.
//
//   QT_QPA_PLATFORM=offscreen kolvane-screenshots <folder>
//
// The operator's own settings are never read: the run keeps its site book in a temporary folder.

#include "ftp/NMFtp.h"
#include "gui/Application.h"
#include "gui/ComboBox.h"
#include "gui/Look.h"
#include "gui/Prompts.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/UserPage.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"
#include "sitebook/Sites.h"
#include "sitebook/TrustForm.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace {

const QString SiteName = QStringLiteral("quillon-sim");
constexpr quint16 DemoPort = 2121; // where demo.sh runs its quillon-sim

// Nothing on the way may ask the operator anything: a question or an error box means the pictures would not show
// what the README says, so each one is reported and the run fails.
class Unattended : public TPrompts {
public:
    bool Confirm(const QString& text) override
    {
        complain(QStringLiteral("confirmation"), text);
        return false;
    }
    QString InputBox(const QString& caption, const QString&, const QString& defaultText) override
    {
        complain(QStringLiteral("input box"), caption);
        return defaultText;
    }
    void Notice(const QString& text) override { complain(QStringLiteral("notice"), text); }
    void ErrorBox(const QString& text) override
    {
        if (showError) {
            showError(text);
            return;
        }
        complain(QStringLiteral("error"), text);
    }
    // Expected once, for its picture (trustPicture set): answered "this time"; otherwise refused and reported.
    TTrustAnswer TrustCertificate(const TTrustQuestion& question) override;

    int complaints = 0;
    const QDir* trustPicture = nullptr; // where the trust question's picture goes
    // Set while the run makes an error happen on purpose: that error box is the real one.
    std::function<void(const QString&)> showError;

private:
    void complain(const QString& kind, const QString& text)
    {
        std::fprintf(stderr, "kolvane-screenshots: unexpected %s: %s\n", qPrintable(kind), qPrintable(text));
        ++complaints;
    }
};

// quillon-sim on the demo's port, so that the pictures show what the demo shows, with a certificate of its own.
class Daemon {
public:
    explicit Daemon(const QString& logPath)
    {
        process_.start(QStringLiteral(QUILLON_SIM_PATH), {QStringLiteral("--port"), QString::number(DemoPort),
                                                          QStringLiteral("--tls"), QStringLiteral("--log"), logPath});
        if (!process_.waitForStarted(10000))
            throw std::runtime_error("quillon-sim did not start: " QUILLON_SIM_PATH);
        // The first line names the port, the second the certificate's fingerprint.
        QByteArray said;
        const QDeadlineTimer deadline(10000);
        while (said.count('\n') < 2 && !deadline.hasExpired())
            if (process_.waitForReadyRead(100))
                said += process_.readAllStandardOutput();
        const QString text = QString::fromLatin1(said);
        port = QRegularExpression(QStringLiteral("listening on .*:(\\d+)")).match(text).captured(1).toUShort();
        fingerprint = QRegularExpression(QStringLiteral("certificate sha256 ([0-9A-F:]+)")).match(text).captured(1);
        if (port == 0 || fingerprint.isEmpty())
            throw std::runtime_error("quillon-sim said: " + text.toStdString() + "(is port " +
                                     std::to_string(DemoPort) + " taken, by a demo that runs, say?)");
    }

    ~Daemon()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    quint16 port = 0;
    QString fingerprint;

private:
    QProcess process_;
};

// The site as an operator would set it up: explicit TLS, passive mode, the daemon's certificate pinned.
void addSite(const Daemon& daemon)
{
    TSettingsStore store(TSettingsStore::defaultPath());
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    SiteBook::Record site = SiteBook::NewSite();
    site.host = "127.0.0.1";
    site.port = std::to_string(daemon.port);
    site.login = "siteop";
    site.password = "quillon";
    site.security = TFtpSecurity::ExplicitRequired;
    site.dataMode = TDataMode::Passive;
    site.certificate = daemon.fingerprint.toStdString();
    SiteBook::save(store, cipher, SiteBook::keyName(SiteName), site);
    SettingsLayout::writeLastSite(store, 0, SiteName);
}

void grab(QWidget* window, const QDir& folder, const char* name)
{
    QApplication::processEvents();
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (!window->grab().save(path, "PNG"))
        throw std::runtime_error("cannot write " + path.toStdString());
    std::printf("%s\n", qPrintable(path));
}

TTrustAnswer Unattended::TrustCertificate(const TTrustQuestion& question)
{
    if (!trustPicture) {
        complain(QStringLiteral("trust question"), question.fingerprint);
        return TTrustAnswer::Refuse;
    }
    TTrustForm dialog(question);
    dialog.show();
    grab(&dialog, *trustPicture, "trust-question.png");
    dialog.close();
    trustPicture = nullptr;
    return TTrustAnswer::ThisTime;
}

// The operator's pick from a drop-down list, which is what runs the box's handler.
void pick(QComboBox* box, const QString& text)
{
    const int index = box->findText(text);
    if (index < 0)
        throw std::runtime_error("no " + text.toStdString() + " in " + box->objectName().toStdString());
    box->setCurrentIndex(index);
    emit box->activated(index);
}

void clickTab(TMainForm& form, QWidget* page)
{
    QTabBar* bar = form.PageControl1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(form.PageControl1->indexOf(page)).center());
}

void type(QComboBox* box, const QString& text)
{
    box->setFocus();
    box->clearEditText();
    QTest::keyClicks(box, text);
}

void click(QTreeView* tree, const QModelIndex& node)
{
    tree->scrollTo(node);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(node).center());
}

void doubleClick(QTreeView* tree, const QModelIndex& node)
{
    click(tree, node);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(node).center());
}

// The node of that name under parent (the tree's top level for the invalid index).
QModelIndex node(const QTreeView* tree, const QModelIndex& parent, const QString& name)
{
    const QAbstractItemModel* model = tree->model();
    for (int i = 0; i < model->rowCount(parent); ++i)
        if (model->index(i, 0, parent).data().toString() == name)
            return model->index(i, 0, parent);
    throw std::runtime_error("the file area shows no " + name.toStdString());
}

void takePictures(TMainForm& form, const QDir& folder, Unattended& prompts)
{
    // The site dialog, opened with SiTES, showing the site the operator picks in it.
    QTimer::singleShot(0, &form, [&form, &folder] {
        auto* dialog = form.findChild<TSiteForm*>(QStringLiteral("SiteForm"));
        const int index = dialog->SiteName->findText(SiteName);
        dialog->SiteName->setCurrentIndex(index);
        emit dialog->SiteName->itemChosen(index);
        grab(dialog, folder, "site-dialog.png");
        dialog->bbExit->click();
    });
    form.bbSites->click();

    pick(form.SiteName, SiteName);
    form.bbLogin->click();
    if (!form.session().online())
        throw std::runtime_error("the log-in failed");

    // STATUS: the log-in dialogue, then a command typed in the command box (which sends it after "SITE ").
    type(form.CommandText, QStringLiteral("GROUPS"));
    form.bbExecute->click();
    grab(&form, folder, "status.png");

    clickTab(form, form.InfoSheet);
    form.InfoSheet->bbUserTop->click();
    grab(&form, folder, "info.png");

    clickTab(form, form.UserSheet);
    pick(form.UserSheet->UserList, QStringLiteral("siteop"));
    form.UserSheet->bbUserInfo->click();
    grab(&form, folder, "user-maint.png");

    clickTab(form, form.GroupSheet);
    pick(form.GroupSheet->GroupList, form.GroupSheet->GroupList->itemText(0));
    form.GroupSheet->bbListGroupUsers->click();
    grab(&form, folder, "group-maint.png");

    // FiLE MAiNT: a release opened in the tree, its NFO file selected.
    clickTab(form, form.FileSheet);
    const QPersistentModelIndex incoming = node(form.FileSheet->TreeView1, QModelIndex(), QStringLiteral("incoming"));
    doubleClick(form.FileSheet->TreeView1, incoming);
    const QPersistentModelIndex release =
        node(form.FileSheet->TreeView1, incoming, QStringLiteral("Some.Tool.v1.2-GRP"));
    doubleClick(form.FileSheet->TreeView1, release);
    const QAbstractItemModel* model = form.FileSheet->TreeView1->model();
    for (int i = 0; i < model->rowCount(release); ++i) {
        if (model->index(i, 0, release).data().toString().contains(QLatin1String(".nfo"), Qt::CaseInsensitive))
            click(form.FileSheet->TreeView1, model->index(i, 0, release));
    }
    grab(&form, folder, "file-maint.png");

    form.bbLogOut->click();

    // The question about a certificate that does not verify: the site's pin forgotten for one more log-in.
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        SiteBook::pinCertificate(store, SiteBook::keyName(SiteName), "");
    }
    pick(form.SiteName, SiteName);
    prompts.trustPicture = &folder;
    form.bbLogin->click();
    if (prompts.trustPicture)
        throw std::runtime_error("the certificate was not asked about");
    form.bbLogOut->click();
}

// An error as the operator sees it: a log-in refused for a wrong password, in the real error box.
void takeErrorPicture(TMainForm& form, Unattended& prompts, const Daemon& daemon, const QDir& folder)
{
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        SiteBook::Record site = SiteBook::read(store, cipher, SiteBook::keyName(SiteName));
        site.password = "wrong";
        site.certificate = daemon.fingerprint.toStdString();
        SiteBook::save(store, cipher, SiteBook::keyName(SiteName), site);
    }
    pick(form.SiteName, SiteName);
    bool shown = false;
    prompts.showError = [&](const QString& text) {
        QTimer::singleShot(0, &form, [&folder, &shown] {
            QWidget* box = QApplication::activeModalWidget();
            if (!box)
                return;
            box->adjustSize();
            grab(box, folder, "error.png");
            shown = true;
            box->close();
        });
        TDialogPrompts().ErrorBox(text);
    };
    form.bbLogin->click();
    prompts.showError = nullptr;
    if (!shown)
        throw std::runtime_error("the wrong password was not refused");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: QT_QPA_PLATFORM=offscreen %s <folder>\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));

    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kolvane"));
    ApplyConsoleLook(app);
    SetApplicationTitle(QStringLiteral("Kolvane"));
    Unattended prompts;
    SetPrompts(&prompts);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    try {
        if (!folder.exists())
            throw std::runtime_error("no folder " + folder.path().toStdString());
        Daemon daemon(config.filePath(QStringLiteral("quillon.log")));
        addSite(daemon);
        TMainForm form;
        form.CreateDialogs();
        form.show();
        if (!QTest::qWaitForWindowExposed(&form))
            throw std::runtime_error("the main window was never shown");
        takePictures(form, folder, prompts);
        takeErrorPicture(form, prompts, daemon, folder);
        form.close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kolvane-screenshots: %s\n", e.what());
        return 1;
    }
    return prompts.complaints == 0 ? 0 : 1;
}
