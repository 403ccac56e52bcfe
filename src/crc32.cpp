#include "crc32.h"

#include <string.h>

namespace {

// The reflected IEEE 802.3 polynomial.
constexpr uint32_t polynomial = 0xEDB88320u;

// Eight tables: table[k][b] is the CRC of byte b followed by k zero bytes, so
// that eight bytes are taken a step (slicing by 8).
struct crc_tables {
    uint32_t table[8][256];
};

constexpr crc_tables make_tables() {
    crc_tables t = {};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t crc = b;
        for (int bit = 0; bit < 8; bit++)
            crc = crc & 1 ? (crc >> 1) ^ polynomial : crc >> 1;
        t.table[0][b] = crc;
    }
    for (int k = 1; k < 8; k++) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t prev = t.table[k - 1][b];
            t.table[k][b] = (prev >> 8) ^ t.table[0][prev & 0xFF];
        }
    }
    return t;
}

constexpr crc_tables tables = make_tables();

uint32_t load_le32(const uint8_t *bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

} // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t *bytes, uint32_t count) {
    const auto &t = tables.table;
    crc = ~crc;
    for (; count >= 8; count -= 8, bytes += 8) {
        uint32_t low = load_le32(bytes) ^ crc;
        uint32_t high = load_le32(bytes + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; count > 0; count--, bytes++)
        crc = (crc >> 8) ^ t[0][(crc ^ *bytes) & 0xFF];
    return ~crc;
}
