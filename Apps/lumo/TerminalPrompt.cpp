#include "TerminalPrompt.h"

#include "TerminalProgress.h"
#include "support/TextUtils.h"

#include <unistd.h>

#include <string>

namespace {

const char* choices(MessageBoxButtons buttons) {
    switch (buttons) {
    case MessageBoxButtons::Ok:
        return "[Enter to go on]";
    case MessageBoxButtons::OkCancel:
        return "[O]k / (c)ancel";
    case MessageBoxButtons::YesNo:
        return "[Y]es / (n)o";
    case MessageBoxButtons::YesNoCancel:
        return "[Y]es / (n)o / (c)ancel";
    case MessageBoxButtons::RetryCancel:
        return "(r)etry / [C]ancel";
    case MessageBoxButtons::RetrySkipCancel:
        return "(r)etry / (s)kip / [C]ancel";
    }
    return "";
}

// The answer a typed line stands for, or false when it fits none of the buttons.
bool parseAnswer(std::string_view line, MessageBoxButtons buttons, MessageBoxAnswer& answer) {
    line = lumo::trim(line);
    if (line.empty()) {
        answer = defaultAnswer(buttons);
        return true;
    }
    const char c = static_cast<char>(line[0] | 0x20);
    const bool hasCancel = buttons != MessageBoxButtons::Ok && buttons != MessageBoxButtons::YesNo;
    switch (buttons) {
    case MessageBoxButtons::Ok:
        answer = MessageBoxAnswer::Ok;
        return true;
    case MessageBoxButtons::OkCancel:
        if (c == 'o')
            answer = MessageBoxAnswer::Ok;
        else if (c == 'c')
            answer = MessageBoxAnswer::Cancel;
        else
            return false;
        return true;
    case MessageBoxButtons::YesNo:
    case MessageBoxButtons::YesNoCancel:
        if (c == 'y')
            answer = MessageBoxAnswer::Yes;
        else if (c == 'n')
            answer = MessageBoxAnswer::No;
        else if (c == 'c' && hasCancel)
            answer = MessageBoxAnswer::Cancel;
        else
            return false;
        return true;
    case MessageBoxButtons::RetryCancel:
    case MessageBoxButtons::RetrySkipCancel:
        if (c == 'r')
            answer = MessageBoxAnswer::Retry;
        else if (c == 's' && buttons == MessageBoxButtons::RetrySkipCancel)
            answer = MessageBoxAnswer::Skip;
        else if (c == 'c')
            answer = MessageBoxAnswer::Cancel;
        else
            return false;
        return true;
    }
    return false;
}

// --yes: yes to a yes/no question, skip to a retry question that offers it; otherwise the default,
// which never retries.
MessageBoxAnswer yesAnswer(MessageBoxButtons buttons) {
    if (buttons == MessageBoxButtons::RetrySkipCancel)
        return MessageBoxAnswer::Skip;
    const bool yesNo = buttons == MessageBoxButtons::YesNo || buttons == MessageBoxButtons::YesNoCancel;
    return yesNo ? MessageBoxAnswer::Yes : defaultAnswer(buttons);
}

const char* answerWord(MessageBoxAnswer answer) {
    switch (answer) {
    case MessageBoxAnswer::Ok:
        return "ok";
    case MessageBoxAnswer::Cancel:
        return "cancel";
    case MessageBoxAnswer::Yes:
        return "yes";
    case MessageBoxAnswer::No:
        return "no";
    case MessageBoxAnswer::Retry:
        return "retry";
    case MessageBoxAnswer::Skip:
        return "skip";
    }
    return "";
}

} // namespace

MessageBoxAnswer askOnTerminal(std::string_view text, MessageBoxButtons buttons, FILE* in, FILE* out) {
    for (;;) {
        std::fprintf(out, "%.*s %s ", static_cast<int>(text.size()), text.data(), choices(buttons));
        std::fflush(out);
        std::string line;
        int c;
        while ((c = std::fgetc(in)) != EOF && c != '\n')
            line += static_cast<char>(c);
        if (c == EOF && line.empty()) {
            std::fputc('\n', out);
            return defaultAnswer(buttons);
        }
        MessageBoxAnswer answer;
        if (parseAnswer(line, buttons, answer))
            return answer;
    }
}

MessageBoxHandler makeTerminalMessageBox(const CommonOptions& options) {
    const bool yes = options.yes;
    const bool noInput = options.noInput;
    const bool ask = !noInput && ::isatty(STDIN_FILENO);
    return [yes, noInput, ask](std::string_view text, MessageBoxButtons buttons) {
        TerminalProgress::clearActiveLine();
        if (yes || !ask) {
            // The question as it would have been asked, and the answer taken for the user.
            const MessageBoxAnswer answer = yes ? yesAnswer(buttons) : defaultAnswer(buttons);
            if (buttons == MessageBoxButtons::Ok)
                std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
            else
                std::fprintf(stderr, "%.*s %s %s (%s)\n", static_cast<int>(text.size()), text.data(),
                             choices(buttons), answerWord(answer),
                             yes       ? "--yes"
                             : noInput ? "--no-input"
                                       : "no terminal to ask on");
            return answer;
        }
        return askOnTerminal(text, buttons, stdin, stderr);
    };
}
