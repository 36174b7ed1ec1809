#include "admin/Flags.h"

#include "gui/Guard.h"
#include "gui/OperationGate.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Finally.h"
#include "platform/OemText.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QPushButton>

using namespace WidgetKit;

TFlagForm::TFlagForm(TSiteSession& session, TOperationGate& gate, std::function<QString()> selectedUser,
                     QWidget* parent, std::function<void()> cancelWait)
    : QDialog(parent), selectedUser_(std::move(selectedUser)), run_(*this, session, std::move(cancelWait))
{
    setObjectName(QStringLiteral("FlagForm"));
    setWindowTitle(QStringLiteral("SET FLAGS"));
    setFixedSize(178, 197);
    setModal(true);

    auto box = [this](const char* name, const char* caption, int column, int row) {
        return checkBox(this, name, QString::fromLatin1(caption), QRect(column == 0 ? 8 : 96, 8 + 24 * row, 80, 17));
    };
    Disabled = box("Disabled", "DiSABLED", 0, 0);
    Kolvane = box("Kolvane", "KOLVANE", 0, 1);
    Useredit = box("Useredit", "USEREDiT", 0, 2);
    Nuke = box("Nuke", "NUKE", 0, 3);
    Color = box("Color", "COLOR", 0, 4);
    GroupOp = box("GroupOp", "GROUPOP", 1, 0);
    Kill = box("Kill", "KiLL", 1, 1);
    Beta = box("Beta", "BETA", 1, 2);
    Leech = box("Leech", "LEECH", 1, 3);
    Quiet = box("Quiet", "QUiET", 1, 4);
    Kolvane->setEnabled(false); // making site operators is not done from here
    run_.cancelCloses = true;   // the dialog is all about the lines: once they end, it has done its part

    Label1 = label(this, "Label1", QStringLiteral("You MUST set ALL flags the way"), QPoint(8, 128));
    Label2 = label(this, "Label2", QStringLiteral("you want them, or it will reset them!"), QPoint(8, 144));
    // The warning is wider than the dialog in some fonts; it must still be read whole, both lines alike.
    fitWidth(Label2, width() - 8);
    Label1->setFont(Label2->font());
    fitWidth(Label1, width() - 8);
    bbExit = button(this, "bbExit", QStringLiteral("&EXiT"), QRect(8, 168, 75, 25));
    bbSetFlags = button(this, "bbSetFlags", QStringLiteral("SET FLAGS"), QRect(96, 168, 75, 25));

    tabChain({Disabled, Kolvane, Useredit, Nuke, Color, GroupOp, Kill, Beta, Leech, Quiet, bbExit, bbSetFlags});
    const std::pair<QAbstractButton*, const char*> tips[] = {
        {Disabled, "The user cannot log in"},
        {Kolvane, "Site operator: may use every SITE command (not set from here)"},
        {Useredit, "May add and change users"},
        {Nuke, "May nuke releases"},
        {Color, "Gets the daemon's replies in colour"},
        {GroupOp, "Group operator: may look after the users of the own group"},
        {Kill, "May end other users' logins"},
        {Beta, "Is one of the site's beta testers"},
        {Leech, "Downloads without a ratio"},
        {Quiet, "Is not shown to others in who is on"},
        {bbExit, "Close without changing anything"},
        {bbSetFlags, "Send all ten flags as ticked here to the daemon (every flag is set, ticked or not)"},
    };
    for (const auto& [control, tip] : tips)
        control->setToolTip(QString::fromUtf8(tip));
    nameControls(this);
    connectGated(gate, bbSetFlags, &QPushButton::clicked, this, &TFlagForm::bbSetFlagsClick);
    connectGuarded(bbExit, &QPushButton::clicked, this, &TFlagForm::bbExitClick);
    centreOnDesktop(this);
}

std::vector<TFlagForm::Flag> TFlagForm::flags() const
{
    return {{Disabled, "DISABLED"}, {Kolvane, "KOLVANE"}, {Useredit, "USEREDIT"}, {Nuke, "NUKE"},   {Color, "COLOR"},
            {GroupOp, "GROUPOP"},   {Kill, "KILL"},       {Beta, "BETA"},         {Leech, "LEECH"}, {Quiet, "QUIET"}};
}

void TFlagForm::bbSetFlagsClick()
{
    const QString user = selectedUser_();
    if (!Prompts().Confirm("Really set these flags for " + user + "?"))
        return;
    std::vector<std::string> lines;
    for (const Flag& flag : flags()) {
        if (flag.box == Kolvane && !Kolvane->isEnabled())
            continue;
        lines.push_back("SITE CHFLAG " + QStringToLatin1(user) + " " + flag.keyword +
                        (flag.box->isChecked() ? " YES" : " NO"));
    }
    // The dialog stays up while the lines go, for its CANCEL; its boxes and the console stand still meanwhile.
    // However the lines end, it closes (which clears the boxes) before an error is shown.
    Finally closeAnyway([this] {
        if (isVisible())
            done(QDialog::Accepted);
        else
            Guarded([this] { FormClose(); }); // closed already (a cancel), or never shown
    });
    run_.run(lines, bbSetFlags);
}

void TFlagForm::bbExitClick()
{
    close();
}

void TFlagForm::FormClose()
{
    for (const Flag& flag : flags())
        flag.box->setChecked(false);
}

void TFlagForm::done(int result)
{
    Guarded([this] { FormClose(); });
    QDialog::done(result);
}
