#pragma once

#include <signal.h>

// Ctrl-C while a command works. Inside an InterruptScope the first SIGINT only asks the command to
// stop at its next safe point (interrupted() turns true): the file in hand is finished or removed, what
// was done is reported, and the command exits with kExitCancelled. A second SIGINT ends the program at
// once with that status. The previous handling returns when the scope ends.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    struct sigaction m_previous {};
};

bool interrupted();
