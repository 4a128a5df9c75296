// AES and DES block modes (ECB, CBC, CBC with PKCS#7 padding), AES-CTR and AES-CMAC.
#pragma once

#include "crypto/operation.h"

namespace dravenholt::sim {

enum class BlockAlg { Aes, Des, Des3 };
enum class BlockMode { Ecb, Cbc, CbcPad };

// `iv` is the raw initialisation vector (empty for ECB).
Rv makeBlockOp(BlockAlg alg, BlockMode mode, const Bytes& key, const Bytes& iv, bool encrypt,
               std::unique_ptr<CipherOp>& out);
// `params` is the 20-byte CK_AES_CTR_PARAMS of the device layout: counter bits, counter block.
Rv makeCtrOp(const Bytes& key, const Bytes& params, std::unique_ptr<CipherOp>& out);
Rv makeCmacOp(const Bytes& key, std::unique_ptr<SignOp>& out);

}  // namespace dravenholt::sim
