// CRC-32 as zlib computes it (IEEE 802.3, reflected, initial value and final
// exclusive-or 0xFFFFFFFF): the check value of a container's image data.
#pragma once

#include <stdint.h>

// The CRC of count more bytes, continuing from crc (0 to start).
uint32_t crc32_update(uint32_t crc, const uint8_t *bytes, uint32_t count);
