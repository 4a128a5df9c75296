/* Administration calls of liborvo-pkcs11 for maintenance tools: backup and restore of the
 * device storage, factory reset, token configuration, the device log and the Bitcoin key slot.
 *
 * Every call is a device call like the PKCS#11 functions and needs C_Initialize first. A slot is
 * a PKCS#11 slot identifier; a session is a PKCS#11 session handle of this library. The u32
 * functions return a CK_RV: the device's answer, or CKR_CRYPTOKI_NOT_INITIALIZED (0x190),
 * CKR_SLOT_ID_INVALID (0x3), CKR_ARGUMENTS_BAD (0x7), CKR_SESSION_HANDLE_INVALID (0xB3),
 * CKR_FUNCTION_FAILED (0x6, the exchange failed or the reply did not fit the caller's buffer),
 * ORVO_NO_BITCOIN_KEY or ORVO_BITCOIN_KEY_EXISTS. The calls are safe to make from several
 * threads: each one reaches the device it names. */
#ifndef ORVO_ADMIN_H
#define ORVO_ADMIN_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORVO_NO_BITCOIN_KEY 0x80000001u     /* the token holds no Bitcoin key */
#define ORVO_BITCOIN_KEY_EXISTS 0x80000002u /* the token already holds one */

/* Storage image of the token (objects, PINs, configuration). *length is the capacity of buffer
 * on entry and the number of bytes received on return, also after a failure. */
uint32_t u32BackupStorage(uint32_t slot, uint8_t* buffer, uint64_t* length);
/* Hands a storage image back to the token, in pieces; the token checks it before taking it. */
uint32_t u32RestoreStorage(uint32_t slot, const uint8_t* data, uint64_t length);
uint32_t u32FactoryReset(uint32_t slot);

/* Token configuration record, 8 bytes: byte 0 version (must be 1), byte 1 size (must be 8),
 * bytes 2-4 the configuration values 1-3, byte 5 untouched, bytes 6-7 the bit options as a
 * little-endian 16-bit number. */
uint32_t u32GetTokenConfig(uint32_t slot, uint8_t* record);
uint32_t u32SetMaxLoginFailCnt(uint32_t slot, uint32_t selector, uint8_t count);
uint32_t u32SetSessionTimeout(uint32_t slot, uint8_t timeout);
uint32_t u32SetPasswordLengths(uint32_t slot, uint8_t first, uint8_t second);
uint32_t u32SetBitOptions(uint32_t slot, uint16_t options);

/* Device log. *length is the capacity of buffer on entry (buffer may be null when it is 0).
 * True: *length is the number of log bytes now in buffer. False: the call failed; when the
 * device said how many bytes it needs, *length holds that number. */
bool bReadLogEntries(uint32_t slot, uint8_t* buffer, uint64_t* length);

/* Bitcoin key slot. The key is the token's private EC key labelled and identified "btc".
 * A derivation path is an array of 32-bit elements; the call converts the caller's array in
 * place to big-endian byte order and leaves it so: pass a fresh copy to every call. */
uint32_t u32HasBitcoinKey(uint32_t session, uint32_t* keyHandle);
uint32_t u32ImportBitcoinKey(uint32_t session, const uint8_t* key, uint64_t keyLength);
uint32_t u32GetBitcoinPub(uint32_t session, uint32_t* path, uint64_t count, uint8_t* output,
                          uint64_t* outputLength);
uint32_t u32SignBitcoinHash(uint32_t session, const uint8_t* hash, uint64_t hashLength,
                            uint32_t* path, uint64_t count, uint8_t* signature,
                            uint64_t* signatureLength);

#ifdef __cplusplus
}
#endif

#endif
