// The file operations built on documents share this library; each operation keeps its own units.
