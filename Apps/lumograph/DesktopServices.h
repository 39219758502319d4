#pragma once

class CLumoApp;

// Adds the start-up and shutdown steps of every service the desktop window uses, in the application's
// fixed order: the preferences, the sort cache, the catalog service, the image engine with the
// metadata layer, the disk and memory image caches, the code replacements and the sort threads.
// The tests start the same services in their own process.
void addDesktopServices(CLumoApp& app);
