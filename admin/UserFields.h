#pragma once

#include "gui/CommandRun.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TOperationGate;
class TSiteSession;
class TSpinEdit;

// What the user dialogs use of the console, and nothing more: the session they send on, the gate that says
// whether an operation may start, the user selected when the dialog opened and the gathered group names.
struct TUserContext {
    TSiteSession& session;
    TOperationGate& gate;
    QString user;
    QStringList groups;
    // What ends the session's wait when the operator cancels the dialog's lines; none: the session's own cancel.
    std::function<void()> cancelWait = {};
};

// What the user modification and the new-user dialogs share: the user's fields, each a change the operator may
// fill in (group, password, log-in limit, ratio, four ident masks), the command lines they make, and how those
// lines go: one sequence at a time, which the operator can end from the dialog.
class TUserFieldsDialog : public QDialog {
public:
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    QLabel* Label10;
    QLabel* Label11;
    QLineEdit* UserName;
    QComboBox* Group;
    QLineEdit* Password;
    TSpinEdit* MaxLogins;
    TSpinEdit* Ratio;
    QLineEdit* Ident1;
    QLineEdit* Ident2;
    QLineEdit* Ident3;
    QLineEdit* Ident4;
    QPushButton* bbUpdate;

    // The user box takes the selected user, the group list the gathered groups.
    void FormCreate();

    // An ident box holding exactly this leaves its mask alone.
    static const char* const UnchangedIdent;

protected:
    // The fields' rows start at top (the user row's boxes); the log-in box is loginsWidth wide.
    TUserFieldsDialog(const TUserContext& context, QWidget* parent, int top, int loginsWidth,
                      const QString& updateCaption);

    // The lines for the fields that are filled in: CHGRP (when withGroup), CHPASS, CHLOGINS, CHRATIO, one ADDIDENTD
    // per changed ident box, in that order. All are read now, so what goes out is what the operator confirmed.
    std::vector<std::string> settingLines(bool withGroup) const;
    // One line per ident box that is not UnchangedIdent: command + " " + user + " " + mask.
    std::vector<std::string> identLines(const char* command) const;

    // Sends the lines one by one, button reading CANCEL meanwhile (TCommandRun): none goes when one of them cannot go
    // out whole (ELineError); the first refused by the daemon ends the sequence with its failure raised; Escape, the
    // close box or CANCEL end it, the rest unsent, the dialog saying which lines went. Escape and the close box then
    // close the dialog; after CANCEL it stays with its fields.
    TCommandRun::Outcome send(const std::vector<std::string>& lines, QPushButton* button,
                              const std::function<void(std::size_t)>& afterLine = {});

    // A close asked for while the lines go (the close box, Escape) ends them first.
    void done(int result) override;

    std::string user() const;

    TUserContext context_;

private:
    TCommandRun run_;
};
