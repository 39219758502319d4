#pragma once

#include <functional>

// The user-interface thread: the one thread that talks to the user (the terminal's main thread, later
// the desktop's event loop). Other threads hand it work through postToUIThread(); it runs that work
// whenever it calls runUIThreadTasks() (the progress window's timer, an idle loop, a wait).
//
// A thread that waits for the user-interface thread always gets an answer: work that throws is logged
// and counts as not done, and once the user-interface thread stops taking work (shutdown), work still
// queued is dropped and later work refused, each answering its waiting thread at once.

// Makes the calling thread the user-interface thread (start-up does this first); it takes work from
// other threads again after stopUIThreadTasks().
void setUIThread();
// True on the user-interface thread, and on every thread while none has been set.
bool isUIThread();
// Queues `task` for the user-interface thread; runs it at once when called on that thread. An
// exception escaping the task is logged and goes no further.
void postToUIThread(std::function<void()> task);
// Runs the tasks queued so far, on the calling thread; answers how many ran. Never throws.
int runUIThreadTasks();
// Runs `work` on the user-interface thread (at once when called there) and waits until it has run;
// true when it ran to its end. False when it threw (logged as "<what>: exception: ...") or when the
// user-interface thread no longer takes work, so the caller answers with its safe default.
bool runOnUIThreadAndWait(const char* what, std::function<void()> work);
// From now on the user-interface thread runs no work of other threads: what is queued is dropped and
// its waiting threads answered, and what is posted later is refused. Shutdown calls it first, so that
// the threads it joins cannot be waiting for the user-interface thread.
void stopUIThreadTasks();
