#include "NRF/EXIFMakerNotes.h"

void EXIFParseLeafCatalogue(EXIFMakerNote&) {}
