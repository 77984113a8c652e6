// A passkey authenticator on Node's own crypto, written apart from the server's verifier so that
// the verifier is checked against code that did not share its mistakes. Reads one JSON request on
// stdin and writes one JSON answer on stdout; every byte string is base64url.
//
// {"ceremony": "create", "rpId", "origin", "challenge", "attestation": "none" | "packed",
//  "offCurve": bool, "type", "userPresent": bool, "signCount"}
//   -> {"credentialId", "clientDataJSON", "attestationObject", "privateKey": <JWK>}
// {"ceremony": "get", "rpId", "origin", "challenge", "privateKey": <JWK>, "type",
//  "userPresent": bool, "signCount"}
//   -> {"clientDataJSON", "authenticatorData", "signature"}
import { createHash, createPrivateKey, generateKeyPairSync, randomBytes, sign } from 'node:crypto';

const sha256 = (data) => createHash('sha256').update(data).digest();

// Just enough CBOR (RFC 8949) for attestation objects and COSE keys.
function head(major, value) {
  if (value < 24) return Buffer.from([(major << 5) | value]);
  if (value < 0x100) return Buffer.from([(major << 5) | 24, value]);
  const bytes = Buffer.alloc(3);
  bytes[0] = (major << 5) | 25;
  bytes.writeUInt16BE(value, 1);
  return bytes;
}
function cbor(value) {
  if (Number.isInteger(value)) return value >= 0 ? head(0, value) : head(1, -1 - value);
  if (Buffer.isBuffer(value)) return Buffer.concat([head(2, value.length), value]);
  if (typeof value === 'string') return Buffer.concat([head(3, Buffer.byteLength(value)), Buffer.from(value)]);
  if (value instanceof Map) {
    const parts = [head(5, value.size)];
    for (const [k, v] of value) parts.push(cbor(k), cbor(v));
    return Buffer.concat(parts);
  }
  throw new Error(`cannot encode ${value}`);
}

function authenticatorData(request, flags, attested = Buffer.alloc(0)) {
  const counter = Buffer.alloc(4);
  counter.writeUInt32BE(request.signCount ?? 0);
  const present = request.userPresent === false ? 0 : 0x01;
  return Buffer.concat([sha256(request.rpId), Buffer.from([flags | present]), counter, attested]);
}

function clientData(request, type) {
  return Buffer.from(JSON.stringify({
    type: request.type ?? type,
    challenge: request.challenge,
    origin: request.origin,
    crossOrigin: false,
  }));
}

function create(request) {
  const { privateKey } = generateKeyPairSync('ec', { namedCurve: 'P-256' });
  const jwk = privateKey.export({ format: 'jwk' });
  const y = Buffer.from(jwk.y, 'base64url');
  if (request.offCurve) y[31] ^= 1;
  const coseKey = cbor(new Map([[1, 2], [3, -7], [-1, 1], [-2, Buffer.from(jwk.x, 'base64url')], [-3, y]]));
  const credentialId = randomBytes(16);
  const idLength = Buffer.alloc(2);
  idLength.writeUInt16BE(credentialId.length);
  const attested = Buffer.concat([Buffer.alloc(16), idLength, credentialId, coseKey]);
  const authData = authenticatorData(request, 0x40 | 0x04, attested);
  const clientDataJSON = clientData(request, 'webauthn.create');
  const attStmt = request.attestation === 'packed'
    ? new Map([['alg', -7], ['sig', sign('sha256', Buffer.concat([authData, sha256(clientDataJSON)]), privateKey)]])
    : new Map();
  const fmt = request.attestation ?? 'none';
  const attestationObject = cbor(new Map([['fmt', fmt], ['attStmt', attStmt], ['authData', authData]]));
  return {
    credentialId: credentialId.toString('base64url'),
    clientDataJSON: clientDataJSON.toString('base64url'),
    attestationObject: attestationObject.toString('base64url'),
    privateKey: jwk,
  };
}

function get(request) {
  const privateKey = createPrivateKey({ key: request.privateKey, format: 'jwk' });
  const authData = authenticatorData(request, 0x04);
  const clientDataJSON = clientData(request, 'webauthn.get');
  const signature = sign('sha256', Buffer.concat([authData, sha256(clientDataJSON)]), privateKey);
  return {
    clientDataJSON: clientDataJSON.toString('base64url'),
    authenticatorData: authData.toString('base64url'),
    signature: signature.toString('base64url'),
  };
}

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const request = JSON.parse(Buffer.concat(chunks).toString('utf8'));
process.stdout.write(JSON.stringify(request.ceremony === 'get' ? get(request) : create(request)) + '\n');
