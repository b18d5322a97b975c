// Secrets: salted, deliberately slow hashes (Argon2id, through libsodium).
//
// A secret is never kept: requests wipe their copy when they are destroyed,
// and only its hash is stored, recorded and compared (in constant time,
// by the library). A hash is self-describing text (algorithm, cost, salt),
// so a hash made at another cost still verifies.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace parley::secrets {

// Prepares the library; false (the reason on stderr) when it cannot be used.
// Call once at start-up, before any other function here.
bool Init();

// The hash of `secret` at the current cost; nothing when the library fails
// (out of memory). Costs tens of milliseconds and tens of MiB by design:
// never call it on the network thread.
std::optional<std::string> Hash(std::string_view secret);

// Whether `secret` is the one hashed in `hash`. As slow as Hash.
bool Verify(const std::string& hash, std::string_view secret);

// Spends the time of a verification without a hash to check against, so a
// log-in as an unknown user takes as long as one with a wrong secret.
void VerifyNothing(std::string_view secret);

// Whether `secret` has an acceptable length (1 to wire::kMaxSecretBytes).
bool Acceptable(std::string_view secret);

// Hashes at the library's least cost from now on: for fuzzing and unit tests
// only, where thousands of hashes must take microseconds.
void UseMinimalCostForTesting();

// Overwrites a string holding a secret before it is freed.
void Wipe(std::string& s);

}  // namespace parley::secrets
