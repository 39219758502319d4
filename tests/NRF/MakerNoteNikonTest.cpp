// Maker-note tests (Nikon group): filled in by its reader.
