#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TNMFTP;
class TOperationGate;
class TSpinEdit;

// What the user dialogs use of the console, and nothing more: the connection they send on, the gate that says
// whether an operation may start, the user selected when the dialog opened and the gathered group names.
struct TUserContext {
    TNMFTP& client;
    TOperationGate& gate;
    QString user;
    QStringList groups;
};

// What the user modification and the new-user dialogs share: the user's fields, each a change the operator may
// fill in (group, password, log-in limit, ratio, four ident masks), the command lines they make, and the rule that
// one command sequence runs at a time.
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

    // A sequence goes whole or not at all as far as the lines themselves go: one that cannot be sent (a pasted line
    // break, say) is refused (ELineError) before the first line leaves.
    static void refuseUnsendable(const std::vector<std::string>& lines);
    // Sends the lines one by one, once none is refused; the first refused by the daemon ends the sequence.
    void send(const std::vector<std::string>& lines);

    // Marks a sequence as running; a close asked for meanwhile (close box, Escape) waits for its end, so that the
    // dialog stays up and the console modal until the last line has gone or one has failed.
    class Running {
    public:
        explicit Running(TUserFieldsDialog& dialog);
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        TUserFieldsDialog& dialog_;
    };

    void done(int result) override;

    std::string user() const;

    TUserContext context_;

private:
    bool running_ = false;
    bool closeWanted_ = false;
};
