// Rijndael: the AES block cipher (FIPS 197) with 128-, 192- and 256-bit
// keys in ECB, CBC and 1-bit CFB (SP 800-38A) modes. Reports through
// integer codes; never allocates or throws.
// Thread-safety: independent objects; one object is used by one thread at a time.
//
// Notes for callers:
// - The table code is not constant-time (cache timing reveals key bits).
// - padDecrypt answers -7 on bad padding after writing the blocks before
//   the last: it is a padding oracle; never expose its result to a peer.
// - padEncrypt writes 16 * (inputOctets / 16 + 1) bytes to outBuffer.
// - Every call starts the CBC / CFB1 chain from the initial vector of init.
#ifndef VORNLIB_REDIST_RIJNDAEL_H
#define VORNLIB_REDIST_RIJNDAEL_H

#include "VCore/vornlib_export.h"

#include <QtGlobal>

// Return codes: 0 success of init (or nothing to do for the data
// operations), -1 mode, -2 direction, -3 key length, -4 no key,
// -5 not initialised (also padEncrypt on a Decrypt object), -6 wrong
// direction, -7 corrupted data or padding, -8 input too long for padEncrypt
// (its output length would not fit an int).
class VORN_EXPORT Rijndael
{
public:
    enum Mode : qint32 { ECB = 0, CBC = 1, CFB1 = 2 };
    enum Direction : qint32 { Encrypt = 0, Decrypt = 1 };
    enum KeyLength : qint32 { Key16Bytes = 0, Key24Bytes = 1, Key32Bytes = 2 };
    enum State : qint32 { Valid = 0, Invalid = 1 };

    Rijndael();
    ~Rijndael();

    // Keys the object; a null initVector means sixteen zero bytes. In CFB1
    // the key stream always comes from the forward cipher, so an object
    // made for Decrypt decrypts CFB1 correctly as well.
    int init(Mode mode, Direction dir, const quint8* key, KeyLength keyLen,
             quint8* initVector = nullptr);

    // inputLen in bits; whole 128-bit blocks only; returns the bits done.
    int blockEncrypt(const quint8* input, int inputLen, quint8* outBuffer);
    int blockDecrypt(const quint8* input, int inputLen, quint8* outBuffer);

    // ECB or CBC with PKCS#7 padding; lengths in bytes; return bytes written.
    int padEncrypt(const quint8* input, int inputOctets, quint8* outBuffer);
    int padDecrypt(const quint8* input, int inputOctets, quint8* outBuffer);

protected:
    void keySched(quint8 key[][4]);
    void keyEncToDec();
    void encrypt(const quint8* a, quint8* b);
    void decrypt(const quint8* a, quint8* b);

    State m_state;
    Mode m_mode;
    Direction m_direction;
    quint8 m_initVector[16];
    quint32 m_uRounds;
    quint8 m_expandedKey[15][4][4];
};

#endif
