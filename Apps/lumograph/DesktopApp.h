#pragma once

// The desktop program: parses the command line, hands the folders to a running instance (and exits)
// or starts the services, shows the main frame and runs the event loop; shuts down in the
// application's order. `--screenshot OUT.png [--size WxH] DIR` writes the window once the visible
// thumbnails are in and exits.
int lumographMain(int argc, char** argv);
