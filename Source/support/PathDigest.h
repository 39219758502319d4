#pragma once

#include <string>
#include <string_view>

namespace lumo {

// The MD5 of the path's bytes as 32 lower-case hexadecimal digits: the key under which caches
// remember a file.
std::string pathDigest(std::string_view path);

} // namespace lumo
