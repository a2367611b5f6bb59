#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

// The block cipher of the Data Encryption Standard (FIPS 46-3), one 64-bit
// block at a time (no chaining): the block is 8 bytes with byte 0 the most
// significant; the key is 8 bytes whose lowest bits (parity) are ignored.
//
// Written here rather than taken from a library: the link below must be
// deciphered exactly this way, and the cipher is small. It is not meant to
// keep anything secret today; single DES is long broken.
namespace Des {

using Block = std::array<std::uint8_t, 8>;
using Key = std::array<std::uint8_t, 8>;

Block Encrypt(const Key &key, const Block &block);
Block Decrypt(const Key &key, const Block &block);

} // namespace Des

// The letters for whole 8-byte blocks of `plain`, each DES-enciphered under
// `key` and written as A (0) to P (15), high half first: what DecipherLink
// turns back into `plain`. The program keeps only such letters (made by
// tools/encipher_link); this is for that tool and the tests.
QByteArray LinkLetters(const Des::Key &key, const QByteArray &plain);

// Deciphers the maker's web address that the program holds as a text of
// letters. Every pair of letters is one byte, the first letter giving the
// high half: ((first - 'A') mod 16) * 16 | (second - 'A'), so A..P are the
// digits 0..15 (a second letter beyond P adds its excess bit to the high
// half). Each group of 16 letters (8 bytes) is DES-deciphered on its own with
// a key schedule made afresh, and the output ends at the first zero byte.
class LinkCipher
{
public:
    explicit LinkCipher(const char (&key)[9]);
    virtual ~LinkCipher() = default;

    // Deciphers `text` into `out` (which holds `capacity` bytes). Only "A" to
    // "Z" in a non-zero multiple of 16 letters are taken; anything else
    // leaves `out` untouched and gives false. True when a deciphered zero
    // byte ended the text (it is written to `out`); false after the last
    // group otherwise. Never writes past `capacity`: groups that would not
    // fit are not deciphered, and the result is then false.
    bool DecipherLink(const QByteArray &text, char *out, qsizetype capacity) const;

private:
    Des::Key m_key{};
};
