#include "NRF/NRFService.h"

#include "NRF/NRF.h"
#include "app/LumoApp.h"

void addImageEngineService(CLumoApp& app) {
    // The readers are built in, so there is no plugin folder to hand over.
    app.startupSteps().add("NRFInit()", [] { return NRFInit(std::string()) == kNRFErrNone; });
    app.shutdownSteps().add("NRFTerminate", [] {
        NRFTerminate();
        return true;
    });
}
