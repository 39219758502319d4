#pragma once

#include "app/MessageBox.h"

#include <QString>

#include <string_view>

class QWidget;

// The question a failing step of a background operation puts: what failed, the error and the file,
// with Retry, Skip and Cancel. `text` is the error as ErrorReporter words it (the action that failed,
// then the error, then the path, each a paragraph).
class CErrorDialog {
public:
    static MessageBoxAnswer ask(QWidget* parent, std::string_view text);
};

// A Qt message box with the buttons `buttons` names; answers the button pressed (closing the box
// answers as cancelAnswer() does).
MessageBoxAnswer showDesktopMessageBox(QWidget* parent, std::string_view text, MessageBoxButtons buttons);
