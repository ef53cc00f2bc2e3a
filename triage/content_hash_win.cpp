// CNG's SHA-256 (bcrypt.dll, part of Windows since Vista): no library to ship.
#include <windows.h>
#include <bcrypt.h>

#include "triage/content_hash.h"

namespace triage {
namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

class CngSha256 final : public Sha256 {
 public:
  explicit CngSha256(BCRYPT_HASH_HANDLE hash) : hash_(hash) {}
  ~CngSha256() override { BCryptDestroyHash(hash_); }
  CngSha256(const CngSha256&) = delete;
  CngSha256& operator=(const CngSha256&) = delete;
  bool Update(std::span<const std::uint8_t> bytes) override {
    // BCryptHashData takes a ULONG count: a span larger than that goes in pieces.
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ULONG part = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      if (!Ok(BCryptHashData(hash_, const_cast<PUCHAR>(bytes.data() + done), part, 0))) return false;
      done += part;
    }
    return true;
  }
  bool Final(Sha256Digest* out) override {
    return Ok(BCryptFinishHash(hash_, out->data(), static_cast<ULONG>(out->size()), 0));
  }

 private:
  BCRYPT_HASH_HANDLE hash_;
};

}  // namespace

std::unique_ptr<Sha256> StartSha256(std::string* why) {
  // The provider is opened once for the process and kept: opening it costs far more
  // than a hash object does.
  static BCRYPT_ALG_HANDLE algorithm = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM,
                                        nullptr,  // pszImplementation: the default provider
                                        0))) {
      opened = nullptr;
    }
    return opened;
  }();
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (algorithm == nullptr || !Ok(BCryptCreateHash(algorithm, &hash,
                                                   nullptr, 0,  // pbHashObject: CNG allocates it
                                                   nullptr, 0,  // pbSecret: no HMAC
                                                   0))) {
    *why = "SHA-256 is not available (BCrypt)";
    return nullptr;
  }
  return std::make_unique<CngSha256>(hash);
}

}  // namespace triage
