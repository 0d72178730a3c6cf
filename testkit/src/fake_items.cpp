// The replica lists of the tend's info items, in the client's format: the
// bitmap as standard base64 with padding, namespaces joined by ";".
#include "fake_items.h"

#include <openssl/evp.h>

namespace {

std::string base64(const std::vector<uint8_t> &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

} // namespace

std::vector<uint8_t> fake_bitmap(uint32_t n_partitions, bool all)
{
    std::vector<uint8_t> bytes((n_partitions + 7) / 8, 0);
    for (uint32_t p = 0; all && p < n_partitions; p++)
        fake_bitmap_set(&bytes, p);
    return bytes;
}

void fake_bitmap_set(std::vector<uint8_t> *bitmap, uint32_t p)
{
    (*bitmap)[p / 8] |= static_cast<uint8_t>(0x80 >> (p % 8));
}

std::string fake_replicas_value(const std::vector<std::string> &namespaces, const std::vector<uint8_t> &bitmap)
{
    std::string enc = base64(bitmap);
    std::string out;
    for (const std::string &ns : namespaces) {
        if (!out.empty())
            out += ";";
        out += ns + ":" + enc;
    }
    return out;
}
