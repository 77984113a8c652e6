// Reads what the server sends to push services with code it does not share: the message body
// through the http_ece package, the VAPID token through Node's own crypto. One JSON request on
// stdin, one JSON answer on stdout; byte strings are base64url.
//
// {"decrypt": {"body", "privateKey": <receiver's scalar>, "authSecret"}} -> {"plaintext"}
// {"vapid": "vapid t=..., k=..."} -> {"verified": bool, "header", "claims", "key"}
import { createECDH, createPublicKey, verify } from 'node:crypto';
import ece from 'http_ece';

function decrypt({ body, privateKey, authSecret }) {
  const receiver = createECDH('prime256v1');
  receiver.setPrivateKey(Buffer.from(privateKey, 'base64url'));
  const plaintext = ece.decrypt(Buffer.from(body, 'base64url'), {
    version: 'aes128gcm',
    privateKey: receiver,
    authSecret,
  });
  return { plaintext: plaintext.toString('base64url') };
}

function vapid(authorization) {
  const match = /^vapid t=([\w-]+)\.([\w-]+)\.([\w-]+), k=([\w-]+)$/.exec(authorization);
  if (!match) return { verified: false, error: 'not a vapid header' };
  const [, header, claims, signature, key] = match;
  const point = Buffer.from(key, 'base64url');
  const publicKey = createPublicKey({
    key: {
      kty: 'EC', crv: 'P-256',
      x: point.subarray(1, 33).toString('base64url'),
      y: point.subarray(33, 65).toString('base64url'),
    },
    format: 'jwk',
  });
  const verified = verify('sha256', Buffer.from(`${header}.${claims}`),
    { key: publicKey, dsaEncoding: 'ieee-p1363' }, Buffer.from(signature, 'base64url'));
  const json = (part) => JSON.parse(Buffer.from(part, 'base64url').toString('utf8'));
  return { verified, header: json(header), claims: json(claims), key };
}

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const request = JSON.parse(Buffer.concat(chunks).toString('utf8'));
try {
  process.stdout.write(JSON.stringify(request.decrypt ? decrypt(request.decrypt) : vapid(request.vapid)) + '\n');
} catch (error) {
  process.stdout.write(JSON.stringify({ error: String(error?.message ?? error) }) + '\n');
}
