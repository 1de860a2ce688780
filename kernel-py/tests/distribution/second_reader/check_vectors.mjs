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

failures.forEach((line) => console.log(`FAIL ${line}`));
const total = Object.values(tally).reduce((a, b) => a + b, 0);
console.log(`${Object.entries(tally).map(([file, n]) => `${file} ${n}`).join(', ')} cases`);
console.log(`second reader: ${total - failures.length} passed, ${failures.length} failed`);
process.exit(failures.length ? 1 : 0);
