// A second reader of the conformance vectors, in another language and over a
// general-purpose ML-DSA library that knows nothing of credentials. Every layout,
// rule, order and message below comes from docs/formats.md and docs/errors.md, so
// a case that fails here means the documents, the vectors and the module disagree.
//
//     node check_vectors.mjs [vectors-dir]     (after npm ci --ignore-scripts here)
//
// The library signs and verifies; what it cannot do is written here from the
// documents: tell a signature that does not decode from one that does not verify.
import { createHash, createHmac } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { isDeepStrictEqual } from 'node:util';
import { ml_dsa65 } from '@noble/post-quantum/ml-dsa.js';

const dir = process.argv[2] ?? new URL('../../../../vectors', import.meta.url).pathname;
const PK = 1952, SIG = 3309, RECORD = 5265, MAX_PAYLOAD = 35309;

// --- bytes ---------------------------------------------------------------------
const hex = (s) => Buffer.from(s, 'hex'), toHex = (b) => Buffer.from(b).toString('hex');
const bytes = (v) => typeof v === 'string' ? hex(v)  // hex, or pieces with {repeat, count} runs
  : Buffer.concat(v.map((p) => typeof p === 'string' ? hex(p) : Buffer.alloc(p.count, parseInt(p.repeat, 16))));
const cat = (...parts) => Buffer.concat(parts.map((p) => Buffer.from(p)));
const le32 = (n) => { const b = Buffer.alloc(4); b.writeUInt32LE(n); return b; };
const le64 = (t) => { const b = Buffer.alloc(8); b.writeBigUInt64LE(t); return b; };
const byteHex = (b) => '0x' + b.toString(16).padStart(2, '0');
const time = (v) => v === null ? null : BigInt(v);  // a JSON number, or a decimal string from 2^53 on

class Refusal extends Error { constructor(kind, text) { super(text); this.kind = kind; } }
const kernel = (name) => { throw new Refusal('error', name); };
const plain = (text) => { throw new Refusal('message', text); };

// --- records ---------------------------------------------------------------------
const permTlv = (resource, verb) => resource.length > 255 ? kernel('ResourceTooLong')
  : verb.length > 255 ? kernel('VerbTooLong') : cat([resource.length], resource, [verb.length], verb);

function scopeRecords(scope) {  // 1 to 64 records that end exactly at the end of the buffer
  if (scope.length === 0) kernel('ScopeEmpty');
  const out = [];
  for (let pos = 0; pos < scope.length;) {
    if (out.length === 64) kernel('ScopeTooLarge');
    const r = scope[pos], vAt = pos + 1 + r;
    if (vAt >= scope.length) kernel('WireInvalid');
    const v = scope[vAt], end = vAt + 1 + v;
    if (end > scope.length) kernel('WireInvalid');
    out.push([scope.subarray(pos + 1, vAt), scope.subarray(vAt + 1, end)]);
    pos = end;
  }
  return out;
}

const caveat = (tag) => (t) => cat([tag], le64(t));
const caveatRecords = (c) => Array.from({ length: Math.floor(c.length / 9) },
  (_, i) => [c[9 * i], c.readBigUInt64LE(9 * i + 1)]);
function validateCaveats(c) {
  if (c.length > 576) kernel('CaveatsTooLarge');
  if (c.length % 9 || caveatRecords(c).some(([tag]) => tag !== 1 && tag !== 2)) kernel('MalformedCaveatBuffer');
}

// --- payloads ----------------------------------------------------------------------
function decodePayload(p) {  // the strict reader of verification
  if (p.length < 1953) kernel('WireTruncated');
  if (p[1952] > 1) kernel('InvalidRoleByte');
  if (p.length < 1961) kernel('WireTruncated');
  const S = p.readUInt32LE(1957);
  if (p.length < 1965 + S) kernel('WireTruncated');
  const C = p.readUInt32LE(1961 + S);
  if (p.length < 1965 + S + C) kernel('WireTruncated');
  if (p.length > 1965 + S + C) kernel('WireInvalid');
  const perms = scopeRecords(p.subarray(1961, 1961 + S)), caveats = p.subarray(1965 + S);
  validateCaveats(caveats);
  return { child: p.subarray(0, PK), role: p[1952], depth: p.readUInt32LE(1953), perms, caveats: caveatRecords(caveats) };
}

function parsePayload(p) {  // the lenient reader for display
  if (p.length < 1965) plain('payload too short');
  if (p[1952] > 1) plain(`invalid role byte: ${byteHex(p[1952])}`);
  const S = p.readUInt32LE(1957);
  if (1961 + S > p.length) plain('payload truncated at scope');
  if (1965 + S > p.length) plain('payload truncated at caveat length');
  const C = p.readUInt32LE(1961 + S);
  if (1965 + S + C > p.length) plain('payload truncated at caveats');
  const perms = scopeRecords(p.subarray(1961, 1961 + S));
  const bounds = { 1: null, 2: null };
  for (const [tag, t] of caveatRecords(p.subarray(1965 + S, 1965 + S + C))) {
    if (tag !== 1 && tag !== 2) plain(`unknown caveat tag: ${byteHex(tag)}`);
    bounds[tag] = t;
  }
  return { child_pk: p.subarray(0, PK), role: p[1952] ? 'node' : 'leaf', depth: p.readUInt32LE(1953), perms,
           not_before: bounds[1], not_after: bounds[2] };
}

// --- the chain wire ----------------------------------------------------------------
function decodeChain(w) {
  if (w.length === 0) kernel('WireTruncated');
  if (w[0] !== 1) kernel('WireVersionMismatch');
  if (w.length < 5) kernel('WireTruncated');
  const n = w.readUInt32LE(1);
  if (n === 0) kernel('EmptyChain');
  if (n > 16) kernel('ChainTooDeep');
  const out = [];
  for (let pos = 5; out.length < n;) {  // key, signature, payload length, payload
    if (w.length - pos < RECORD) kernel('WireTruncated');
    const P = w.readUInt32LE(pos + 5261);
    if (w.length - pos - RECORD < P) kernel('WireTruncated');
    out.push([w.subarray(pos, pos + PK), w.subarray(pos + PK, pos + 5261), w.subarray(pos + RECORD, pos + RECORD + P)]);
    pos += RECORD + P;
  }
  return out;
}

function encodeChain(creds) {
  creds.forEach((c) => c.length === 3 || plain(`expected tuple of length 3, but got tuple of length ${c.length}`));
  creds.forEach(([pk, sig], i) => {
    if (pk.length !== PK) plain(`credential[${i}] issuer_pk must be 1952 bytes`);
    if (sig.length !== SIG) plain(`credential[${i}] sig must be 3309 bytes`);
  });
  let size = 5;
  for (const [, , p] of creds) if ((size += RECORD + p.length) > 5 + (RECORD + MAX_PAYLOAD) * creds.length) kernel('WireTruncated');
  return cat([1], le32(creds.length), ...creds.flatMap(([k, s, p]) => [k, s, le32(p.length), p]));
}

// --- identities, issuance, verification ----------------------------------------------
const hmacSha3 = (key, message) => createHmac('sha3-512', key).update(message).digest();
function derive(master, deployment, context) {
  const prk = hmacSha3('Vestrel-Kernel-v1', master);
  return ml_dsa65.keygen(hmacSha3(prk, cat(deployment, ':', context, [1])).subarray(0, 32));
}

function issue(keys, childPk, role, depth, scope, caveats) {
  if (childPk.length !== PK) plain('child_pk must be 1952 bytes');
  const folded = Buffer.from(role, 'utf8').map((b) => b >= 0x41 && b <= 0x5a ? b + 0x20 : b).toString('latin1');
  const roleByte = folded === 'leaf' ? 0 : folded === 'node' ? 1 : plain("role must be 'leaf' or 'node'");
  scopeRecords(scope);
  validateCaveats(caveats);
  if (depth > 16) kernel('ChainTooDeep');
  const payload = cat(childPk, [roleByte], le32(depth), le32(scope.length), scope, le32(caveats.length), caveats);
  // Pure mode, empty context, deterministic: rnd is 32 zero bytes.
  return { payload: toHex(payload), signature: toHex(ml_dsa65.sign(payload, keys.secretKey, { extraEntropy: false })) };
}

function signatureDecodes(sig) {
  const hints = sig.subarray(SIG - 61), counts = hints.subarray(55);
  let index = 0;
  for (const count of counts) {  // HintBitUnpack: counts rise to at most 55, indices strictly rise per polynomial
    if (count < index || count > 55) return false;
    for (let j = index + 1; j < count; j++) if (hints[j - 1] >= hints[j]) return false;
    index = count;
  }
  if (hints.subarray(index, 55).some((b) => b !== 0)) return false;
  for (let i = 0; i < 1280; i++) {  // z after the 48-byte c~: two 20-bit values per 5 bytes, each 2^19 - z
    const at = 48 + 5 * (i >> 1);
    const packed = i & 1 ? (sig[at + 2] >> 4) | (sig[at + 3] << 4) | (sig[at + 4] << 12)
      : sig[at] | (sig[at + 1] << 8) | ((sig[at + 2] & 15) << 16);
    if (Math.abs((1 << 19) - packed) >= 524092) return false;
  }
  return true;
}

const covers = (p, c) => (p.length === 1 && p[0] === 0x2a) || p.equals(c);
function verify(rootPk, wire, now) {
  const chain = decodeChain(wire);
  let issuer = rootPk, parent = null;
  chain.forEach(([pk, sig, payload], k) => {
    if (!pk.equals(issuer)) kernel('ParentKeyMismatch');
    if (parent && parent.role === 0) kernel('LeafCannotDelegate');
    if (!signatureDecodes(sig)) kernel('SignatureDecodingFailed');
    if (!ml_dsa65.verify(sig, payload, pk)) kernel('SignatureInvalid');
    const c = decodePayload(payload);
    if (c.depth !== k + 1) kernel('DepthMismatch');
    const covered = ([r, v]) => parent.perms.some(([pr, pv]) => covers(pr, r) && covers(pv, v));
    if (parent && !c.perms.every(covered)) kernel('ScopeEscalation');
    for (const [tag, t] of c.caveats) {
      if (tag === 1 && now < t) kernel('NotBeforeViolation');
      if (tag === 2 && now > t) kernel('NotAfterViolation');
    }
    [issuer, parent] = [c.child, c];
  });
  return chain.length;
}

// --- tokens, chain digests, request proofs --------------------------------------------
const sha3 = (...parts) => createHash('sha3-256').update(cat(...parts)).digest();
const keyId = (pk) => sha3(pk).subarray(0, 16);
const le16 = (n) => { const b = Buffer.alloc(2); b.writeUInt16LE(n); return b; };
const B64URL = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_';
const b64len = (n) => Math.floor(n / 3) * 4 + (n % 3 ? n % 3 + 1 : 0);
const MAX_TOKEN_LEN = 4 + b64len(17 + 16 * (SIG + 2 + MAX_PAYLOAD));
const PROOF_BODY = 8 + 16 + 1 + SIG;
const indexed = (name, index) => { const e = new Refusal('error', name); e.index = index; throw e; };

function b64urlDecode(s) {  // the canonical unpadded text of some bytes, and nothing else
  if (s.length % 4 === 1) kernel('Length');
  const values = Array.from({ length: s.length }, (_, i) => B64URL.indexOf(s[i]));
  if (values.some((v) => v < 0)) kernel('Character');
  const out = Buffer.alloc(Math.floor(s.length / 4) * 3 + Math.max(0, s.length % 4 - 1));
  for (let i = 0, o = 0; i < s.length; i += 4, o += 3) {
    const group = values.slice(i, i + 4), n = group.reduce((a, v, k) => a | (v << (18 - 6 * k)), 0);
    if (group.length < 4 && n & (group.length === 2 ? 0xffff : 0xff)) kernel('FinalBits');
    [n >> 16, (n >> 8) & 255, n & 255].slice(0, group.length - 1).forEach((b, k) => { out[o + k] = b; });
  }
  return out;
}
const b64urlBody = (prefix, max, t) => t.length > max ? kernel('TooLong')
  : !t.startsWith(prefix) ? kernel('Prefix') : b64urlDecode(t.slice(prefix.length));

function tokenParts(token) {  // key id, count, then per credential: signature, u16 LE length, payload
  const body = b64urlBody('vt1.', MAX_TOKEN_LEN, token);
  if (body.length < 17) kernel('Truncated');
  const n = body[16], records = [];
  if (n === 0 || n > 16) kernel('Count');
  for (let pos = 17; records.length < n;) {
    if (body.length - pos < SIG + 2) kernel('Truncated');
    const P = body.readUInt16LE(pos + SIG), at = pos + SIG + 2;
    if (P < PK || P > MAX_PAYLOAD) kernel('PayloadLength');
    if (body.length - at < P) kernel('Truncated');
    records.push([body.subarray(pos, pos + SIG), body.subarray(at, at + P)]);
    if ((pos = at + P) !== body.length && records.length === n) kernel('Trailing');
  }
  return { rootId: body.subarray(0, 16), sigs: records.map(([s]) => s), records };
}

function decodeToken(token, rootPk) {  // the issuers come back: the root, then each payload's child key
  const { rootId, records } = tokenParts(token);
  if (!keyId(rootPk).equals(rootId)) kernel('UnknownRoot');
  return cat([1], le32(records.length), ...records.flatMap(([sig, p], i) =>
    [i ? records[i - 1][1].subarray(0, PK) : rootPk, sig, le32(p.length), p]));
}

function encodeToken(wire) {
  const chain = decodeChain(wire);
  let end = 5;
  chain.forEach(([pk, , p], i) => {
    if (p.length < PK || p.length > MAX_PAYLOAD) indexed('WireInvalid', i);
    if (i && !pk.equals(chain[i - 1][2].subarray(0, PK))) indexed('ParentKeyMismatch', i);
    end += RECORD + p.length;
  });
  if (end !== wire.length) indexed('WireInvalid', null);
  return 'vt1.' + cat(keyId(chain[0][0]), [chain.length],
    ...chain.flatMap(([, s, p]) => [s, le16(p.length), p])).toString('base64url');
}

const chainDigest = (sigs) => sha3('vestrel-chain-digest/1', [sigs.length], ...sigs.map((s) => sha3(s)));
const chainRef = (sigs) => 'vr1.' + chainDigest(sigs).toString('base64url');
const requestMessage = (fields, issuedAt, nonce, digest, body) => cat([1],
  ...fields.flatMap((f) => [le32(f.length), f]), le64(issuedAt), nonce, digest, body ? cat([1], body) : [0]);
function decodeProof(t) {  // issued_at u64 LE, nonce, flags, signature
  const body = b64urlBody('vp1.', 4 + b64len(PROOF_BODY), t);
  if (body.length < PROOF_BODY) kernel('Truncated');
  if (body[24] & ~1) kernel('Character');
  return { issued_at: body.readBigUInt64LE(0), nonce: body.subarray(8, 24), covers_body: body[24] === 1,
           signature: body.subarray(25) };
}

// --- the cases ----------------------------------------------------------------------
function outcome(fn) {
  try { return { result: fn() }; } catch (e) { if (e instanceof Refusal) return { [e.kind]: e.message }; throw e; }
}
const plainJson = (v) => Buffer.isBuffer(v) || v instanceof Uint8Array ? toHex(v)
  : typeof v === 'bigint' ? v : Array.isArray(v) ? v.map(plainJson)
  : v && typeof v === 'object' ? Object.fromEntries(Object.entries(v).map(([k, x]) => [k, plainJson(x)])) : v;
const load = (name) => JSON.parse(readFileSync(`${dir}/${name}.json`, 'utf8'));
const failures = [], tally = {};
const shown = (v) => JSON.stringify(plainJson(v), (_, x) => typeof x === 'bigint' ? `${x}` : x).slice(0, 200);
function expect(file, name, got, want) {
  tally[file] = (tally[file] ?? 0) + 1;
  if (!isDeepStrictEqual(plainJson(got), want)) failures.push(`${file}: ${name}: got ${shown(got)}`);
}
const pick = (c, keys) => Object.fromEntries(keys.filter((k) => k in c).map((k) => [k, c[k]]));

for (const c of load('derivation').cases) {
  const { publicKey } = derive(hex(c.master), hex(c.deployment), hex(c.context));
  expect('derivation', c.name, publicKey, c.public_key);
  expect('derivation', `${c.name}: key id`, createHash('sha3-256').update(publicKey).digest().subarray(0, 16), c.key_id);
}
const issuance = load('issuance');
const issuers = Object.fromEntries(Object.entries(issuance.issuers)
  .map(([name, i]) => [name, derive(hex(i.master), hex(i.deployment), hex(i.context))]));
for (const c of issuance.cases) {
  const got = outcome(() => issue(issuers[c.issuer], hex(c.child_pk), c.role, c.depth, hex(c.scope), hex(c.caveats)));
  expect('issuance', c.name, got.result ?? got, pick(c, ['payload', 'signature', 'error', 'message']));
}
const verification = load('verification');
for (const c of verification.cases) {
  for (const check of c.checks) {
    const got = outcome(() => verify(hex(verification.keys[c.root].public_key), hex(c.wire), time(check.now)));
    expect('verification', `${c.name} at ${check.now}`, got.result !== undefined ? { count: got.result } : got, pick(check, ['count', 'error']));
  }
}
const calls = {
  perm_tlv: [(r, v) => permTlv(bytes(r), bytes(v)), (x) => toHex(bytes(x))],
  not_before: [(t) => caveat(1)(time(t)), (x) => x],
  not_after: [(t) => caveat(2)(time(t)), (x) => x],
  encode_chain: [(creds) => encodeChain(creds.map((c) => c.map(bytes))), (x) => toHex(bytes(x))],
  decode_chain: [(w) => decodeChain(bytes(w)), (x) => x.map((c) => c.map((f) => toHex(bytes(f))))],
  parse_payload: [(p) => parsePayload(bytes(p)), (x) => ({ ...x, child_pk: toHex(bytes(x.child_pk)),
    perms: x.perms.map((pair) => pair.map((f) => toHex(bytes(f)))), not_before: time(x.not_before), not_after: time(x.not_after) })],
};
for (const c of load('encoding').cases) {
  const [call, result] = calls[c.call];
  const want = pick(c, ['result', 'error', 'message']);
  if ('result' in want) want.result = result(want.result);
  expect('encoding', c.name, outcome(() => call(...c.args)), want);
}

const tokens = load('tokens'), tokenKeys = Object.fromEntries(Object.entries(tokens.keys).map(([n, k]) => [n, hex(k.public_key)]));
const tokenText = (v) => typeof v === 'string' ? v : v.map((p) => typeof p === 'string' ? p : p.repeat.repeat(p.count)).join('');
for (const c of tokens.cases) {
  const wireSigs = decodeChain(hex(c.wire)).map(([, s]) => s), tokenSigs = tokenParts(c.token).sigs;
  expect('tokens', c.name, { token: encodeToken(hex(c.wire)), wire: decodeToken(c.token, tokenKeys[c.root]),
    digests: [chainDigest(wireSigs), chainDigest(tokenSigs)], refs: [chainRef(wireSigs), chainRef(tokenSigs)] },
  { token: c.token, wire: c.wire, digests: [c.chain_digest, c.chain_digest], refs: [c.chain_ref, c.chain_ref] });
}
for (const c of tokens.refusals) {
  const text = tokenText(c.token), want = { error: c.error };
  expect('tokens', c.name, outcome(() => decodeToken(text, tokenKeys[c.root])), want);
  if (c.error !== 'UnknownRoot') expect('tokens', `${c.name}: digest`, outcome(() => tokenParts(text)), want);
}
for (const c of tokens.no_token) {
  let got;
  try { got = { result: encodeToken(hex(c.wire)) }; } catch (e) { got = { error: e.message, index: e.index ?? null }; }
  expect('tokens', c.name, got, pick(c, ['error', 'index']));
}
const requests = load('requests'), context = Buffer.from(requests.context);
const fieldsOf = (c) => c.fields.map(hex);
for (const c of requests.cases) {
  const message = requestMessage(fieldsOf(c), time(c.issued_at), hex(c.nonce), hex(c.chain_digest),
    c.body_digest === null ? null : hex(c.body_digest));
  expect('requests', c.name, message, c.message);
}
for (const c of requests.proofs) {
  const keys = derive(hex(c.holder.master), hex(c.holder.deployment), hex(c.holder.context));
  const proof = decodeProof(c.proof), wire = decodeToken(c.token, hex(c.root));
  const message = requestMessage(fieldsOf(c), BigInt(c.issued_at), hex(c.nonce), chainDigest(tokenParts(c.token).sigs),
    sha3(hex(c.body)));
  const chain = decodeChain(wire);
  expect('requests', c.name, {
    message, signature: ml_dsa65.sign(message, keys.secretKey, { context, extraEntropy: false }),
    proof: [proof.issued_at === BigInt(c.issued_at), proof.nonce, proof.covers_body, proof.signature],
    valid: ml_dsa65.verify(hex(c.signature), message, keys.publicKey, { context }),
    chain: verify(hex(c.root), wire, BigInt(c.issued_at)), holder: chain.at(-1)[2].subarray(0, PK).equals(keys.publicKey),
  }, { message: c.message, signature: c.signature, proof: [true, c.nonce, true, c.signature], valid: true,
       chain: chain.length, holder: true });
}

// JSON Web Keys (docs/formats.md, "JWK"): kty AKP, alg ML-DSA-65, pub the key
// in canonical unpadded base64url, kid the SHA-256 thumbprint over the three
// required members in name order. The JOSE library, when installed, computes
// the thumbprint a second time; a reader without it still checks the rest.
let jose = null;
try { jose = await import('jose'); } catch { console.log('jose is not installed: thumbprints checked by hand only'); }
const b64url = (b) => Buffer.from(b).toString('base64url');
function readJwk(text) {  // the key of a public JWK, or a refusal; duplicate names are caught by the caller
  const k = JSON.parse(text);
  if (k.kty !== 'AKP') plain('kty');
  if (k.alg !== 'ML-DSA-65') plain('alg');
  if ('priv' in k) plain('priv');
  if ('crit' in k && k.crit.some((n) => !['kty', 'alg', 'pub', 'kid', 'use', 'key_ops', 'crit'].includes(n))) plain('crit');
  if (typeof k.pub !== 'string' || k.pub.includes('=')) plain('pub');
  const key = b64urlDecode(k.pub);
  if (key.length !== PK) plain('pub length');
  return key;
}
const jwks = load('jwk');
for (const c of jwks.cases) {
  const { publicKey } = derive(hex(c.master), hex(c.deployment), hex(c.context));
  const canonical = JSON.stringify({ alg: 'ML-DSA-65', kty: 'AKP', pub: b64url(publicKey) });
  const thumb = createHash('sha256').update(canonical).digest('base64url');
  const got = { key: publicKey, read: readJwk(JSON.stringify(c.jwk)), input: canonical, thumb, kid: c.jwk.kid,
    keyId: createHash('sha3-256').update(publicKey).digest().subarray(0, 16) };
  const want = { key: c.public_key, read: c.public_key, input: c.thumbprint_input, thumb: c.thumbprint,
    kid: c.thumbprint, keyId: c.key_id };
  if (jose) { got.jose = await jose.calculateJwkThumbprint(c.jwk, 'sha256'); want.jose = c.thumbprint; }
  expect('jwk', c.name, got, want);
}
expect('jwk', 'key set', jwks.key_set.keys, jwks.cases.map((c) => c.jwk));
for (const c of jwks.refusals) {
  // A member named twice: JSON.parse keeps the last, so the text is scanned for it.
  const text = c.text ?? JSON.stringify(c.jwk);
  const names = [...text.matchAll(/"(\w+)":/g)].map((m) => m[1]);
  const refused = new Set(names).size !== names.length || 'message' in outcome(() => readJwk(text))
    || 'error' in outcome(() => readJwk(text));
  expect('jwk', c.name, refused, true);
}

failures.forEach((line) => console.log(`FAIL ${line}`));
const total = Object.values(tally).reduce((a, b) => a + b, 0);
console.log(`${Object.entries(tally).map(([file, n]) => `${file} ${n}`).join(', ')} cases`);
console.log(`second reader: ${total - failures.length} passed, ${failures.length} failed`);
process.exit(failures.length ? 1 : 0);
