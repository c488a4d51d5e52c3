// SHA-256, for telling builds of the driver file apart. XP's CryptoAPI offers it only from
// Service Pack 3 on, so the programs carry their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace win
{

class Sha256
{
  public:
    Sha256();
    void Update(const void* data, std::size_t size);
    // Lowercase hexadecimal; the object is spent afterwards.
    std::string HexDigest();

  private:
    void Compress(const unsigned char* block);

    std::uint32_t state_[8];
    unsigned char block_[64] = {};
    std::size_t used_ = 0;
    std::uint64_t bytes_ = 0;
};

} // namespace win
