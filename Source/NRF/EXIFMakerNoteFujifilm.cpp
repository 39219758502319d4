#include "NRF/EXIFMakerNotes.h"

void EXIFParseFujifilmMakerNote(EXIFMakerNote&) {}
