#include "NRF/EXIFMakerNotes.h"

void EXIFParsePentaxMakerNote(EXIFMakerNote&) {}
