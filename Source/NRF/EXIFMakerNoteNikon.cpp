#include "NRF/EXIFMakerNotes.h"

void EXIFParseNikonMakerNote(EXIFMakerNote&) {}
