#include "PathDigest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace lumo {

std::string pathDigest(std::string_view path) {
    // Fetched once: looking the algorithm up on every call costs more than digesting a path.
    static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (!md5 || EVP_Digest(path.data(), path.size(), md, &mdLength, md5, nullptr) != 1 || mdLength != 16)
        throw std::runtime_error("pathDigest: MD5 is not available");

    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex(2 * mdLength, '0');
    for (unsigned int i = 0; i < mdLength; ++i) {
        hex[2 * i] = kHex[md[i] >> 4];
        hex[2 * i + 1] = kHex[md[i] & 0x0f];
    }
    return hex;
}

} // namespace lumo
