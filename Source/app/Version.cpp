#include "app/Version.h"

#include "BuildInfo.h"
#include "support/TextUtils.h"

std::string buildText() {
    return lumo::formatString("build %d (%s)", LUMO_BUILD_NUMBER, LUMO_BUILD_HASH);
}

std::string versionLine() {
    return lumo::formatString("%s version %d.%d.%d.%d %s", kProductName, LUMO_VERSION_MAJOR,
                              LUMO_VERSION_MINOR, LUMO_VERSION_PATCH, LUMO_VERSION_TWEAK,
                              buildText().c_str());
}
