#include "sitebook/TrustForm.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

bool hidden(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QLabel* field(QWidget* parent, const char* name, const QString& text)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    // Plain text always: a certificate's "<b>" is shown as written, never rendered.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

QString TTrustForm::visible(const QString& text)
{
    QString shown;
    for (const char32_t c : text.toUcs4()) {
        if (hidden(c))
            shown += (c > 0xFFFF ? QStringLiteral("\\U") : QStringLiteral("\\u")) +
                     QString::number(quint32(c), 16).toUpper().rightJustified(c > 0xFFFF ? 8 : 4, QLatin1Char('0'));
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return shown;
}

TTrustForm::TTrustForm(const TTrustQuestion& question, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TrustForm"));
    setWindowTitle(QStringLiteral("Unknown certificate for ") + visible(question.site));
    setModal(true);
    setMinimumWidth(520);

    auto* layout = new QVBoxLayout(this);
    Problem = field(this, "Problem",
                    QStringLiteral("The certificate of %1 cannot be verified: %2.")
                        .arg(visible(question.host), visible(question.problem)));
    layout->addWidget(Problem);

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    Subject = field(this, "Subject", visible(question.subject));
    Issuer = field(this, "Issuer", visible(question.issuer));
    AltNames =
        field(this, "AltNames", question.altNames.isEmpty() ? QStringLiteral("(none)") : visible(question.altNames));
    Validity = field(this, "Validity",
                     QStringLiteral("from %1 to %2").arg(visible(question.notBefore), visible(question.notAfter)));
    Fingerprint = field(this, "Fingerprint", visible(question.fingerprint));
    Fingerprint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    form->addRow(QStringLiteral("Subject:"), Subject);
    form->addRow(QStringLiteral("Issuer:"), Issuer);
    form->addRow(QStringLiteral("Alternative names:"), AltNames);
    form->addRow(QStringLiteral("Valid:"), Validity);
    form->addRow(QStringLiteral("SHA-256 fingerprint:"), Fingerprint);
    layout->addLayout(form);

    Advice = field(this, "Advice",
                   QStringLiteral("Compare the fingerprint with the one the site's owner gives you, by a way other "
                                  "than this connection. Trust the certificate only when they are the same: anyone "
                                  "between you and the site can present a certificate with any names in it."));
    layout->addWidget(Advice);

    auto* buttons = new QDialogButtonBox(this);
    bbRefuse = buttons->addButton(QStringLiteral("&Refuse"), QDialogButtonBox::RejectRole);
    bbRefuse->setObjectName(QStringLiteral("bbRefuse"));
    bbTrustOnce = buttons->addButton(QStringLiteral("Trust this &time"), QDialogButtonBox::AcceptRole);
    bbTrustOnce->setObjectName(QStringLiteral("bbTrustOnce"));
    bbTrustOnce->setToolTip(QStringLiteral("Connects this once; the certificate is not pinned"));
    bbTrustAlways = buttons->addButton(QStringLiteral("Trust &always"), QDialogButtonBox::AcceptRole);
    bbTrustAlways->setObjectName(QStringLiteral("bbTrustAlways"));
    bbTrustAlways->setToolTip(QStringLiteral("Pins the certificate for the site: every later log-in accepts it and "
                                             "no other"));
    // Enter refuses wherever the focus is: only a click (or Space on a focused button) trusts.
    for (QPushButton* trust : {bbTrustOnce, bbTrustAlways})
        trust->setAutoDefault(false);
    bbRefuse->setDefault(true);
    layout->addWidget(buttons);

    connect(bbRefuse, &QPushButton::clicked, this, [this] {
        answer_ = TTrustAnswer::Refuse;
        reject();
    });
    connect(bbTrustOnce, &QPushButton::clicked, this, [this] {
        answer_ = TTrustAnswer::ThisTime;
        accept();
    });
    connect(bbTrustAlways, &QPushButton::clicked, this, [this] {
        answer_ = TTrustAnswer::Always;
        accept();
    });
    bbRefuse->setFocus();
}

TTrustAnswer TTrustForm::ask(const TTrustQuestion& question, QWidget* parent)
{
    TTrustForm form(question, parent);
    if (form.exec() != QDialog::Accepted)
        return TTrustAnswer::Refuse;
    return form.answer();
}
