#include "gui/Prompts.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

TPrompts* installed = nullptr;
TTrustDialog trustDialog = nullptr;
QString& applicationTitle()
{
    static QString title = QStringLiteral("Kolvane");
    return title;
}

QWidget* dialogParent()
{
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent)
        parent = QApplication::activeWindow();
    return parent;
}

QString appTitle()
{
    return ApplicationTitle();
}

// A message box sizes itself to its text: a short message under a long caption ("quillon-sim ADMiN by Drummock")
// would cut the caption off. The box is made wide enough for the caption and the title bar's buttons.
void fitCaption(QMessageBox& box)
{
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    // The window manager draws the caption in a font of its own, often larger and bold: half as wide again as in
    // the console's font, and room for the title bar's buttons.
    const int width = QFontMetrics(QApplication::font()).horizontalAdvance(box.windowTitle()) * 3 / 2 + 120;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

} // namespace

namespace {

bool confirm(const QString& text, QMessageBox::StandardButton byDefault)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text, QMessageBox::Yes | QMessageBox::No,
                    dialogParent());
    box.setObjectName(QStringLiteral("ConfirmBox"));
    box.setTextFormat(Qt::PlainText); // names and reply lines from the daemon are shown as written, never rendered
    box.setDefaultButton(byDefault);
    fitCaption(box);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

bool TDialogPrompts::Confirm(const QString& text)
{
    return confirm(text, QMessageBox::Yes);
}

bool TDialogPrompts::ConfirmDefaultNo(const QString& text)
{
    return confirm(text, QMessageBox::No);
}

namespace {

// A box that asks for one line of at most 255 characters, prefilled with text: true and the line in text for OK.
bool askLine(const char* boxName, const char* fieldName, const QString& caption, const QString& prompt,
             QLineEdit::EchoMode echo, QString& text)
{
    QDialog dialog(dialogParent());
    dialog.setObjectName(QLatin1String(boxName));
    dialog.setWindowTitle(caption);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(prompt, &dialog);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    auto* field = new QLineEdit(&dialog);
    field->setObjectName(QLatin1String(fieldName));
    field->setEchoMode(echo);
    field->setMaxLength(255);
    field->setText(text);
    field->selectAll();
    label->setBuddy(field);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(label);
    layout->addWidget(field);
    layout->addWidget(buttons);
    dialog.setMinimumWidth(320);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    text = field->text();
    return true;
}

} // namespace

QString TDialogPrompts::InputBox(const QString& caption, const QString& prompt, const QString& defaultText)
{
    QString text = defaultText.left(255);
    return askLine("InputBox", "InputField", caption, prompt, QLineEdit::Normal, text) ? text : defaultText;
}

void TDialogPrompts::Notice(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, appTitle(), text, QMessageBox::Ok, dialogParent());
    box.setObjectName(QStringLiteral("NoticeBox"));
    box.setTextFormat(Qt::PlainText);
    fitCaption(box);
    box.exec();
}

void TDialogPrompts::ErrorBox(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, appTitle(), text, QMessageBox::Ok, dialogParent());
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.setTextFormat(Qt::PlainText);
    fitCaption(box);
    box.exec();
}

QString TPrompts::Password(const QString&, const QString&)
{
    return QString();
}

TTrustAnswer TPrompts::TrustCertificate(const TTrustQuestion&)
{
    return TTrustAnswer::Refuse;
}

QString TDialogPrompts::Password(const QString& caption, const QString& prompt)
{
    QString text;
    if (!askLine("PasswordBox", "PasswordField", caption, prompt, QLineEdit::Password, text))
        return QString();
    return text.isNull() ? QStringLiteral("") : text;
}

TTrustAnswer TDialogPrompts::TrustCertificate(const TTrustQuestion& question)
{
    return trustDialog ? trustDialog(question, dialogParent()) : TTrustAnswer::Refuse;
}

void SetTrustDialog(TTrustDialog dialog)
{
    trustDialog = dialog;
}

QString ApplicationTitle()
{
    return applicationTitle();
}

void SetApplicationTitle(const QString& title)
{
    applicationTitle() = title;
}

TPrompts& Prompts()
{
    static TDialogPrompts dialogs;
    return installed ? *installed : dialogs;
}

void SetPrompts(TPrompts* prompts)
{
    installed = prompts;
}
