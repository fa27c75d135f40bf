// SHA-256 of a block of bytes, for the per-board record: the image a board
// received is named by its digest. Plain C++, no system headers.
#pragma once
#include <cstddef>
#include <cstdint>

// The digest of n bytes at p as 64 lowercase hex digits and a NUL.
void Sha256Hex(const unsigned char *p, size_t n, char szHex[65]);
