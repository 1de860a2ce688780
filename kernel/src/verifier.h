// The verifier a service keeps: the root keys it trusts, what it has revoked,
// and the credential signatures it has already seen verify.
//
// Each call frames the wire, refuses a revoked credential or key before any
// signature is looked at, picks the trusted root that issued the first
// credential, and runs the kernel's one walk (verify_chain) against it. Only
// the walk's signature step can be answered from memory, and only for a
// credential whose issuer key, signature and payload are byte for byte those
// of one that verified before: a remembered answer is the answer ML-DSA would
// give again, so no outcome ever depends on what the cache holds.
//
// Every member function may be called from many threads at once.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bytes.h"
#include "chain_wire.h"
#include "errors.h"
#include "payload.h"
#include "request_proof.h"
#include "result.h"
#include "token.h"
#include "verify.h"

namespace vestrel {

using PublicKey = std::array<std::uint8_t, PK_SIZE>;

// Why a chain was refused: a rule of the walk, or the verifier's own list.
struct VerifierRefusal {
  enum class Kind : std::uint8_t { Rule, RevokedCredential, RevokedKey };
  Kind kind = Kind::Rule;
  ChainRefusal rule;          // Kind::Rule
  std::uint32_t index = 0;    // the revoked kinds: the credential refused
  RevocationId revoked_id{};  // that credential's revocation id
  // Kind::RevokedKey: the revoked key, a view into the wire.
  PublicKeyView revoked_key{kNoKey};
};

struct VerifierAnswer {
  ChainAuthority authority;  // views into the wire
  std::size_t root = 0;      // which trusted root the chain starts from
  // Every credential's revocation id, when they were asked for.
  std::array<RevocationId, MAX_CHAIN_LEN> ids{};
  bool has_ids = false;
};

// What a caller knows of a wire it verified before and has held unchanged
// since (an immutable object it keeps): every signature in it verified, and
// these are its credentials' revocation ids. A signature that verified once
// verifies forever, so the cache need not be asked; every other rule, and
// revocation, still runs.
struct VerifiedBefore {
  std::array<RevocationId, MAX_CHAIN_LEN> ids{};
  std::size_t count = 0;
};

struct CacheInfo {
  std::uint64_t hits = 0;    // signature checks answered from memory
  std::uint64_t misses = 0;  // signature checks run
  std::size_t entries = 0;
  std::size_t bytes = 0;
  std::size_t max_bytes = 0;
};

// Signatures that verified, remembered with the exact bytes they cover,
// least recently used first out once `max_bytes` is reached.
class SignatureCache {
 public:
  explicit SignatureCache(std::size_t max_bytes);
  SignatureCache(const SignatureCache&) = delete;
  SignatureCache& operator=(const SignatureCache&) = delete;

  // Whether exactly this credential verified before, and its revocation id
  // when that was computed then (only a verifier with revocations needs it).
  struct Found {
    bool verified = false;
    std::optional<RevocationId> id;
  };
  [[nodiscard]] Found find(const CredentialView& cred) noexcept;
  // Remembers a credential whose signature has just verified. Nothing happens
  // when it does not fit or memory runs out: remembering is only a saving.
  void remember(const CredentialView& cred, const std::optional<RevocationId>& id) noexcept;
  // Adds the revocation id to the entry of a remembered credential.
  void remember_id(const CredentialView& cred, const RevocationId& id) noexcept;
  [[nodiscard]] CacheInfo info() const noexcept;
  // Signature checks answered without a lookup (a wire verified before).
  void count_hits(std::size_t n) noexcept { hits_.fetch_add(n, std::memory_order_relaxed); }
  [[nodiscard]] bool enabled() const noexcept { return max_bytes_ != 0; }

 private:
  struct Entry {
    std::uint64_t key;
    Bytes credential;  // issuer key, signature, payload
    std::optional<RevocationId> id;
  };
  [[nodiscard]] std::uint64_t key_of(const CredentialView& cred) const noexcept;
  [[nodiscard]] static bool same(const Entry& entry, const CredentialView& cred) noexcept;
  [[nodiscard]] static std::size_t cost(std::size_t credential_bytes) noexcept;

  const std::size_t max_bytes_;
  std::array<std::uint64_t, 2> seed_{};
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<std::uint64_t, std::list<Entry>::iterator> by_key_;
  std::size_t bytes_ = 0;
  std::atomic<std::uint64_t> hits_{0};
  std::atomic<std::uint64_t> misses_{0};
};

// The holder keys whose request proofs were checked lately, each prepared for
// verification once (mldsa65::PreparedPublicKey): a holder signs every request
// it makes, and against a prepared key a check costs about half as much. Only
// holders of chains that verified come here. The last kKept are kept, about
// 39 KB each.
class PreparedKeys {
 public:
  static constexpr std::size_t kKept = 32;

  // The prepared form of `pk`, made now when it is not kept; none only when
  // memory runs out (the caller then checks against the encoded key).
  [[nodiscard]] std::shared_ptr<const mldsa65::PreparedPublicKey> find(
      PublicKeyView pk) noexcept;

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<const mldsa65::PreparedPublicKey>> kept_;  // most recent first
};

class Verifier {
 public:
  // At least one root; `leeway` seconds of clock difference are tolerated in
  // either direction; cache_bytes 0 remembers nothing.
  Verifier(std::vector<PublicKey> roots, std::uint64_t leeway, std::size_t cache_bytes);

  // `before`, when given, must describe exactly these bytes; a verifier
  // whose cache is off ignores it and checks every signature.
  [[nodiscard]] Result<VerifierAnswer, VerifierRefusal> verify(
      ByteView wire, std::uint64_t now, bool want_ids = false,
      const VerifiedBefore* before = nullptr) noexcept;
  // Whether remembering what verified saves anything here (the cache is on).
  [[nodiscard]] bool remembers() const noexcept { return cache_.enabled(); }
  // Whether `signature` is the request proof of `holder` (a verified chain's
  // holder key) over `message`; the key is kept prepared for the holder's
  // next request where the verifier remembers (see PreparedKeys).
  [[nodiscard]] bool check_request_signature(PublicKeyView holder, ByteView message,
                                             SignatureView signature) noexcept;

  void revoke(std::span<const RevocationId> ids);
  void unrevoke(std::span<const RevocationId> ids) noexcept;
  void revoke_key(const PublicKey& key);
  void unrevoke_key(const PublicKey& key) noexcept;
  [[nodiscard]] std::vector<RevocationId> revoked_ids() const;
  [[nodiscard]] std::vector<PublicKey> revoked_keys() const;

  [[nodiscard]] const std::vector<PublicKey>& roots() const noexcept { return roots_; }
  // The roots' key ids, in the same order: a token names its root by one.
  [[nodiscard]] const std::vector<KeyId>& root_ids() const noexcept { return root_ids_; }
  [[nodiscard]] std::uint64_t leeway() const noexcept { return leeway_; }
  [[nodiscard]] CacheInfo cache_info() const noexcept { return cache_.info(); }

 private:
  struct Seeded {
    std::uint64_t seed;
    std::size_t operator()(const RevocationId& id) const noexcept;
    std::size_t operator()(const PublicKey& key) const noexcept;
  };
  struct Remembered;

  [[nodiscard]] std::optional<VerifierRefusal> screen(const DecodedChain& chain,
                                                      Remembered& known) const noexcept;
  [[nodiscard]] std::size_t root_for(const DecodedChain& chain) const noexcept;

  const std::vector<PublicKey> roots_;
  std::vector<KeyId> root_ids_;
  const std::uint64_t leeway_;
  SignatureCache cache_;
  PreparedKeys holders_;
  mutable std::shared_mutex revocation_mutex_;
  std::unordered_set<RevocationId, Seeded> revoked_ids_;
  std::unordered_set<PublicKey, Seeded> revoked_keys_;
};

}  // namespace vestrel
