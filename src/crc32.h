// CRC-32 of archive member data.
#pragma once

#include <cstdint>

uint32_t member_crc(uint32_t crc, const void *buffer, uint32_t n);  // zlib's crc32(), continuing `crc`
