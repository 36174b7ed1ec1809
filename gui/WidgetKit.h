#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <initializer_list>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QWidget;

// The widget kit: every control of the console's windows is made here, at its fixed place, named as documented.
namespace WidgetKit {

QLabel* label(QWidget* parent, const char* name, const QString& caption, QPoint at, bool bold = false);
QLineEdit* edit(QWidget* parent, const char* name, QRect rect, const QString& text = QString());
// A drop-down list to pick from, without typing; nothing is picked at first.
QComboBox* pickList(QWidget* parent, const char* name, QRect rect);
// Free text plus a pick list that only the program fills: what is typed is what is sent, no completion, no
// insertion of typed texts into the list.
QComboBox* editableList(QWidget* parent, const char* name, QRect rect, int rows = 10);
// A text box of the daemon's lines: the console font, no wrapping, both scroll bars always shown.
QPlainTextEdit* memo(QWidget* parent, const char* name);
QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect rect);
QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, QRect rect);

// Makes the label's font smaller, as far as needed, for its text to fit in width pixels on one line.
void fitWidth(QLabel* label, int width);
// Keyboard focus moves through the widgets in the order given.
void tabChain(std::initializer_list<QWidget*> widgets);
// Gives each box of the window that has no screen-reader name yet the one a person reads beside it: its label (the
// label whose buddy it is); the text field of an editable list or a number box is named as its box. Buttons and check
// boxes are read by their captions as they change (LOGOUT becomes CANCEL while the console waits).
void nameControls(QWidget* window);
// Puts the window in the middle of the desktop.
void centreOnDesktop(QWidget* window);
// While the box's completion list is open, a click on a button of the box's window closes the list and presses the
// button, as it would with no list open; the list would otherwise take the click for itself. The box's completer
// must be set.
void passClicksThroughCompletion(QComboBox* box);

} // namespace WidgetKit
