#include "NRF/EXIFMakerNotes.h"

void EXIFParseSigmaMakerNote(EXIFMakerNote&) {}
