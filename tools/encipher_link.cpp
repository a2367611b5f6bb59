// Makes the stored link text of the web panel: the address, a zero byte and
// zeros up to whole 8-byte blocks, each block DES-enciphered under the key and
// written as letters A (0) to P (15), high half first.
//
//   build/tools/encipher_link KEY8CHAR ADDRESS
#include "shell/linkcipher.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3 || std::strlen(argv[1]) != 8) {
        std::fprintf(stderr, "usage: %s KEY(8 characters) ADDRESS\n", argv[0]);
        return 2;
    }
    Des::Key key{};
    std::memcpy(key.data(), argv[1], 8);
    std::string plain = argv[2];
    do
        plain.push_back('\0');
    while (plain.size() % 8 != 0);
    std::string letters;
    for (std::size_t i = 0; i < plain.size(); i += 8) {
        Des::Block block{};
        std::memcpy(block.data(), plain.data() + i, 8);
        for (std::uint8_t b : Des::Encrypt(key, block)) {
            letters.push_back(char('A' + (b >> 4)));
            letters.push_back(char('A' + (b & 15)));
        }
    }
    std::printf("%s\n", letters.c_str());
    return 0;
}
