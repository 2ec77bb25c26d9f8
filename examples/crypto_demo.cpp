// Digests (MD5, SHA-256) and ciphers (RC4 and AES in CBC with padding).
#include <cstdio>
#include <iostream>

#include <redist/arc4/arc4.h>
#include <redist/rijndael/rijndael.h>
#include <VSecurity/md5.h>
#include <VSecurity/rc4.h>
#include <VSecurity/sha256.h>

int main()
{
    const QByteArray text("The quick brown fox jumps over the lazy dog");
    std::cout << "MD5     " << VMD5::hash(text).constData() << std::endl;

    VMD5 md5;
    md5.appendBlock("The quick brown fox ");
    md5.appendBlock("jumps over the lazy dog");
    std::cout << "MD5 in two blocks " << md5.completedHash().constData() << std::endl;
    std::cout << "SHA-256 (first 160 bits) " << VSHA256::hash(text).constData() << std::endl;

    // RC4: the same call encrypts and decrypts; reset() rewinds the stream.
    QByteArray buffer = text;
    VRc4 rc4("Secret");
    rc4.rc4(reinterpret_cast<unsigned char*>(buffer.data()), buffer.size());
    std::cout << "RC4     " << buffer.toHex().constData() << std::endl;
    rc4.reset();
    rc4.rc4(reinterpret_cast<unsigned char*>(buffer.data()), buffer.size());
    std::cout << "RC4 back " << buffer.constData() << std::endl;

    // AES-128-CBC with PKCS#7 padding.
    const quint8 key[16] = { 0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                             0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c };
    quint8 iv[16] = { 0 };
    Rijndael enc, dec;
    enc.init(Rijndael::CBC, Rijndael::Encrypt, key, Rijndael::Key16Bytes, iv);
    dec.init(Rijndael::CBC, Rijndael::Decrypt, key, Rijndael::Key16Bytes, iv);
    quint8 cipher[64], plain[64];
    const int n = enc.padEncrypt(reinterpret_cast<const quint8*>(text.constData()), text.size(), cipher);
    std::cout << "AES-CBC " << n << " bytes: "
              << QByteArray(reinterpret_cast<const char*>(cipher), n).toHex().constData() << std::endl;
    const int m = dec.padDecrypt(cipher, n, plain);
    std::cout << "AES back (" << m << " bytes) " << QByteArray(reinterpret_cast<const char*>(plain), m).constData()
              << std::endl;

    std::cout << "ARC4 self-test:" << std::endl;
    std::fflush(stdout);
    return arc4_self_test();
}
