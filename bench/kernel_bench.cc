// Costs of key generation, signing and verification on each ML-DSA-65
// backend and through the dispatching entry points, with PQClean's own
// top-level functions (compiled as shipped) measured alongside in the same
// binary, on the same key and the same messages; plus identity derivation and
// the verification of a 16-credential chain. scripts/bench.sh runs this and
// prints the medians as a table of ratios.
//
// PQClean expands its encoded private key on every signature; the kernel signs
// from the expanded key an identity keeps. Signing time depends on how many
// rejection-loop attempts a message needs, so every signing run signs each of
// 512 different 2 KB payloads exactly twice and reports the mean.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chain_wire.h"
#include "crypto/hkdf.h"
#include "crypto/mldsa65.h"
#include "crypto/mldsa65_backend.h"
#include "crypto/mldsa65_sk_encoding.h"
#include "identity.h"
#include "scope.h"
#include "verify.h"

extern "C" {
#include "KeccakP-1600-times4-SnP.h"
#include "api.h"
}

namespace {

using namespace vestrel;
using mldsa65::Backend;

constexpr std::size_t kPayloadBytes = 2048;
constexpr std::size_t kMessageCount = 512;
constexpr std::size_t kSignIterations = 2 * kMessageCount;

// A key pair from PQClean's own key generation, held both in PQClean's
// encoded form and expanded for the kernel, so every signer uses one key.
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

// The kernel's three ways in: each backend directly, and the dispatch.
const Backend kDispatched = {
    .name = "active",
    .keygen = mldsa65::keygen,
    .sign = [](const mldsa65::ExpandedKey& sk, ByteView msg,
               mldsa65::Signature sig) noexcept { return mldsa65::sign(sk, msg, sig).has_value(); },
    .verify = mldsa65::verify,
    .encode_secret_key = mldsa65::encode_secret_key,
    .load_secret_key = mldsa65::load_secret_key,
    .sign_in_context =
        [](const mldsa65::ExpandedKey& sk, ByteView context, ByteView msg,
           mldsa65::Signature sig) noexcept {
          return mldsa65::sign(sk, context, msg, sig).has_value();
        },
    .verify_in_context = mldsa65::verify,
    .prepare = mldsa65::prepare,
    .verify_prepared = [](const mldsa65::PreparedPublicKey& prepared, ByteView context,
                          ByteView msg, mldsa65::SignatureView sig) noexcept {
      return mldsa65::verify(prepared, context, msg, sig);
    },
};

// Every row is labelled with the backend that ran it, the dispatched rows
// included.
bool runnable(const Backend& b, benchmark::State& state) {
  if (&b == &kDispatched) {
    state.SetLabel(mldsa65::active_backend().name);
    return true;
  }
  if (!mldsa65::cpu_runs(b)) {
    state.SkipWithError((std::string("this CPU cannot run the ") + b.name + " backend").c_str());
    return false;
  }
  state.SetLabel(b.name);
  return true;
}

// --- Key generation from a seed ------------------------------------------------------

void BM_Keygen(benchmark::State& state, const Backend* b) {
  if (!runnable(*b, state)) return;
  std::array<std::uint8_t, mldsa65::kSeedBytes> seed{9};
  auto sk = std::make_unique<mldsa65::ExpandedKey>();
  std::array<std::uint8_t, mldsa65::kPublicKeyBytes> pk{};
  for (auto _ : state) {
    b->keygen(seed, *sk, pk);
    benchmark::DoNotOptimize(pk.data());
  }
  mldsa65::wipe(*sk);
}
BENCHMARK_CAPTURE(BM_Keygen, active, &kDispatched);
BENCHMARK_CAPTURE(BM_Keygen, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_Keygen, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_Keygen, avx512, &mldsa65::avx512::kBackend);

// PQClean's keypair draws its seed from randombytes (the OS) first; that read
// is a small part of its cost and is included, as it is in PQClean's own use.
void BM_KeygenPqclean(benchmark::State& state) {
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_PUBLICKEYBYTES> pk{};
  std::array<std::uint8_t, PQCLEAN_MLDSA65_CLEAN_CRYPTO_SECRETKEYBYTES> sk{};
  for (auto _ : state) {
    PQCLEAN_MLDSA65_CLEAN_crypto_sign_keypair(pk.data(), sk.data());
    benchmark::DoNotOptimize(pk.data());
  }
}
BENCHMARK(BM_KeygenPqclean);

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

// The HKDF half of derive_identity alone: the seed key generation starts from.
void BM_DeriveSeed(benchmark::State& state) {
  const std::array<std::uint8_t, SEED_SIZE> master{1, 2, 3};
  const Bytes salt(kDerivationLabel, kDerivationLabel + sizeof kDerivationLabel - 1);
  const Bytes deployment = {'p', 'r', 'o', 'd'}, separator = {':'}, context = {'s', 'i', 'g', 'n'};
  const std::array<ByteView, 3> info = {deployment, separator, context};
  std::array<std::uint8_t, hkdf::kHashLen> prk{};
  std::array<std::uint8_t, SEED_SIZE> seed{};
  for (auto _ : state) {
    hkdf::extract(salt, master, prk);
    if (!hkdf::expand(prk, info, seed)) state.SkipWithError("expand failed");
    benchmark::DoNotOptimize(seed.data());
  }
}
BENCHMARK(BM_DeriveSeed);

// --- Signing 2 KB payloads, the mean over 512 of them --------------------------------

void BM_Sign(benchmark::State& state, const Backend* b) {
  if (!runnable(*b, state)) return;
  const SharedKey& key = shared_key();
  const auto& msgs = messages();
  std::array<std::uint8_t, mldsa65::kSignatureBytes> sig{};
  std::size_t next = 0;
  for (auto _ : state) {
    if (!b->sign(*key.expanded, msgs[next], sig)) state.SkipWithError("sign failed");
    benchmark::DoNotOptimize(sig.data());
    next = (next + 1) % msgs.size();
  }
}
BENCHMARK_CAPTURE(BM_Sign, active, &kDispatched)->Iterations(kSignIterations);
BENCHMARK_CAPTURE(BM_Sign, portable, &mldsa65::portable::kBackend)->Iterations(kSignIterations);
BENCHMARK_CAPTURE(BM_Sign, avx2, &mldsa65::avx2::kBackend)->Iterations(kSignIterations);
BENCHMARK_CAPTURE(BM_Sign, avx512, &mldsa65::avx512::kBackend)->Iterations(kSignIterations);

// Signing from the packed (skEncode) key, as a signer that keeps only that
// form must: the key is unpacked and expanded (A-hat, the NTT of s1) first,
// every time, as PQClean's own signing does.
void BM_SignPacked(benchmark::State& state, const Backend* b) {
  if (!runnable(*b, state)) return;
  const SharedKey& key = shared_key();
  const auto& msgs = messages();
  auto expanded = std::make_unique<mldsa65::ExpandedKey>();
  std::array<std::uint8_t, mldsa65::kSignatureBytes> sig{};
  std::size_t next = 0;
  for (auto _ : state) {
    b->load_secret_key(key.sk, *expanded);
    if (!b->sign(*expanded, msgs[next], sig)) state.SkipWithError("sign failed");
    benchmark::DoNotOptimize(sig.data());
    next = (next + 1) % msgs.size();
  }
  mldsa65::wipe(*expanded);
}
BENCHMARK_CAPTURE(BM_SignPacked, active, &kDispatched)->Iterations(kSignIterations);
BENCHMARK_CAPTURE(BM_SignPacked, portable, &mldsa65::portable::kBackend)
    ->Iterations(kSignIterations);
BENCHMARK_CAPTURE(BM_SignPacked, avx2, &mldsa65::avx2::kBackend)->Iterations(kSignIterations);
BENCHMARK_CAPTURE(BM_SignPacked, avx512, &mldsa65::avx512::kBackend)->Iterations(kSignIterations);

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
BENCHMARK(BM_SignPqclean)->Iterations(kSignIterations);

// --- Verifying one signature ------------------------------------------------------------

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

void BM_Verify(benchmark::State& state, const Backend* b) {
  if (!runnable(*b, state)) return;
  const SharedKey& key = shared_key();
  const SignedMessage& s = signed_message();
  for (auto _ : state) {
    if (b->verify(key.pk, s.msg, s.sig) != mldsa65::VerifyOutcome::Valid) {
      state.SkipWithError("verify failed");
    }
  }
}
BENCHMARK_CAPTURE(BM_Verify, active, &kDispatched);
BENCHMARK_CAPTURE(BM_Verify, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_Verify, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_Verify, avx512, &mldsa65::avx512::kBackend);

// The same signature against the key prepared once (a verifier keeps its
// holders' keys so): the key's half of the work, its hash, A-hat and the
// image of t1, is done before the loop.
void BM_VerifyPrepared(benchmark::State& state, const Backend* b) {
  if (!runnable(*b, state)) return;
  const SignedMessage& s = signed_message();
  auto prepared = std::make_unique<mldsa65::PreparedPublicKey>();
  b->prepare(shared_key().pk, *prepared);
  for (auto _ : state) {
    if (b->verify_prepared(*prepared, ByteView(), s.msg, s.sig) != mldsa65::VerifyOutcome::Valid) {
      state.SkipWithError("verify failed");
    }
  }
}
BENCHMARK_CAPTURE(BM_VerifyPrepared, active, &kDispatched);
BENCHMARK_CAPTURE(BM_VerifyPrepared, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_VerifyPrepared, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_VerifyPrepared, avx512, &mldsa65::avx512::kBackend);

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

// --- Four Keccak-f[1600] permutations at once ------------------------------------------
//
// The permutation behind every matrix entry and secret polynomial the AVX2
// backend samples, alone: ours (crypto/keccak_x4.h) next to PQClean's, which
// the backend used before, on the same states.

struct alignas(32) StatesX4 {
  std::uint64_t lanes[100];
  StatesX4() {
    for (unsigned i = 0; i < 100; ++i) lanes[i] = 0x9E3779B97F4A7C15u * (i + 1);
  }
};

void BM_KeccakX4(benchmark::State& state) {
  if (!runnable(mldsa65::avx2::kBackend, state)) return;
  StatesX4 s;
  for (auto _ : state) {
    mldsa65::avx2::keccak_f1600_x4(s.lanes);
    benchmark::DoNotOptimize(s.lanes);
  }
}
BENCHMARK(BM_KeccakX4)->Name("BM_KeccakX4/avx2");

// The same four-way permutation in AVX-512VL's instructions, and eight at
// once in 512-bit registers; per state, eight-way is the cheapest.
void BM_KeccakX4Avx512(benchmark::State& state) {
  if (!runnable(mldsa65::avx512::kBackend, state)) return;
  StatesX4 s;
  for (auto _ : state) {
    mldsa65::avx512::keccak_f1600_x4(s.lanes);
    benchmark::DoNotOptimize(s.lanes);
  }
}
BENCHMARK(BM_KeccakX4Avx512)->Name("BM_KeccakX4/avx512");

struct alignas(64) StatesX8 {
  std::uint64_t lanes[200];
  StatesX8() {
    for (unsigned i = 0; i < 200; ++i) lanes[i] = 0x9E3779B97F4A7C15u * (i + 1);
  }
};

void BM_KeccakX8(benchmark::State& state) {
  if (!runnable(mldsa65::avx512::kBackend, state)) return;
  StatesX8 s;
  for (auto _ : state) {
    mldsa65::avx512::keccak_f1600_x8(s.lanes);
    benchmark::DoNotOptimize(s.lanes);
  }
}
BENCHMARK(BM_KeccakX8)->Name("BM_KeccakX8/avx512");

void BM_KeccakX4Pqclean(benchmark::State& state) {
  if (!mldsa65::cpu_runs_avx2_backend()) {
    state.SkipWithError("this CPU has no AVX2");
    return;
  }
  StatesX4 s;
  for (auto _ : state) {
    KeccakP1600times4_PermuteAll_24rounds(s.lanes);
    benchmark::DoNotOptimize(s.lanes);
  }
}
BENCHMARK(BM_KeccakX4Pqclean);

// --- One transform of 256 coefficients ------------------------------------------------
//
// The forward and the inverse NTT and the coefficientwise product, alone, on
// each backend. The inverse runs on its own output over and over; it stays in
// range because every call leaves coefficients below q in magnitude.

struct alignas(32) BenchPoly {
  std::int32_t c[mldsa65::kN];
  explicit BenchPoly(std::uint32_t seed) {
    for (std::uint32_t i = 0; i < mldsa65::kN; ++i) {
      c[i] = static_cast<std::int32_t>((seed + i * 2654435761u) % 8380417u) - 4190208;
    }
  }
};

const mldsa65::PolyArithmetic* poly_arithmetic(const Backend* b, benchmark::State& state) {
  if (!runnable(*b, state)) return nullptr;
  if (b == &mldsa65::avx2::kBackend) return &mldsa65::avx2::kPolyArithmetic;
  if (b == &mldsa65::avx512::kBackend) return &mldsa65::avx512::kPolyArithmetic;
  return &mldsa65::portable::kPolyArithmetic;
}

void BM_Ntt(benchmark::State& state, const Backend* b) {
  const mldsa65::PolyArithmetic* f = poly_arithmetic(b, state);
  if (f == nullptr) return;
  const BenchPoly input(1);
  BenchPoly p(1);
  for (auto _ : state) {
    // The forward transform grows its input; each run starts from the same one
    // (the copy of 1 KB is in the figure, on every backend alike).
    std::memcpy(p.c, input.c, sizeof p.c);
    f->ntt(p.c);
    benchmark::DoNotOptimize(p.c);
  }
}
BENCHMARK_CAPTURE(BM_Ntt, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_Ntt, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_Ntt, avx512, &mldsa65::avx512::kBackend);

void BM_InvNtt(benchmark::State& state, const Backend* b) {
  const mldsa65::PolyArithmetic* f = poly_arithmetic(b, state);
  if (f == nullptr) return;
  BenchPoly p(2);
  for (auto _ : state) {
    f->invntt_tomont(p.c);
    benchmark::DoNotOptimize(p.c);
  }
}
BENCHMARK_CAPTURE(BM_InvNtt, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_InvNtt, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_InvNtt, avx512, &mldsa65::avx512::kBackend);

void BM_Pointwise(benchmark::State& state, const Backend* b) {
  const mldsa65::PolyArithmetic* f = poly_arithmetic(b, state);
  if (f == nullptr) return;
  const BenchPoly x(3), y(4);
  BenchPoly out(0);
  for (auto _ : state) {
    f->pointwise(out.c, x.c, y.c);
    benchmark::DoNotOptimize(out.c);
  }
}
BENCHMARK_CAPTURE(BM_Pointwise, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_Pointwise, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_Pointwise, avx512, &mldsa65::avx512::kBackend);

// --- A 16-credential chain ------------------------------------------------------------------
//
// Identity i derives from master = 32 bytes of value i, deployment "bench",
// context "chain"; identity i issues credential i+1 (scope docs/read, no
// caveats) to identity i+1, the last as a leaf. bench/python_bench.py builds
// the same chain, byte for byte, through the module.

ByteView text(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

struct Chain16 {
  std::array<std::uint8_t, PK_SIZE> root_pk{};
  std::vector<IssuedCredential> creds;
  std::vector<std::array<std::uint8_t, PK_SIZE>> issuers;
  Bytes wire;

  Chain16() {
    std::vector<std::unique_ptr<Identity>> ids;
    for (unsigned i = 0; i <= MAX_CHAIN_LEN; ++i) {
      std::array<std::uint8_t, SEED_SIZE> master;
      master.fill(static_cast<std::uint8_t>(i));
      ids.push_back(std::make_unique<Identity>());
      if (!derive_identity(master, text("bench"), text("chain"), *ids.back())) std::abort();
    }
    auto record = perm_tlv(text("docs"), text("read"));
    if (!record) std::abort();
    const ByteView scope = record->view();
    for (unsigned i = 0; i < MAX_CHAIN_LEN; ++i) {
      const Role role = i + 1 == MAX_CHAIN_LEN ? Role::Leaf : Role::Node;
      auto issued = issue_credential(*ids[i], ids[i + 1]->public_key, role, i + 1, scope, {});
      if (!issued) std::abort();
      creds.push_back(std::move(*issued));
      issuers.push_back(ids[i]->public_key);
    }
    root_pk = ids[0]->public_key;
    std::vector<CredentialView> views;
    for (unsigned i = 0; i < MAX_CHAIN_LEN; ++i) {
      views.push_back({issuers[i], creds[i].sig, creds[i].payload});
    }
    auto encoded = encode_chain(views);
    if (!encoded) std::abort();
    wire = std::move(*encoded);
    for (auto& id : ids) wipe_identity(*id);
  }
};

const Chain16& chain16() {
  static const Chain16 c;
  return c;
}

// Only the 16 signature checks, each on its own.
void BM_Chain16Signatures(benchmark::State& state) {
  const Chain16& c = chain16();
  for (auto _ : state) {
    for (unsigned i = 0; i < MAX_CHAIN_LEN; ++i) {
      if (mldsa65::verify(c.issuers[i], c.creds[i].payload, c.creds[i].sig) !=
          mldsa65::VerifyOutcome::Valid) {
        state.SkipWithError("verify failed");
      }
    }
  }
}
BENCHMARK(BM_Chain16Signatures);

// The same 16 checks on each backend directly.
void BM_Verify16(benchmark::State& state, const Backend* b) {
  if (!runnable(*b, state)) return;
  const Chain16& c = chain16();
  for (auto _ : state) {
    for (unsigned i = 0; i < MAX_CHAIN_LEN; ++i) {
      if (b->verify(c.issuers[i], c.creds[i].payload, c.creds[i].sig) !=
          mldsa65::VerifyOutcome::Valid) {
        state.SkipWithError("verify failed");
      }
    }
  }
}
BENCHMARK_CAPTURE(BM_Verify16, active, &kDispatched);
BENCHMARK_CAPTURE(BM_Verify16, portable, &mldsa65::portable::kBackend);
BENCHMARK_CAPTURE(BM_Verify16, avx2, &mldsa65::avx2::kBackend);
BENCHMARK_CAPTURE(BM_Verify16, avx512, &mldsa65::avx512::kBackend);

// The kernel's whole walk: decoding, every rule, every signature.
void BM_Chain16VerifyDelegation(benchmark::State& state) {
  const Chain16& c = chain16();
  for (auto _ : state) {
    auto n = verify_delegation(c.root_pk, c.wire, 1'700'000'000);
    if (!n || *n != MAX_CHAIN_LEN) state.SkipWithError("chain refused");
  }
}
BENCHMARK(BM_Chain16VerifyDelegation);

}  // namespace

BENCHMARK_MAIN();
