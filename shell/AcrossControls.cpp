// The Users Across Sites window's controls, where they stand and what they are wired to, and its choice of sites
// as the book has them.

#include "shell/AcrossForm.h"

#include "gui/Guard.h"
#include "gui/Look.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "shell/ReplyText.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QString& tip)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(tip);
    return button;
}

QLineEdit* makeEdit(QWidget* parent, const char* name, const QString& placeholder, const QString& tip)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    edit->setToolTip(tip);
    return edit;
}

QTableWidget* makeMatrix(QWidget* parent, const char* name, const QString& readAs)
{
    auto* table = new QTableWidget(parent);
    table->setObjectName(QLatin1String(name));
    table->setAccessibleName(readAs);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->hide();
    return table;
}

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

void TAcrossForm::buildControls()
{
    AcrossFolder = new QComboBox(this);
    AcrossFolder->setObjectName(QStringLiteral("AcrossFolder"));
    AcrossFolder->setToolTip(QStringLiteral("Every site of the book, or the sites of one folder and those below it"));
    AcrossSiteFilter = makeEdit(this, "AcrossSiteFilter", QStringLiteral("Filter by name or host"),
                                QStringLiteral("Only the sites whose name or host holds this text"));
    AcrossSiteFilter->setClearButtonEnabled(true);
    AcrossSiteFilter->setAccessibleName(QStringLiteral("Filter sites"));
    bbGather = makeButton(this, "bbGather", QStringLiteral("GATHER"),
                          QStringLiteral("Ask each chosen site for its users and groups (SITE USERS, SITE GROUPS)"));
    bbCancelAcross = makeButton(this, "bbCancelAcross", QStringLiteral("CANCEL"),
                                QStringLiteral("Stop every site that has not answered yet; what came is kept"));
    bbCancelAcross->setEnabled(false);
    AcrossChosen = new QLabel(this);
    AcrossChosen->setObjectName(QStringLiteral("AcrossChosen"));
    AcrossChosen->setWordWrap(true);

    AcrossNameFilter = makeEdit(this, "AcrossNameFilter", QStringLiteral("Filter by name"),
                                QStringLiteral("Only the users and groups whose name holds this text"));
    AcrossNameFilter->setClearButtonEnabled(true);
    AcrossTabs = new QTabWidget(this);
    AcrossTabs->setObjectName(QStringLiteral("AcrossTabs"));
    AcrossTabs->setAccessibleName(QStringLiteral("Users and groups by site"));
    UserMatrix = makeMatrix(this, "UserMatrix", QStringLiteral("Users by site"));
    UserMatrix->setToolTip(QStringLiteral("A row per user, a column per site; pick a user to see it on every site"));
    GroupMatrix = makeMatrix(this, "GroupMatrix", QStringLiteral("Groups by site"));
    GroupMatrix->setToolTip(QStringLiteral("A row per group, a column per site"));
    AcrossTabs->addTab(UserMatrix, QStringLiteral("USERS"));
    AcrossTabs->addTab(GroupMatrix, QStringLiteral("GROUPS"));
    GatherState = new QLabel(this);
    GatherState->setObjectName(QStringLiteral("GatherState"));
    GatherState->setWordWrap(true);

    AcrossUser = makeEdit(this, "AcrossUser", QStringLiteral("user"), QStringLiteral("The user to look at and change"));
    AcrossUser->setMaxLength(10); // as the USER box
    bbSideBySide = makeButton(this, "bbSideBySide", QStringLiteral("SiDE BY SiDE"),
                              QStringLiteral("Ask each gathered site for this user (SITE USER) and show the replies "
                                             "side by side"));
    UserReplies = makeMatrix(this, "UserReplies", QStringLiteral("The user's reply on each site"));
    UserReplies->setSelectionBehavior(QAbstractItemView::SelectItems);
    UserReplies->setToolTip(QStringLiteral("Each site's SITE USER reply; a line marked ≠ differs from the most "
                                           "common reply"));
    UserReplies->setFont(ConsoleFont()); // the daemon's lines as the pages show them
    RepliesState = new QLabel(this);
    RepliesState->setObjectName(QStringLiteral("RepliesState"));
    RepliesState->setWordWrap(true);

    AcrossChange = new QComboBox(this);
    AcrossChange->setObjectName(QStringLiteral("AcrossChange"));
    AcrossChange->setToolTip(QStringLiteral("What to change for the user on the gathered sites"));
    for (const Across::Change change : Across::Changes)
        AcrossChange->addItem(Across::changeName(change), int(change));
    AcrossMask = makeEdit(this, "AcrossMask", QStringLiteral("*@10.0.0.*"), QStringLiteral("The ident mask"));
    AcrossPassword = makeEdit(this, "AcrossPassword", QStringLiteral("password"), QStringLiteral("The password"));
    AcrossPassword->setEchoMode(QLineEdit::Password); // as the dialogs: not shown to whoever looks on
    AcrossGroup = WidgetKit::editableList(this, "AcrossGroup", QRect(0, 0, 145, 22));
    AcrossGroup->setToolTip(QStringLiteral("The group: one of those gathered, or typed"));
    AcrossAmount = makeEdit(this, "AcrossAmount", QStringLiteral("MB"), QStringLiteral("How many MB"));
    for (const Across::FlagName& flag : Across::flagNames()) {
        auto* box = new QCheckBox(QString::fromLatin1(flag.caption), this);
        box->setObjectName(QStringLiteral("AcrossFlag") + QLatin1String(flag.keyword));
        box->setToolTip(QStringLiteral("Ticked sends %1 YES, clear sends %1 NO, as SET FLAGS does")
                            .arg(QLatin1String(flag.keyword)));
        AcrossFlags.push_back(box);
    }
    bbPreviewChange = makeButton(this, "bbPreviewChange", QStringLiteral("PREViEW"),
                                 QStringLiteral("Show every line each site would be sent for the change, passwords "
                                                "hidden; nothing is sent until SEND"));
    AcrossPreview = WidgetKit::memo(this, "AcrossPreview");
    AcrossPreview->setReadOnly(true);
    AcrossPreview->setAccessibleName(QStringLiteral("The lines each site would be sent, or the reply of a site"));
    AcrossConfirmName = makeEdit(this, "AcrossConfirmName", QStringLiteral("the user's name"),
                                 QStringLiteral("Type the user's name to delete it from these sites"));
    bbSendChange = makeButton(this, "bbSendChange", QStringLiteral("SEND"),
                              QStringLiteral("Send the previewed lines to the sites named in the preview"));
    bbSendChange->setEnabled(false);
    bbCancelChange = makeButton(this, "bbCancelChange", QStringLiteral("CANCEL"),
                                QStringLiteral("Drop the previewed change; nothing is sent"));
    bbCancelChange->setEnabled(false);
    AcrossResults = new QTreeWidget(this);
    AcrossResults->setObjectName(QStringLiteral("AcrossResults"));
    AcrossResults->setHeaderLabels(
        {QStringLiteral("SiTE"), QStringLiteral("STATE"), QStringLiteral("TiME"), QStringLiteral("REPLY")});
    AcrossResults->setAccessibleName(QStringLiteral("The change's outcome by site"));
    AcrossResults->setRootIsDecorated(false);
    AcrossResults->header()->setStretchLastSection(true);
    AcrossState = new QLabel(this);
    AcrossState->setObjectName(QStringLiteral("AcrossState"));
    AcrossState->setWordWrap(true);

    auto labelled = [this](const QString& caption, QWidget* box) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(box);
        return label;
    };
    auto* siteRow = new QHBoxLayout;
    siteRow->addWidget(labelled(QStringLiteral("SiTES"), AcrossFolder));
    siteRow->addWidget(AcrossFolder);
    siteRow->addWidget(AcrossSiteFilter, 1);
    siteRow->addWidget(bbGather);
    siteRow->addWidget(bbCancelAcross);

    auto* left = new QWidget(this);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(labelled(QStringLiteral("NAMES"), AcrossNameFilter));
    nameRow->addWidget(AcrossNameFilter, 1);
    leftLayout->addLayout(nameRow);
    leftLayout->addWidget(AcrossTabs, 1);
    leftLayout->addWidget(GatherState);

    auto* right = new QWidget(this);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto* userRow = new QHBoxLayout;
    userRow->addWidget(labelled(QStringLiteral("USER"), AcrossUser));
    userRow->addWidget(AcrossUser);
    userRow->addWidget(bbSideBySide);
    userRow->addStretch(1);
    rightLayout->addLayout(userRow);
    rightLayout->addWidget(UserReplies, 2);
    rightLayout->addWidget(RepliesState);
    auto* changeGrid = new QGridLayout;
    changeGrid->addWidget(labelled(QStringLiteral("CHANGE"), AcrossChange), 0, 0);
    changeGrid->addWidget(AcrossChange, 0, 1, 1, 3);
    changeGrid->addWidget(bbPreviewChange, 0, 4);
    changeGrid->addWidget(labelled(QStringLiteral("MASK"), AcrossMask), 1, 0);
    changeGrid->addWidget(AcrossMask, 1, 1);
    changeGrid->addWidget(labelled(QStringLiteral("GROUP"), AcrossGroup), 1, 2);
    changeGrid->addWidget(AcrossGroup, 1, 3);
    changeGrid->addWidget(labelled(QStringLiteral("PASSWORD"), AcrossPassword), 2, 0);
    changeGrid->addWidget(AcrossPassword, 2, 1);
    changeGrid->addWidget(labelled(QStringLiteral("MB"), AcrossAmount), 2, 2);
    changeGrid->addWidget(AcrossAmount, 2, 3);
    auto* flagRow = new QHBoxLayout;
    for (QCheckBox* box : AcrossFlags)
        flagRow->addWidget(box);
    flagRow->addStretch(1);
    changeGrid->addLayout(flagRow, 3, 0, 1, 5);
    rightLayout->addLayout(changeGrid);
    rightLayout->addWidget(AcrossPreview, 2);
    auto* sendRow = new QHBoxLayout;
    sendRow->addWidget(labelled(QStringLiteral("TYPE THE USER'S NAME TO DELETE"), AcrossConfirmName));
    sendRow->addWidget(AcrossConfirmName);
    sendRow->addStretch(1);
    sendRow->addWidget(bbSendChange);
    sendRow->addWidget(bbCancelChange);
    rightLayout->addLayout(sendRow);
    rightLayout->addWidget(AcrossResults, 1);
    rightLayout->addWidget(AcrossState);

    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(left);
    split->addWidget(right);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(siteRow);
    layout->addWidget(AcrossChosen);
    layout->addWidget(split, 1);

    QWidget* order[] = {AcrossFolder,    AcrossSiteFilter, bbGather,    bbCancelAcross, AcrossNameFilter, AcrossTabs,
                        UserMatrix,      GroupMatrix,      AcrossUser,  bbSideBySide,   UserReplies,      AcrossChange,
                        bbPreviewChange, AcrossMask,       AcrossGroup, AcrossPassword, AcrossAmount};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    QWidget* last = AcrossAmount;
    for (QCheckBox* box : AcrossFlags)
        setTabOrder(std::exchange(last, box), box);
    for (QWidget* next :
         std::initializer_list<QWidget*>{AcrossPreview, AcrossConfirmName, bbSendChange, bbCancelChange, AcrossResults})
        setTabOrder(std::exchange(last, next), next);
    WidgetKit::nameControls(this);
}

void TAcrossForm::connectHandlers()
{
    connect(AcrossFolder, &QComboBox::currentIndexChanged, this, [this] { Guarded([this] { AcrossSitesChange(); }); });
    connectGuarded(AcrossSiteFilter, &QLineEdit::textChanged, this, &TAcrossForm::AcrossSitesChange);
    connectGuarded(bbGather, &QPushButton::clicked, this, &TAcrossForm::bbGatherClick);
    connectGuarded(bbCancelAcross, &QPushButton::clicked, this, &TAcrossForm::bbCancelAcrossClick);
    connectGuarded(AcrossNameFilter, &QLineEdit::textChanged, this, &TAcrossForm::AcrossNameFilterChange);
    connectGuarded(UserMatrix, &QTableWidget::itemSelectionChanged, this, &TAcrossForm::UserMatrixChange);
    connectGuarded(bbSideBySide, &QPushButton::clicked, this, &TAcrossForm::bbSideBySideClick);
    connect(AcrossUser, &QLineEdit::returnPressed, this, [this] { Guarded([this] { bbSideBySideClick(); }); });
    connect(AcrossChange, &QComboBox::currentIndexChanged, this, [this] { Guarded([this] { AcrossChangeChange(); }); });
    connectGuarded(bbPreviewChange, &QPushButton::clicked, this, &TAcrossForm::bbPreviewChangeClick);
    connectGuarded(AcrossConfirmName, &QLineEdit::textChanged, this, &TAcrossForm::AcrossConfirmNameChange);
    connectGuarded(bbSendChange, &QPushButton::clicked, this, &TAcrossForm::bbSendChangeClick);
    connectGuarded(bbCancelChange, &QPushButton::clicked, this, &TAcrossForm::bbCancelChangeClick);
    connectGuarded(AcrossResults, &QTreeWidget::itemSelectionChanged, this, &TAcrossForm::AcrossResultsChange);
    // What SEND sends is what the preview showed: any edit of the change drops the preview.
    for (QLineEdit* edit : {AcrossUser, AcrossMask, AcrossPassword, AcrossAmount})
        connect(edit, &QLineEdit::textEdited, this, [this] { dropPreview(); });
    connect(AcrossGroup, &QComboBox::currentTextChanged, this, [this] { dropPreview(); });
    for (QCheckBox* box : AcrossFlags)
        connect(box, &QCheckBox::toggled, this, [this] { dropPreview(); });
}

void TAcrossForm::openWith(const QString& user)
{
    const QString folder = AcrossFolder->currentData().toString();
    sites_.clear();
    QStringList folders;
    TSettingsStore& store = store_();
    // What the choice shows is read without a password: none is fetched or unlocked until a run needs it.
    auto readAll = [&] {
        for (const QString& name : SiteBook::names(store)) {
            const std::string key = SiteBook::keyName(name);
            if (key.empty())
                continue;
            const SiteBook::Record record = SiteBook::readListed(store, key);
            const QString inFolder = fromUtf8(record.folder);
            sites_.push_back({name,
                              Latin1ToQString(record.host) + QLatin1Char(':') + QString::number(record.portNumber()),
                              inFolder});
            // The folder and every folder above it.
            QString path;
            for (const QString& part : inFolder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
                path = path.isEmpty() ? part : path + QLatin1Char('/') + part;
                if (!folders.contains(path, Qt::CaseInsensitive))
                    folders << path;
            }
        }
    };
    if (store.readOnly())
        readAll();
    else
        store.transaction(readAll);
    folders.sort(Qt::CaseInsensitive);
    {
        const QSignalBlocker quiet(AcrossFolder);
        AcrossFolder->clear();
        AcrossFolder->addItem(QStringLiteral("all sites"), QString());
        for (const QString& f : folders)
            AcrossFolder->addItem(f, f);
        const int at = AcrossFolder->findData(folder);
        AcrossFolder->setCurrentIndex(at < 0 ? 0 : at);
    }
    AcrossSitesChange();
    if (!user.isEmpty() && user != AcrossUser->text()) {
        AcrossUser->setText(user);
        dropPreview();
    }
}

void TAcrossForm::closeEvent(QCloseEvent* event)
{
    // Closing stops what still runs; what was gathered stays for the next time the window opens.
    if (batch_)
        batch_->cancel();
    QDialog::closeEvent(event);
}
