// Makes the stored link text of the web panel: the address, a zero byte and
// zeros up to whole 8-byte blocks, each block DES-enciphered under the key and
// written as letters A (0) to P (15), high half first.
//
//   build/tools/encipher_link KEY8CHAR ADDRESS
#include "shell/linkcipher.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 3 || std::strlen(argv[1]) != 8) {
        std::fprintf(stderr, "usage: %s KEY(8 characters) ADDRESS\n", argv[0]);
        return 2;
    }
    Des::Key key{};
    std::memcpy(key.data(), argv[1], 8);
    QByteArray plain(argv[2]);
    do
        plain.append('\0');
    while (plain.size() % 8 != 0);
    std::printf("%s\n", LinkLetters(key, plain).constData());
    return 0;
}
