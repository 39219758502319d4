#include "ErrorDialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <utility>
#include <vector>

namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

struct ButtonChoice {
    QMessageBox::StandardButton button;
    MessageBoxAnswer answer;
};

std::vector<ButtonChoice> choicesFor(MessageBoxButtons buttons) {
    switch (buttons) {
    case MessageBoxButtons::Ok:
        return {{QMessageBox::Ok, MessageBoxAnswer::Ok}};
    case MessageBoxButtons::OkCancel:
        return {{QMessageBox::Ok, MessageBoxAnswer::Ok}, {QMessageBox::Cancel, MessageBoxAnswer::Cancel}};
    case MessageBoxButtons::YesNo:
        return {{QMessageBox::Yes, MessageBoxAnswer::Yes}, {QMessageBox::No, MessageBoxAnswer::No}};
    case MessageBoxButtons::YesNoCancel:
        return {{QMessageBox::Yes, MessageBoxAnswer::Yes},
                {QMessageBox::No, MessageBoxAnswer::No},
                {QMessageBox::Cancel, MessageBoxAnswer::Cancel}};
    case MessageBoxButtons::RetryCancel:
        return {{QMessageBox::Retry, MessageBoxAnswer::Retry},
                {QMessageBox::Cancel, MessageBoxAnswer::Cancel}};
    case MessageBoxButtons::RetrySkipCancel:
        // Ignore is the standard button whose role fits Skip; it is labelled "Skip".
        return {{QMessageBox::Retry, MessageBoxAnswer::Retry},
                {QMessageBox::Ignore, MessageBoxAnswer::Skip},
                {QMessageBox::Cancel, MessageBoxAnswer::Cancel}};
    }
    return {{QMessageBox::Ok, MessageBoxAnswer::Ok}};
}

MessageBoxAnswer execBox(QMessageBox& box, MessageBoxButtons buttons) {
    const std::vector<ButtonChoice> choices = choicesFor(buttons);
    QMessageBox::StandardButtons standard;
    for (const ButtonChoice& choice : choices)
        standard |= choice.button;
    box.setStandardButtons(standard);
    if (QAbstractButton* skip = box.button(QMessageBox::Ignore))
        skip->setText(QObject::tr("Skip"));
    box.setDefaultButton(choices.front().button);
    const MessageBoxAnswer closed = cancelAnswer(buttons);
    for (const ButtonChoice& choice : choices)
        if (choice.answer == closed)
            box.setEscapeButton(choice.button);
    const int pressed = box.exec();
    for (const ButtonChoice& choice : choices)
        if (pressed == choice.button)
            return choice.answer;
    return closed;
}

QWidget* parentOrActive(QWidget* parent) {
    return parent ? parent : QApplication::activeWindow();
}

} // namespace

MessageBoxAnswer CErrorDialog::ask(QWidget* parent, std::string_view text) {
    // The first paragraph names what failed; the error and the file follow in smaller print.
    const QString all = toQString(text);
    const qsizetype split = all.indexOf(QStringLiteral("\n\n"));
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(),
                    split < 0 ? all : all.left(split), QMessageBox::NoButton, parentOrActive(parent));
    if (split >= 0)
        box.setInformativeText(all.mid(split + 2));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    return execBox(box, MessageBoxButtons::RetrySkipCancel);
}

MessageBoxAnswer showDesktopMessageBox(QWidget* parent, std::string_view text, MessageBoxButtons buttons) {
    if (buttons == MessageBoxButtons::RetrySkipCancel)
        return CErrorDialog::ask(parent, text);
    const bool question = buttons == MessageBoxButtons::YesNo || buttons == MessageBoxButtons::YesNoCancel ||
                          buttons == MessageBoxButtons::OkCancel;
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Warning,
                    QApplication::applicationDisplayName(), toQString(text), QMessageBox::NoButton,
                    parentOrActive(parent));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    return execBox(box, buttons);
}
