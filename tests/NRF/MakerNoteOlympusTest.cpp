// Maker-note tests (Olympus group): filled in by its reader.
