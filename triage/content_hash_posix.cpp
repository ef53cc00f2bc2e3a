// OpenSSL's SHA-256: it takes the processor's SHA extensions where they exist, so hashing
// costs less than reading the file.
#include <openssl/evp.h>

#include "triage/content_hash.h"

namespace triage {
namespace {

class OpenSslSha256 final : public Sha256 {
 public:
  explicit OpenSslSha256(EVP_MD_CTX* context) : context_(context) {}
  ~OpenSslSha256() override { EVP_MD_CTX_free(context_); }
  OpenSslSha256(const OpenSslSha256&) = delete;
  OpenSslSha256& operator=(const OpenSslSha256&) = delete;
  bool Update(std::span<const std::uint8_t> bytes) override {
    return EVP_DigestUpdate(context_, bytes.data(), bytes.size()) == 1;
  }
  bool Final(Sha256Digest* out) override {
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context_, out->data(), &length) == 1 && length == out->size();
  }

 private:
  EVP_MD_CTX* context_;
};

}  // namespace

std::unique_ptr<Sha256> StartSha256(std::string* why) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    *why = "SHA-256 is not available";
    return nullptr;
  }
  return std::make_unique<OpenSslSha256>(context);
}

}  // namespace triage
