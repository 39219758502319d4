#pragma once

#include <functional>

// The user-interface thread: the one thread that talks to the user (the terminal's main thread, later
// the desktop's event loop). Other threads hand it work through postToUIThread(); it runs that work
// whenever it calls runUIThreadTasks() (the progress window's timer, an idle loop, a wait).

// Makes the calling thread the user-interface thread (start-up does this first).
void setUIThread();
// True on the user-interface thread, and on every thread while none has been set.
bool isUIThread();
// Queues `task` for the user-interface thread; runs it at once when called on that thread.
void postToUIThread(std::function<void()> task);
// Runs the tasks queued so far, on the calling thread; answers how many ran.
int runUIThreadTasks();
