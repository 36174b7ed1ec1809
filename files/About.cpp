#include "files/About.h"

#include "art/Art.h"
#include "gui/Jpeg.h"
#include "gui/Look.h"
#include "gui/WidgetKit.h"

#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

const char* const kCredits = R"(KOLVANE v1.50 - THE QUiLLON ADMiN TOOL
======================================

Running a Quillon site from a telnet window got old: typing
SITE CHFLAG for the ninth time in a row, squinting at user
lists, nuking the wrong dir. So Drummock wrote a console that
does the typing, keeps the lists straight and shows every
reply the daemon sends, line drawing and all.

It is shared because every siteop deserves one less headache.
Use it, abuse it, but don't blame us when you nuke your own
release.

BETA TESTERS
  cobalt, hexfiend, mirrorball, nullbyte, quasar, tundra

GREETiNGS
  to every siteop still awake at 4am, and to the daemon that
  never sleeps.
)";

} // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent)
{
    initArtResources();
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("ABOUT Kolvane"));
    setFixedSize(362, 299);

    bbViewCredits = new QPushButton(QStringLiteral("ViEW CREDiTS"), this);
    bbViewCredits->setObjectName(QStringLiteral("bbViewCredits"));
    bbViewCredits->setGeometry(128, 264, 106, 25);
    bbViewCredits->setAutoDefault(false);

    const QPixmap title = QPixmap::fromImage(LoadJpeg(QStringLiteral(":/art/about.jpg")));
    KolvanePic = new QLabel(this);
    KolvanePic->setObjectName(QStringLiteral("KolvanePic"));
    KolvanePic->setPixmap(title);
    KolvanePic->setGeometry(2, 0, title.isNull() ? 360 : title.width(), title.isNull() ? 252 : title.height());

    Credits = new QPlainTextEdit(this);
    Credits->setObjectName(QStringLiteral("Credits"));
    Credits->setReadOnly(true);
    Credits->setGeometry(0, 0, 362, 257);
    Credits->setFont(ConsoleFont(11));
    Credits->setPlainText(QString::fromUtf8(kCredits));
    Credits->hide();

    bbViewCredits->setToolTip(QStringLiteral("Show the credits in place of the picture"));
    Credits->setAccessibleName(QStringLiteral("Credits"));
    Credits->setTabChangesFocus(true);
    WidgetKit::nameControls(this);
    connect(bbViewCredits, &QPushButton::clicked, this, &TAboutForm::bbViewCreditsClick);
    setTabOrder(bbViewCredits, Credits);
    bbViewCredits->setFocus();
}

void TAboutForm::bbViewCreditsClick()
{
    KolvanePic->hide();
    Credits->show();
}
