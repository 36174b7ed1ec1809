#include "gui/Look.h"

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace {

// Fusion draws a check box's frame a shade darker than the window: under a dark theme that is dark on dark, and an
// empty box all but vanishes. The frame is drawn again over Fusion's in a colour between the window's and its
// text's, which stands out from light and dark grounds alike; the tick stays Fusion's.
class TConsoleStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (element != PE_IndicatorCheckBox)
            return;
        const QColor ground = option->palette.color(QPalette::Window);
        const QColor text = option->palette.color(QPalette::WindowText);
        const auto between = [](int a, int b) { return (a * 2 + b * 3) / 5; };
        const QColor edge(between(ground.red(), text.red()), between(ground.green(), text.green()),
                          between(ground.blue(), text.blue()));
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setPen(edge);
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        painter->restore();
    }
};

} // namespace

void ApplyConsoleLook(QApplication& app)
{
    // One style and one set of fonts keep the fixed pixel layout (Fusion, its check boxes framed to be seen). The
    // colours are the desktop's, whole: a light or dark theme gives every role of every control (its text and its
    // ground alike), and a theme changed while the console runs is followed too. Mixing a palette of our own with the
    // theme's would leave some controls with the theme's light text on our light ground.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(new TConsoleStyle(fusion));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    QApplication::setFont(font);

    // The page boxes read like a terminal: light text on near-black under any theme, as the daemon's tables were
    // drawn for; the selection is drawn in the same colours whatever the theme's highlight.
    app.setStyleSheet(QStringLiteral(
        "QPlainTextEdit#StatusMemo, QPlainTextEdit#InfoMemo, QPlainTextEdit#UserMemo, QPlainTextEdit#GroupMemo,"
        " QPlainTextEdit#FileMemo, QPlainTextEdit#NfoDizMemo {"
        " background: #10161c; color: #c9d4de; selection-background-color: #2b5f9e; selection-color: #ffffff; }"
        "QStatusBar::item { border: none; }"
        // The buttons are drawn 75 pixels wide; their captions take a pixel less so that "GiVE CREDiT" fits whole.
        "QPushButton { font-size: 10px; }"));
}

QFont ConsoleFont(int pixelSize)
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(pixelSize);
    return font;
}
