#include "NRF/EXIFMakerNotes.h"

void EXIFParseLeicaMakerNote(EXIFMakerNote&) {}
