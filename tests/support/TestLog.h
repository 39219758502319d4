#pragma once

#include <string>

namespace lumo::test {

// Everything the program's log holds so far: what was written to its file and what is pending.
std::string loggedSoFar();

} // namespace lumo::test
