#include "shell/Splash.h"

#include "art/Art.h"
#include "gui/Jpeg.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

TSplashScreen::TSplashScreen() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    initArtResources();
    setObjectName(QStringLiteral("SplashScreen"));
    setFixedSize(369, 260);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(0, 0, 369, 260);

    auto picture = [this](const char* name, const QString& file, QPoint at) {
        auto* image = new QLabel(Panel1);
        image->setObjectName(QString::fromLatin1(name));
        image->setGeometry(QRect(at, QSize(360, 252)));
        image->setScaledContents(true);
        image->setPixmap(QPixmap::fromImage(LoadJpeg(file)));
        return image;
    };
    Image1 = picture("Image1", QStringLiteral(":/art/splash1.jpg"), QPoint(4, 4));
    Image2 = picture("Image2", QStringLiteral(":/art/splash2.jpg"), QPoint(5, 4));
    Image3 = picture("Image3", QStringLiteral(":/art/splash3.jpg"), QPoint(5, 4));
    Image2->hide();
    Image3->hide();

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - QPoint(width() / 2, height() / 2));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);
    connect(Timer1, &QTimer::timeout, this, &TSplashScreen::Timer1Timer);
    Timer1->start();
}

void TSplashScreen::Timer1Timer()
{
    if (Image1->isVisibleTo(this)) {
        Image1->hide();
        Image2->show();
        Image3->hide();
    } else if (Image2->isVisibleTo(this)) {
        Image1->hide();
        Image2->hide();
        Image3->show();
    } else if (Image3->isVisibleTo(this)) {
        Image1->show();
        Image2->hide();
        Image3->hide();
    }
}
