#include "TestLog.h"

#include "app/LumoLogger.h"

#include <fstream>
#include <sstream>

namespace lumo::test {

std::string loggedSoFar() {
    LumoLogger& log = LumoLogger::instance();
    log.flush();
    std::ostringstream bytes;
    if (const std::string path = log.logFilePath(); !path.empty())
        bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str() + log.pendingText();
}

} // namespace lumo::test
