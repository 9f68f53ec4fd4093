#include "foundation/digest.h"

#include <openssl/evp.h>

#include <memory>
#include <new>


namespace tallowmere {

namespace {

constexpr size_t kDigestBytes = 32;

// SHA-256 from a library context of our own: the process-wide one reads the
// host's OpenSSL configuration, which may restrict or replace algorithms and
// so change what the journal's digests are. Fetched once for the process.
const EVP_MD* sha256() {
  static const EVP_MD* const md = [] {
    OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
    return context == nullptr ? nullptr : EVP_MD_fetch(context, "SHA256", nullptr);
  }();
  return md;
}

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// One hashing context per thread, reused from call to call.
EVP_MD_CTX* thread_context() {
  thread_local std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  return context.get();
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[kDigestBytes];
  unsigned int length = 0;
  const EVP_MD* md = sha256();
  EVP_MD_CTX* context = thread_context();
  // With the algorithm in hand, only exhausted memory can make these fail.
  if (md == nullptr || context == nullptr || EVP_DigestInit_ex2(context, md, nullptr) != 1 ||
      EVP_DigestUpdate(context, bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(context, digest, &length) != 1 || length != kDigestBytes) {
    throw std::bad_alloc();
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * kDigestBytes, '0');
  for (size_t i = 0; i < kDigestBytes; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return out;
}


}  // namespace tallowmere
