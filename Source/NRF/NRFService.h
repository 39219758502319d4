#pragma once

class CLumoApp;

// The image file engine's start-up step "NRFInit()" (readers loaded from the program's own table) and
// its shutdown step "NRFTerminate".
void addImageEngineService(CLumoApp& app);
