#include "gui/Prompts.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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

} // namespace

bool TDialogPrompts::Confirm(const QString& text)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text, QMessageBox::Yes | QMessageBox::No,
                    dialogParent());
    box.setObjectName(QStringLiteral("ConfirmBox"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QString TDialogPrompts::InputBox(const QString& caption, const QString& prompt, const QString& defaultText)
{
    QDialog dialog(dialogParent());
    dialog.setObjectName(QStringLiteral("InputBox"));
    dialog.setWindowTitle(caption);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(prompt, &dialog);
    auto* field = new QLineEdit(&dialog);
    field->setObjectName(QStringLiteral("InputField"));
    field->setMaxLength(255);
    field->setText(defaultText.left(255));
    field->selectAll();
    label->setBuddy(field);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(label);
    layout->addWidget(field);
    layout->addWidget(buttons);
    dialog.setMinimumWidth(320);
    return dialog.exec() == QDialog::Accepted ? field->text() : defaultText;
}

void TDialogPrompts::Notice(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, appTitle(), text, QMessageBox::Ok, dialogParent());
    box.setObjectName(QStringLiteral("NoticeBox"));
    box.exec();
}

void TDialogPrompts::ErrorBox(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, appTitle(), text, QMessageBox::Ok, dialogParent());
    box.setObjectName(QStringLiteral("ErrorBox"));
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
    QDialog dialog(dialogParent());
    dialog.setObjectName(QStringLiteral("PasswordBox"));
    dialog.setWindowTitle(caption);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(prompt, &dialog);
    label->setWordWrap(true);
    auto* field = new QLineEdit(&dialog);
    field->setObjectName(QStringLiteral("PasswordField"));
    field->setEchoMode(QLineEdit::Password);
    field->setMaxLength(255);
    label->setBuddy(field);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(label);
    layout->addWidget(field);
    layout->addWidget(buttons);
    dialog.setMinimumWidth(320);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return field->text().isNull() ? QStringLiteral("") : field->text();
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
