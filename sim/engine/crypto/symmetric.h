// AES and DES block modes (ECB, CBC, CBC with PKCS#7 padding), AES-CTR and AES key wrap.
#pragma once

#include "crypto/operation.h"

namespace dravenholt::sim {

enum class BlockAlg { Aes, Des, Des3 };
enum class BlockMode { Ecb, Cbc, CbcPad };

// `iv` is the raw initialisation vector (empty for ECB). A double-length DES key is taken
// as K1 K2 K1.
Rv makeBlockOp(BlockAlg alg, BlockMode mode, const Bytes& key, const Bytes& iv, bool encrypt,
               std::unique_ptr<CipherOp>& out);
// `params` is the 20-byte CK_AES_CTR_PARAMS of the device layout: counter bits, counter block.
Rv makeCtrOp(const Bytes& key, const Bytes& params, std::unique_ptr<CipherOp>& out);
// AES key wrap without (RFC 3394) or with padding (RFC 5649); `iv` empty for the default one.
Rv makeKeyWrapOp(const Bytes& key, bool pad, const Bytes& iv, bool encrypt, std::unique_ptr<CipherOp>& out);

}  // namespace dravenholt::sim
