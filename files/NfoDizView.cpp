#include "files/NfoDizView.h"

#include "gui/WidgetKit.h"

#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TNfoDizForm::TNfoDizForm(QWidget* owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("NfoDizForm"));
    setWindowTitle(QStringLiteral("Kolvane NFO/DiZ/ZiP ViEWER"));
    setGeometry(307, 225, 468, 379);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setFixedHeight(25);
    Caption = new QLabel(QStringLiteral("NOTE: not every NFO or ZiP list is shown in full yet!"), Panel1);
    Caption->setGeometry(6, 4, 450, 17);
    layout->addWidget(Panel1);

    NfoDizMemo = WidgetKit::memo(this, "NfoDizMemo");
    NfoDizMemo->setReadOnly(true);
    NfoDizMemo->setAccessibleName(QStringLiteral("NFO, DiZ or ZiP text"));
    layout->addWidget(NfoDizMemo);
}
