#include "crc32.h"

#include <string.h>

#if defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace {

// The reflected IEEE 802.3 polynomial.
constexpr uint32_t polynomial = 0xEDB88320u;

// The CRC of each byte value: one bit at a time, once.
struct byte_table {
    uint32_t value[256];
};

constexpr byte_table make_byte_table() {
    byte_table t = {};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t crc = b;
        for (int bit = 0; bit < 8; bit++)
            crc = crc & 1 ? (crc >> 1) ^ polynomial : crc >> 1;
        t.value[b] = crc;
    }
    return t;
}

constexpr byte_table bytes_crc = make_byte_table();

// The register (the complement of the CRC) over count more bytes, a byte a step.
uint32_t update_bytewise(uint32_t reg, const uint8_t *bytes, uint32_t count) {
    for (; count > 0; count--, bytes++)
        reg = (reg >> 8) ^ bytes_crc.value[(reg ^ *bytes) & 0xFF];
    return reg;
}

#if defined(__ARM_NEON)

// Folding. The data is taken 16 bytes at a time as a polynomial over GF(2)
// (loaded little-endian, bit k of a block stands for x^(127-k), as in the
// register), and a 128-bit accumulator A that is congruent to everything so
// far modulo the polynomial is carried along: A' = A * x^128 + D. The product
// is reduced at once by multiplying A's two halves with x^192 and x^128 modulo
// the polynomial, 32-bit constants, so that A' stays within 128 bits; two
// blocks at a time, A'' = A * x^256 + D1 * x^128 + D2 likewise. NEON has no
// carry-less multiplication wider than 8 by 8 bits (vmull.p8), so each 64 by
// 32-bit product is built from its byte products, and the products of one
// step are summed before they are shifted into place. At the end, A and the
// bytes left over go through the byte table.

// x^n modulo the polynomial, in the register's bit order (bit k: x^(31-k)).
constexpr uint32_t x_power(unsigned n) {
    uint32_t r = 0x80000000u;
    for (unsigned i = 0; i < n; i++)
        r = r & 1 ? (r >> 1) ^ polynomial : r >> 1;
    return r;
}

// The factors of a block that a step multiplies by x^shift: x^(shift + 64)
// for its first 8 bytes, x^shift for its last 8. The integer carry-less
// product of a 64-bit half and a 32-bit factor in the register's bit order
// stands for the polynomial product times x^33 in the accumulator's: hence the
// 33 taken off each power.
template <unsigned shift> struct factors {
    static constexpr uint32_t first = x_power(shift + 64 - 33);
    static constexpr uint32_t last = x_power(shift - 33);
};

// sum plus the byte products of a 64-bit half and byte j of its factor: lane i
// holds the product of byte i, which belongs 8 * (i + j) bits up. A zero byte
// needs no product.
template <uint32_t factor, int j> uint8x16_t add_products(uint8x16_t sum, uint8x8_t half) {
    constexpr uint8_t byte = static_cast<uint8_t>(factor >> (8 * j));
    if constexpr (byte == 0)
        return sum;
    return veorq_u8(sum, vreinterpretq_u8_p16(vmull_p8(vreinterpret_p8_u8(half), vdup_n_p8(byte))));
}

// sum plus the products of both halves of a block with byte j of their factors.
template <unsigned shift, int j> uint8x16_t add_block(uint8x16_t sum, uint8x16_t block) {
    sum = add_products<factors<shift>::first, j>(sum, vget_low_u8(block));
    return add_products<factors<shift>::last, j>(sum, vget_high_u8(block));
}

// v shifted up by one byte.
uint8x16_t up_one_byte(uint8x16_t v) {
    return vextq_u8(vdupq_n_u8(0), v, 15);
}

// v plus low in its low half.
uint8x16_t plus_low(uint8x16_t v, uint8x8_t low) {
    return vcombine_u8(veor_u8(vget_low_u8(v), low), vget_high_u8(v));
}

// The sum of the byte products pj of factor bytes j = 0 to 3, each product
// shifted into place: 96 bits.
// Inlined into both folds: a call would spill the vector registers.
inline __attribute__((always_inline)) uint8x16_t place(uint8x16_t p0, uint8x16_t p1, uint8x16_t p2,
                                                       uint8x16_t p3) {
    // The low and the high bytes of the 16-bit products: for factor byte j,
    // low byte i goes to byte i + j of the sum, high byte i to i + j + 1.
    // Unzipped in pairs: the lows of factor bytes 0 and 2, their highs; the
    // lows of 1 and 3, their highs.
    uint8x16x2_t even = vuzpq_u8(p0, p2);
    uint8x16x2_t odd = vuzpq_u8(p1, p3);
    // What goes 1 and 3 bytes up (low 1 + high 0 | low 3 + high 2), what goes
    // 2 bytes up; then the sum, from the one that goes 4 bytes up (high 3)
    // down, shifted up one byte at a time.
    uint8x16_t up13 = veorq_u8(odd.val[0], even.val[1]);
    uint8x8_t up2 = veor_u8(vget_high_u8(even.val[0]), vget_low_u8(odd.val[1]));
    uint8x16_t sum = vcombine_u8(vget_high_u8(odd.val[1]), vdup_n_u8(0));
    sum = plus_low(up_one_byte(sum), vget_high_u8(up13));
    sum = plus_low(up_one_byte(sum), up2);
    sum = plus_low(up_one_byte(sum), vget_low_u8(up13));
    return plus_low(up_one_byte(sum), vget_low_u8(even.val[0]));
}

// a * x^128 + d, reduced to 128 bits.
uint8x16_t fold(uint8x16_t a, uint8x16_t d) {
    uint8x16_t zero = vdupq_n_u8(0);
    return veorq_u8(place(add_block<128, 0>(zero, a), add_block<128, 1>(zero, a),
                          add_block<128, 2>(zero, a), add_block<128, 3>(zero, a)),
                    d);
}

// The sum of the products of a (times x^256) and d (times x^128) with byte j
// of their factors.
template <int j> uint8x16_t add_pair(uint8x16_t a, uint8x16_t d) {
    return add_block<128, j>(add_block<256, j>(vdupq_n_u8(0), a), d);
}

// a * x^256 + d1 * x^128 + d2, reduced to 128 bits.
uint8x16_t fold_two(uint8x16_t a, uint8x16_t d1, uint8x16_t d2) {
    return veorq_u8(
        place(add_pair<0>(a, d1), add_pair<1>(a, d1), add_pair<2>(a, d1), add_pair<3>(a, d1)), d2);
}

uint32_t update(uint32_t reg, const uint8_t *bytes, uint32_t count) {
    if (count < 64)
        return update_bytewise(reg, bytes, count);
    // The register goes into the first four bytes, as it would a byte a step.
    uint8x16_t acc = vld1q_u8(bytes);
    acc = vreinterpretq_u8_u32(
        veorq_u32(vreinterpretq_u32_u8(acc), vsetq_lane_u32(reg, vdupq_n_u32(0), 0)));
    bytes += 16;
    count -= 16;
    for (; count >= 32; count -= 32, bytes += 32)
        acc = fold_two(acc, vld1q_u8(bytes), vld1q_u8(bytes + 16));
    if (count >= 16) {
        acc = fold(acc, vld1q_u8(bytes));
        count -= 16;
        bytes += 16;
    }
    uint8_t folded[16];
    vst1q_u8(folded, acc);
    return update_bytewise(update_bytewise(0, folded, sizeof folded), bytes, count);
}

#else

// Eight tables: table[k][b] is the CRC of byte b followed by k zero bytes, so
// that eight bytes are taken a step (slicing by 8).
struct slice_tables {
    uint32_t table[8][256];
};

constexpr slice_tables make_slice_tables() {
    slice_tables t = {};
    for (uint32_t b = 0; b < 256; b++)
        t.table[0][b] = bytes_crc.value[b];
    for (int k = 1; k < 8; k++) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t prev = t.table[k - 1][b];
            t.table[k][b] = (prev >> 8) ^ t.table[0][prev & 0xFF];
        }
    }
    return t;
}

constexpr slice_tables slices = make_slice_tables();

uint32_t load_le32(const uint8_t *bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

uint32_t update(uint32_t reg, const uint8_t *bytes, uint32_t count) {
    const auto &t = slices.table;
    for (; count >= 8; count -= 8, bytes += 8) {
        uint32_t low = load_le32(bytes) ^ reg;
        uint32_t high = load_le32(bytes + 4);
        reg = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    return update_bytewise(reg, bytes, count);
}

#endif

} // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t *bytes, uint32_t count) {
    return ~update(~crc, bytes, count);
}
