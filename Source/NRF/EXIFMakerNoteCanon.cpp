#include "NRF/EXIFMakerNotes.h"

void EXIFParseCanonMakerNote(EXIFMakerNote&) {}
