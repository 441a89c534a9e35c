// torvex-rack: SHA-256 (FIPS 180-4), small and portable; a script is read once.
#include "sha256.h"

#include <cstdint>
#include <cstdio>

namespace {

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void Block(uint32_t h[8], const unsigned char* p)
{
    uint32_t w[64];
    for (size_t t = 0; t < 16; t++) {
        w[t] = static_cast<uint32_t>(p[4 * t]) << 24 | static_cast<uint32_t>(p[4 * t + 1]) << 16 |
               static_cast<uint32_t>(p[4 * t + 2]) << 8 | p[4 * t + 3];
    }
    for (int t = 16; t < 64; t++) {
        const uint32_t s0 = Rotate(w[t - 15], 7) ^ Rotate(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = Rotate(w[t - 2], 17) ^ Rotate(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t v[8];
    for (int i = 0; i < 8; i++) {
        v[i] = h[i];
    }
    for (int t = 0; t < 64; t++) {
        const uint32_t s1 = Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25);
        const uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const uint32_t t1 = v[7] + s1 + ch + K[t] + w[t];
        const uint32_t s0 = Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22);
        const uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        for (int i = 7; i > 0; i--) {
            v[i] = v[i - 1];
        }
        v[4] += t1;
        v[0] = t1 + s0 + maj;
    }
    for (int i = 0; i < 8; i++) {
        h[i] += v[i];
    }
}

}  // namespace

std::string FileSha256(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "";
    }
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block[128];
    uint64_t length = 0;
    size_t n;
    while ((n = fread(block, 1, 64, file)) == 64) {
        Block(h, block);
        length += 64;
    }
    const bool read = !ferror(file);
    fclose(file);
    if (!read) {
        return "";
    }
    length += n;
    // The last bytes, a 1 bit, zeros, and the length in bits: one block or two.
    block[n++] = 0x80;
    const size_t total = n <= 56 ? 64 : 128;
    while (n < total - 8) {
        block[n++] = 0;
    }
    for (int i = 7; i >= 0; i--) {
        block[n++] = static_cast<unsigned char>((length * 8) >> (8 * i));
    }
    Block(h, block);
    if (total == 128) {
        Block(h, block + 64);
    }
    std::string hex;
    for (uint32_t word : h) {
        char part[9];
        snprintf(part, sizeof part, "%08x", static_cast<unsigned>(word));
        hex += part;
    }
    return hex;
}
