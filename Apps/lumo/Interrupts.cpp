#include "Interrupts.h"

#include "LumoCli.h"

#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> g_interrupts{0};

void onInterrupt(int) {
    if (g_interrupts.fetch_add(1) >= 1) {
        static const char kMessage[] = "\nlumo: interrupted\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        ::_exit(kExitCancelled);
    }
}

} // namespace

InterruptScope::InterruptScope() {
    g_interrupts = 0;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previous);
}

InterruptScope::~InterruptScope() {
    sigaction(SIGINT, &m_previous, nullptr);
}

bool interrupted() {
    return g_interrupts.load() > 0;
}
