#include "NRF/EXIFMakerNotes.h"

void EXIFParseSonyMakerNote(EXIFMakerNote&) {}
