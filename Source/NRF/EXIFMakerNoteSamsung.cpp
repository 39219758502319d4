#include "NRF/EXIFMakerNotes.h"

void EXIFParseSamsungMakerNote(EXIFMakerNote&) {}
