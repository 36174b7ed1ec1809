#pragma once

#include "gui/CommandRun.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;
class TSiteSession;
class TOperationGate;

// The flags dialog: the daemon's ten user flags as check boxes for the selected user. Made once at start-up and
// shown again each time; it always opens with every box clear, and SET FLAGS sends every flag it offers, YES for a
// ticked box and NO for a clear one. While the lines go, SET FLAGS reads CANCEL: it, Escape and the close box end
// them, the rest unsent, and close the dialog.
class TFlagForm : public QDialog {
public:
    // selectedUser names the user the flags are for, read when SET FLAGS is pressed. cancelWait ends the session's
    // wait when the operator cancels the lines; none: the session's own cancel.
    TFlagForm(TSiteSession& session, TOperationGate& gate, std::function<QString()> selectedUser,
              QWidget* parent = nullptr, std::function<void()> cancelWait = {});

    QCheckBox* Disabled;
    QCheckBox* Kolvane; // the site-operator flag: shown, never enabled, never sent
    QCheckBox* Useredit;
    QCheckBox* Nuke;
    QCheckBox* Color;
    QCheckBox* GroupOp;
    QCheckBox* Kill;
    QCheckBox* Beta;
    QCheckBox* Leech;
    QCheckBox* Quiet;
    QLabel* Label1;
    QLabel* Label2;
    QPushButton* bbExit;
    QPushButton* bbSetFlags;

    void bbSetFlagsClick();
    void bbExitClick();
    // Every closing clears the boxes, so that the next opening starts from all clear.
    void FormClose();

    // The ten boxes in the order their lines go, each with the flag's keyword in the command line.
    struct Flag {
        QCheckBox* box;
        const char* keyword;
    };
    std::vector<Flag> flags() const;

protected:
    // A close asked for while the lines go ends them first.
    void done(int result) override;

private:
    std::function<QString()> selectedUser_;
    TCommandRun run_;
};
