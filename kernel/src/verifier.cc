#include "verifier.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <random>

namespace vestrel {

namespace {

std::uint64_t load64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// splitmix64's finaliser: every input bit reaches every output bit.
std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Tables are keyed by a few bytes of values an attacker may choose, mixed with
// a secret of the process, so that nobody can aim many values at one slot.
std::uint64_t random_seed() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

bool is_time_refusal(KernelError error) noexcept {
  return error == KernelError::NotBeforeViolation || error == KernelError::NotAfterViolation;
}

// The time nearest `now` within `leeway` of it at which every caveat of the
// chain holds, if there is one. The window is read from unverified payloads:
// it only picks the time the walk runs at, and the walk decides.
std::optional<std::uint64_t> time_within_leeway(const DecodedChain& chain, std::uint64_t now,
                                                std::uint64_t leeway) noexcept {
  const auto window = chain_window(chain);
  if (!window) return std::nullopt;
  const std::uint64_t earliest = window->not_before.value_or(0);
  const std::uint64_t latest = window->not_after.value_or(UINT64_MAX);
  if (earliest > latest) return std::nullopt;
  const std::uint64_t nearest = std::clamp(now, earliest, latest);
  const std::uint64_t distance = nearest > now ? nearest - now : now - nearest;
  if (distance > leeway) return std::nullopt;
  return nearest;
}

}  // namespace

// ---------------------------------------------------------------------------
// SignatureCache

SignatureCache::SignatureCache(std::size_t max_bytes) : max_bytes_(max_bytes) {
  seed_ = {random_seed(), random_seed()};
}

std::uint64_t SignatureCache::key_of(const CredentialView& cred) const noexcept {
  // A genuine signature opens with the 48-byte commitment hash, so its first
  // bytes spread entries evenly; a crafted one can only reach an entry that
  // the exact comparison then refuses.
  return mix(load64(cred.sig.data()) ^ seed_[0]) ^
         mix(load64(cred.sig.data() + 8) ^ seed_[1] ^ cred.payload.size());
}

bool SignatureCache::same(const Entry& entry, const CredentialView& cred) noexcept {
  const std::uint8_t* stored = entry.credential.data();
  return entry.credential.size() == PK_SIZE + SIG_SIZE + cred.payload.size() &&
         std::memcmp(stored, cred.issuer_pk.data(), PK_SIZE) == 0 &&
         std::memcmp(stored + PK_SIZE, cred.sig.data(), SIG_SIZE) == 0 &&
         (cred.payload.empty() ||
          std::memcmp(stored + PK_SIZE + SIG_SIZE, cred.payload.data(), cred.payload.size()) == 0);
}

// What an entry holds besides its bytes: list and table nodes, the id.
std::size_t SignatureCache::cost(std::size_t credential_bytes) noexcept {
  return credential_bytes + sizeof(Entry) + 64;
}

SignatureCache::Found SignatureCache::find(const CredentialView& cred) noexcept {
  if (max_bytes_ == 0) {
    misses_.fetch_add(1, std::memory_order_relaxed);
    return {};
  }
  const std::uint64_t key = key_of(cred);
  const std::lock_guard lock(mutex_);
  const auto found = by_key_.find(key);
  if (found == by_key_.end() || !same(*found->second, cred)) {
    misses_.fetch_add(1, std::memory_order_relaxed);
    return {};
  }
  hits_.fetch_add(1, std::memory_order_relaxed);
  entries_.splice(entries_.begin(), entries_, found->second);
  return {true, found->second->id};
}

void SignatureCache::remember_id(const CredentialView& cred, const RevocationId& id) noexcept {
  const std::uint64_t key = key_of(cred);
  const std::lock_guard lock(mutex_);
  const auto found = by_key_.find(key);
  if (found != by_key_.end() && same(*found->second, cred)) found->second->id = id;
}

void SignatureCache::remember(const CredentialView& cred,
                              const std::optional<RevocationId>& id) noexcept {
  const std::size_t size = PK_SIZE + SIG_SIZE + cred.payload.size();
  if (cost(size) > max_bytes_) return;
  const std::uint64_t key = key_of(cred);
  try {
    Entry entry{key, Bytes(size), id};
    std::memcpy(entry.credential.data(), cred.issuer_pk.data(), PK_SIZE);
    std::memcpy(entry.credential.data() + PK_SIZE, cred.sig.data(), SIG_SIZE);
    if (!cred.payload.empty()) {
      std::memcpy(entry.credential.data() + PK_SIZE + SIG_SIZE, cred.payload.data(),
                  cred.payload.size());
    }
    const std::lock_guard lock(mutex_);
    if (const auto old = by_key_.find(key); old != by_key_.end()) {
      // The same credential remembered by another thread meanwhile, or
      // (vanishingly rarely) another one under the same key: the newer wins.
      bytes_ -= cost(old->second->credential.size());
      entries_.erase(old->second);
      by_key_.erase(old);
    }
    while (!entries_.empty() && bytes_ + cost(size) > max_bytes_) {
      bytes_ -= cost(entries_.back().credential.size());
      by_key_.erase(entries_.back().key);
      entries_.pop_back();
    }
    entries_.push_front(std::move(entry));
    try {
      by_key_.emplace(key, entries_.begin());
    } catch (const std::bad_alloc&) {
      entries_.pop_front();
      return;
    }
    bytes_ += cost(size);
  } catch (const std::bad_alloc&) {
    // Not remembered; the next call checks the signature again.
  }
}

CacheInfo SignatureCache::info() const noexcept {
  const std::lock_guard lock(mutex_);
  return {hits_.load(std::memory_order_relaxed), misses_.load(std::memory_order_relaxed),
          entries_.size(), bytes_, max_bytes_};
}

// ---------------------------------------------------------------------------
// Verifier

std::size_t Verifier::Seeded::operator()(const RevocationId& id) const noexcept {
  return static_cast<std::size_t>(mix(load64(id.data()) ^ seed) ^ load64(id.data() + 8));
}

std::size_t Verifier::Seeded::operator()(const PublicKey& key) const noexcept {
  return static_cast<std::size_t>(mix(load64(key.data()) ^ seed) ^ load64(key.data() + 8));
}

// What is known of each credential of one chain: whether the cache has seen
// exactly it verify, and its revocation id once someone needed it. Ids are
// computed only for a verifier that has revoked something: hashing the
// signature costs a fifth of checking it.
struct Verifier::Remembered final : SignatureVerdicts {
  std::array<std::optional<RevocationId>, MAX_CHAIN_LEN> ids{};
  std::array<bool, MAX_CHAIN_LEN> id_was_cached{};
  std::array<bool, MAX_CHAIN_LEN> verified{};
  std::array<bool, MAX_CHAIN_LEN> newly_verified{};

  const RevocationId& id(std::size_t index, const CredentialView& cred) noexcept {
    if (!ids[index]) ids[index] = revocation_id(cred.sig);
    return *ids[index];
  }

  KStatus check(std::size_t index, const CredentialView& cred) noexcept override {
    if (verified[index]) return {};
    auto verdict = check_credential_signature(cred);
    // A failed check is never remembered: the next call runs it again.
    if (verdict) verified[index] = newly_verified[index] = true;
    return verdict;
  }
};

Verifier::Verifier(std::vector<PublicKey> roots, std::uint64_t leeway, std::size_t cache_bytes)
    : roots_(std::move(roots)),
      leeway_(leeway),
      cache_(cache_bytes),
      revoked_ids_(0, Seeded{random_seed()}),
      revoked_keys_(0, Seeded{random_seed()}) {
  for (const PublicKey& root : roots_) root_ids_.push_back(key_id(root));
}

std::shared_ptr<const mldsa65::PreparedPublicKey> PreparedKeys::find(PublicKeyView pk) noexcept {
  const auto same_key = [&](const auto& kept) {
    return std::memcmp(kept->encoded, pk.data(), PK_SIZE) == 0;
  };
  {
    const std::lock_guard lock(mutex_);
    const auto found = std::find_if(kept_.begin(), kept_.end(), same_key);
    if (found != kept_.end()) {
      std::rotate(kept_.begin(), found, found + 1);
      return kept_.front();
    }
  }
  // Made without the lock: preparing costs what one verification does. Two
  // threads may both make the same key; the later finds the earlier's.
  std::shared_ptr<mldsa65::PreparedPublicKey> made;
  try {
    made = std::make_shared<mldsa65::PreparedPublicKey>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  mldsa65::prepare(pk, *made);
  const std::lock_guard lock(mutex_);
  const auto found = std::find_if(kept_.begin(), kept_.end(), same_key);
  if (found != kept_.end()) return *found;
  try {
    if (kept_.size() < kKept) kept_.emplace_back();
  } catch (const std::bad_alloc&) {
    return made;
  }
  std::rotate(kept_.begin(), kept_.end() - 1, kept_.end());
  kept_.front() = made;
  return made;
}

bool Verifier::check_request_signature(PublicKeyView holder, ByteView message,
                                       SignatureView signature) noexcept {
  if (cache_.enabled()) {
    if (const auto prepared = holders_.find(holder)) {
      return check_request(*prepared, message, signature);
    }
  }
  return check_request(holder, message, signature);
}

std::optional<VerifierRefusal> Verifier::screen(const DecodedChain& chain,
                                                Remembered& known) const noexcept {
  const std::shared_lock lock(revocation_mutex_);
  if (revoked_ids_.empty() && revoked_keys_.empty()) return std::nullopt;
  const auto key_revoked = [&](ByteView key) {
    PublicKey copy;
    std::copy_n(key.begin(), PK_SIZE, copy.begin());
    return revoked_keys_.contains(copy);
  };
  for (std::size_t i = 0; i < chain.count; ++i) {
    const CredentialView& cred = chain.slots[i];
    VerifierRefusal refusal;
    refusal.index = static_cast<std::uint32_t>(i);
    if (!revoked_ids_.empty() && revoked_ids_.contains(known.id(i, cred))) {
      refusal.kind = VerifierRefusal::Kind::RevokedCredential;
      refusal.revoked_id = known.id(i, cred);
      return refusal;
    }
    if (revoked_keys_.empty()) continue;
    // A key takes part in a credential as its issuer or as its child. The
    // child of one credential is the issuer of the next; the last child is
    // read from its payload, unverified, since refusing needs no proof.
    std::optional<PublicKeyView> involved;
    if (i == 0 && key_revoked(cred.issuer_pk)) {
      involved = cred.issuer_pk;
    } else if (i + 1 < chain.count) {
      if (key_revoked(chain.slots[i + 1].issuer_pk)) involved = chain.slots[i + 1].issuer_pk;
    } else if (cred.payload.size() >= PK_SIZE && key_revoked(cred.payload.first(PK_SIZE))) {
      involved = cred.payload.first<PK_SIZE>();
    }
    if (involved) {
      refusal.kind = VerifierRefusal::Kind::RevokedKey;
      refusal.revoked_id = known.id(i, cred);
      refusal.revoked_key = *involved;
      return refusal;
    }
  }
  return std::nullopt;
}

// The trusted root that issued the first credential. A chain from no trusted
// root is walked against the first one, so that it is refused exactly as a
// wrong root is: ParentKeyMismatch at credential 0.
std::size_t Verifier::root_for(const DecodedChain& chain) const noexcept {
  const auto issuer = chain.slots[0].issuer_pk;
  for (std::size_t r = 0; r < roots_.size(); ++r) {
    if (std::ranges::equal(roots_[r], issuer)) return r;
  }
  return 0;
}

Result<VerifierAnswer, VerifierRefusal> Verifier::verify(ByteView wire, std::uint64_t now,
                                                         bool want_ids,
                                                         const VerifiedBefore* before) noexcept {
  const auto decoded = decode_chain(wire);
  if (!decoded) return fail(VerifierRefusal{.rule = {decoded.error(), std::nullopt}});
  const DecodedChain& chain = *decoded;

  Remembered known;
  if (before != nullptr && before->count == chain.count && cache_.enabled()) {
    for (std::size_t i = 0; i < chain.count; ++i) {
      known.verified[i] = true;
      known.id_was_cached[i] = true;
      known.ids[i] = before->ids[i];
    }
    cache_.count_hits(chain.count);
  } else {
    for (std::size_t i = 0; i < chain.count; ++i) {
      auto found = cache_.find(chain.slots[i]);
      known.verified[i] = found.verified;
      known.id_was_cached[i] = found.id.has_value();
      known.ids[i] = found.id;
    }
  }
  // Revocation is the verifier's own list, consulted before any signature is
  // checked, so a revoked chain costs no ML-DSA work.
  if (auto refusal = screen(chain, known)) return fail(*refusal);

  const std::size_t root = root_for(chain);
  auto walked = [&]() -> Result<ChainAuthority, ChainRefusal> {
    auto at_now = verify_chain(roots_[root], wire, now, known);
    if (at_now || leeway_ == 0 || !is_time_refusal(at_now.error().error)) return at_now;
    // Within the leeway the chain is accepted if it holds at some time near
    // `now`; otherwise the refusal stays the one at `now`.
    const auto nearest = time_within_leeway(chain, now, leeway_);
    if (!nearest) return at_now;
    auto at_nearest = verify_chain(roots_[root], wire, *nearest, known);
    if (!at_nearest) return at_now;
    return at_nearest;
  }();

  if (walked && want_ids) {
    for (std::size_t i = 0; i < chain.count; ++i) (void)known.id(i, chain.slots[i]);
  }
  // Whatever the outcome, a signature that verified stays true of those bytes.
  for (std::size_t i = 0; i < chain.count; ++i) {
    if (known.newly_verified[i]) {
      cache_.remember(chain.slots[i], known.ids[i]);
    } else if (known.verified[i] && known.ids[i] && !known.id_was_cached[i]) {
      cache_.remember_id(chain.slots[i], *known.ids[i]);
    }
  }
  if (!walked) return fail(VerifierRefusal{.rule = walked.error()});
  VerifierAnswer answer{*walked, root};
  if (want_ids) {
    for (std::size_t i = 0; i < chain.count; ++i) answer.ids[i] = *known.ids[i];
    answer.has_ids = true;
  }
  return answer;
}

void Verifier::revoke(std::span<const RevocationId> ids) {
  const std::unique_lock lock(revocation_mutex_);
  revoked_ids_.insert(ids.begin(), ids.end());
}

void Verifier::unrevoke(std::span<const RevocationId> ids) noexcept {
  const std::unique_lock lock(revocation_mutex_);
  for (const RevocationId& id : ids) revoked_ids_.erase(id);
}

void Verifier::revoke_key(const PublicKey& key) {
  const std::unique_lock lock(revocation_mutex_);
  revoked_keys_.insert(key);
}

void Verifier::unrevoke_key(const PublicKey& key) noexcept {
  const std::unique_lock lock(revocation_mutex_);
  revoked_keys_.erase(key);
}

std::vector<RevocationId> Verifier::revoked_ids() const {
  const std::shared_lock lock(revocation_mutex_);
  return {revoked_ids_.begin(), revoked_ids_.end()};
}

std::vector<PublicKey> Verifier::revoked_keys() const {
  const std::shared_lock lock(revocation_mutex_);
  return {revoked_keys_.begin(), revoked_keys_.end()};
}

}  // namespace vestrel
