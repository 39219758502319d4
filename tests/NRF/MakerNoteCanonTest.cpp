// Maker-note tests (Canon group): filled in by its reader.
