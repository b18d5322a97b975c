#include "security/Secrets.h"

#include <sodium.h>

#include <atomic>

#include "Log.h"
#include "protocol/Wire.h"

namespace parley::secrets {

namespace {

std::atomic<bool> minimal_cost{false};

unsigned long long OpsLimit() {
  return minimal_cost.load(std::memory_order_relaxed) ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
}
size_t MemLimit() {
  return minimal_cost.load(std::memory_order_relaxed) ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
}

// A hash of a secret nobody knows, made once, for VerifyNothing.
const std::string& DecoyHash() {
  static const std::string decoy = [] {
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    std::optional<std::string> h = Hash(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
    return h.value_or(std::string());
  }();
  return decoy;
}

}  // namespace

bool Init() {
  if (sodium_init() < 0) {
    LogError("cannot initialise libsodium: secrets cannot be hashed");
    return false;
  }
  return true;
}

std::optional<std::string> Hash(std::string_view secret) {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, secret.data(), secret.size(), OpsLimit(), MemLimit()) != 0) return std::nullopt;
  return std::string(out);
}

bool Verify(const std::string& hash, std::string_view secret) {
  return crypto_pwhash_str_verify(hash.c_str(), secret.data(), secret.size()) == 0;
}

void VerifyNothing(std::string_view secret) {
  const std::string& decoy = DecoyHash();
  if (!decoy.empty()) (void)Verify(decoy, secret);
}

bool Acceptable(std::string_view secret) { return !secret.empty() && secret.size() <= wire::kMaxSecretBytes; }

void UseMinimalCostForTesting() { minimal_cost.store(true, std::memory_order_relaxed); }

void Wipe(std::string& s) {
  if (!s.empty()) sodium_memzero(s.data(), s.size());
}

}  // namespace parley::secrets
