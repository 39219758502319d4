#include "NRF/EXIFMakerNotes.h"

void EXIFParseOlympusMakerNote(EXIFMakerNote&) {}
std::string EXIFOlympusLensText(double, double, double, double) { return {}; }
