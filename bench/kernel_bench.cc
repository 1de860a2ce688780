// Costs of identity derivation, signing and verification, with PQClean's own
// top-level ML-DSA-65 functions measured alongside on the same key and the
// same messages. PQClean expands its encoded private key on every signature;
// the adapter signs from the expanded key an identity keeps.
//
// Signing time depends on how many rejection-loop attempts a message needs,
// so each signing benchmark cycles through many different messages.
//
//   kernel_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "identity.h"
#include "mldsa65.h"
#include "mldsa65_sk_encoding.h"

extern "C" {
#include "api.h"
}

namespace {

using namespace vestrel;

constexpr std::size_t kPayloadBytes = 2048;
constexpr std::size_t kMessageCount = 512;

// A key pair from PQClean's own key generation, held both in PQClean's
// encoded form and expanded for the adapter, so both signers use one key.
struct SharedKey {
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_PUBLICKEYBYTES> pk{};
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_SECRETKEYBYTES> sk{};
  std::unique_ptr<mldsa65::ExpandedKey> expanded = std::make_unique<mldsa65::ExpandedKey>();

  SharedKey() {
    if (PQCLEAN_MLDSA65_CLEAN_crypto_sign_keypair(pk.data(), sk.data()) != 0) std::abort();
    mldsa65::load_secret_key(sk, *expanded);
  }
};

const SharedKey& shared_key() {
  static const SharedKey key;
  return key;
}

// Distinct 2 KB messages: a counter in the first bytes, a fixed pattern after.
const std::vector<Bytes>& messages() {
  static const std::vector<Bytes> all = [] {
    Bytes pattern(kPayloadBytes);
    for (std::size_t i = 0; i < kPayloadBytes; ++i) pattern[i] = static_cast<std::uint8_t>(i * 131);
    std::vector<Bytes> out(kMessageCount, pattern);
    for (std::size_t m = 0; m < kMessageCount; ++m) {
      out[m][0] = static_cast<std::uint8_t>(m);
      out[m][1] = static_cast<std::uint8_t>(m >> 8);
    }
    return out;
  }();
  return all;
}

// --- Derivation and key generation ----------------------------------------------

void BM_DeriveIdentity(benchmark::State& state) {
  const std::array<std::uint8_t, SEED_SIZE> master{1, 2, 3};
  const Bytes deployment = {'p', 'r', 'o', 'd'}, context = {'s', 'i', 'g', 'n'};
  auto id = std::make_unique<Identity>();
  for (auto _ : state) {
    if (!derive_identity(master, deployment, context, *id)) state.SkipWithError("derive failed");
    benchmark::DoNotOptimize(id->public_key.data());
  }
  wipe_identity(*id);
}
BENCHMARK(BM_DeriveIdentity);

void BM_KeygenAdapter(benchmark::State& state) {
  std::array<std::uint8_t, mldsa65::kSeedBytes> seed{9};
  auto sk = std::make_unique<mldsa65::ExpandedKey>();
  std::array<std::uint8_t, mldsa65::kPublicKeyBytes> pk{};
  for (auto _ : state) {
    mldsa65::keygen(seed, *sk, pk);
    benchmark::DoNotOptimize(pk.data());
  }
  mldsa65::wipe(*sk);
}
BENCHMARK(BM_KeygenAdapter);

void BM_KeygenPqclean(benchmark::State& state) {
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_PUBLICKEYBYTES> pk{};
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_SECRETKEYBYTES> sk{};
  for (auto _ : state) {
    PQCLEAN_MLDSA65_CLEAN_crypto_sign_keypair(pk.data(), sk.data());
    benchmark::DoNotOptimize(pk.data());
  }
}
BENCHMARK(BM_KeygenPqclean);

// --- Signing a 2 KB payload --------------------------------------------------------

void BM_SignAdapter(benchmark::State& state) {
  const SharedKey& key = shared_key();
  const auto& msgs = messages();
  std::array<std::uint8_t, mldsa65::kSignatureBytes> sig{};
  std::size_t next = 0;
  for (auto _ : state) {
    if (!mldsa65::sign(*key.expanded, msgs[next], sig)) state.SkipWithError("sign failed");
    benchmark::DoNotOptimize(sig.data());
    next = (next + 1) % msgs.size();
  }
}
BENCHMARK(BM_SignAdapter);

void BM_SignPqclean(benchmark::State& state) {
  const SharedKey& key = shared_key();
  const auto& msgs = messages();
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_BYTES> sig{};
  std::size_t next = 0;
  for (auto _ : state) {
    std::size_t sig_len = 0;
    const Bytes& m = msgs[next];
    if (PQCLEAN_MLDSA65_CLEAN_crypto_sign_signature_ctx(sig.data(), &sig_len, m.data(), m.size(),
                                                        nullptr, 0, key.sk.data()) != 0) {
      state.SkipWithError("sign failed");
    }
    benchmark::DoNotOptimize(sig.data());
    next = (next + 1) % msgs.size();
  }
}
BENCHMARK(BM_SignPqclean);

// --- Verifying one signature ---------------------------------------------------------

struct SignedMessage {
  Bytes msg = messages()[0];
  std::array<std::uint8_t, mldsa65::kSignatureBytes> sig{};
  SignedMessage() {
    if (!mldsa65::sign(*shared_key().expanded, msg, sig)) std::abort();
  }
};

const SignedMessage& signed_message() {
  static const SignedMessage s;
  return s;
}

void BM_VerifyAdapter(benchmark::State& state) {
  const SharedKey& key = shared_key();
  const SignedMessage& s = signed_message();
  for (auto _ : state) {
    if (mldsa65::verify(key.pk, s.msg, s.sig) != mldsa65::VerifyOutcome::Valid) {
      state.SkipWithError("verify failed");
    }
  }
}
BENCHMARK(BM_VerifyAdapter);

void BM_VerifyPqclean(benchmark::State& state) {
  const SharedKey& key = shared_key();
  const SignedMessage& s = signed_message();
  for (auto _ : state) {
    if (PQCLEAN_MLDSA65_CLEAN_crypto_sign_verify_ctx(s.sig.data(), s.sig.size(), s.msg.data(),
                                                     s.msg.size(), nullptr, 0,
                                                     key.pk.data()) != 0) {
      state.SkipWithError("verify failed");
    }
  }
}
BENCHMARK(BM_VerifyPqclean);

}  // namespace

BENCHMARK_MAIN();
