#pragma once

#include "Platform/Bundle.h"

namespace tavrelin::posix {

// SHA-256 from OpenSSL's libcrypto.
class PosixDigest final : public platform::Digest {
public:
    std::string sha256Hex(const std::string& bytes) const override;
};

} // namespace tavrelin::posix
