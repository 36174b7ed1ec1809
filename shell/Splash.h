#pragma once

#include <QWidget>

class QFrame;
class QLabel;
class QTimer;

// The start-up splash: borderless, on top, centred, cycling three pictures every 200 ms until the main window's
// first activation destroys it.
class TSplashScreen : public QWidget {
public:
    TSplashScreen();

    QFrame* Panel1;
    QLabel* Image1;
    QLabel* Image2;
    QLabel* Image3;
    QTimer* Timer1;

    void Timer1Timer();
};
