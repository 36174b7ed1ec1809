#include "admin/UserFields.h"

#include "admin/SpinEdit.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace WidgetKit;

const char* const TUserFieldsDialog::UnchangedIdent = "*@";

TUserFieldsDialog::TUserFieldsDialog(const TUserContext& context, QWidget* parent, int top, int loginsWidth,
                                     const QString& updateCaption)
    : QDialog(parent), context_(context), run_(*this, context_.session, context_.cancelWait)
{
    setModal(true);
    const QString ident = QString::fromLatin1(UnchangedIdent);
    const int row1 = top, row2 = top + 48, row3 = top + 96, row4 = top + 144;
    auto over = [](QPoint boxAt) { return boxAt - QPoint(0, 16); }; // each label stands over its box

    Label1 = label(this, "Label1", QStringLiteral("USER"), over({8, row1}));
    UserName = edit(this, "UserName", QRect(8, row1, 121, 22));
    Label2 = label(this, "Label2", QStringLiteral("GROUP"), over({136, row1}));
    Group = pickList(this, "Group", QRect(136, row1, 145, 22));

    Label3 = label(this, "Label3", QStringLiteral("PASSWORD"), over({8, row2}));
    Password = edit(this, "Password", QRect(8, row2, 121, 22));
    Password->setEchoMode(QLineEdit::Password); // a password being set is not shown to whoever looks on
    Label10 = label(this, "Label10", QStringLiteral("LOGiNS"), over({136, row2}));
    MaxLogins = new TSpinEdit(this);
    MaxLogins->setObjectName(QStringLiteral("MaxLogins"));
    MaxLogins->setGeometry(136, row2, loginsWidth, 22);
    Label11 = label(this, "Label11", QStringLiteral("RATiO"), over({200, row2}));
    Ratio = new TSpinEdit(this);
    Ratio->setObjectName(QStringLiteral("Ratio"));
    Ratio->setGeometry(200, row2, 49, 22);

    Label4 = label(this, "Label4", QStringLiteral("iDENT"), over({8, row3}));
    Ident1 = edit(this, "Ident1", QRect(8, row3, 121, 22), ident);
    Label5 = label(this, "Label5", QStringLiteral("iDENT"), over({136, row3}));
    Ident2 = edit(this, "Ident2", QRect(136, row3, 121, 22), ident);
    Label6 = label(this, "Label6", QStringLiteral("iDENT"), over({8, row4}));
    Ident3 = edit(this, "Ident3", QRect(8, row4, 121, 22), ident);
    Label7 = label(this, "Label7", QStringLiteral("iDENT"), over({136, row4}));
    Ident4 = edit(this, "Ident4", QRect(136, row4, 121, 22), ident);

    bbUpdate = button(this, "bbUpdate", updateCaption, QRect(8, top + 176, 75, 25));

    const std::pair<QLabel*, QWidget*> buddies[] = {{Label1, UserName},   {Label2, Group},  {Label3, Password},
                                                    {Label10, MaxLogins}, {Label11, Ratio}, {Label4, Ident1},
                                                    {Label5, Ident2},     {Label6, Ident3}, {Label7, Ident4}};
    for (const auto& [l, box] : buddies)
        l->setBuddy(box);
}

void TUserFieldsDialog::FormCreate()
{
    UserName->setText(context_.user);
    Group->clear();
    Group->addItems(context_.groups);
    Group->setCurrentIndex(-1);
}

std::string TUserFieldsDialog::user() const
{
    return QStringToLatin1(UserName->text());
}

std::vector<std::string> TUserFieldsDialog::settingLines(bool withGroup) const
{
    const std::string u = user();
    std::vector<std::string> lines;
    if (withGroup && !Group->currentText().isEmpty())
        lines.push_back("SITE CHGRP " + u + " " + QStringToLatin1(Group->currentText()));
    if (!Password->text().isEmpty())
        lines.push_back("SITE CHPASS " + u + " " + QStringToLatin1(Password->text()));
    if (const int logins = MaxLogins->value(); logins != 0)
        lines.push_back("SITE CHLOGINS " + u + " " + std::to_string(logins));
    if (const int ratio = Ratio->value(); ratio != 0)
        lines.push_back("SITE CHRATIO " + u + " " + std::to_string(ratio));
    for (std::string& line : identLines("SITE ADDIDENTD"))
        lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> TUserFieldsDialog::identLines(const char* command) const
{
    const std::string u = user();
    std::vector<std::string> lines;
    for (const QLineEdit* box : {Ident1, Ident2, Ident3, Ident4})
        if (box->text() != QLatin1String(UnchangedIdent))
            lines.push_back(command + (" " + u) + " " + QStringToLatin1(box->text()));
    return lines;
}

TCommandRun::Outcome TUserFieldsDialog::send(const std::vector<std::string>& lines, QPushButton* button,
                                             const std::function<void(std::size_t)>& afterLine)
{
    return run_.run(lines, button, afterLine);
}

void TUserFieldsDialog::done(int result)
{
    if (run_.deferClose())
        return;
    QDialog::done(result);
}
