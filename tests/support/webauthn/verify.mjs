// Reads one JSON request on stdin, checks a passkey ceremony with @simplewebauthn/server and
// writes one JSON answer on stdout: {"verified": bool, ...} or {"error": "..."}.
//
// Registration request: {"ceremony": "registration", "response": <credential object>,
//   "challenge": b64url, "origin": "...", "rpId": "..."}
// Authentication request: {"ceremony": "authentication", "response": <credential object>,
//   "challenge": b64url, "origin": "...", "rpId": "...",
//   "credential": {"id": b64url, "publicKey": b64url, "counter": n}}
import { verifyAuthenticationResponse, verifyRegistrationResponse } from '@simplewebauthn/server';
import { isoBase64URL } from '@simplewebauthn/server/helpers';

async function readStdin() {
  const chunks = [];
  for await (const chunk of process.stdin) chunks.push(chunk);
  return Buffer.concat(chunks).toString('utf8');
}

async function check(request) {
  const common = {
    response: request.response,
    expectedChallenge: request.challenge,
    expectedOrigin: request.origin,
    expectedRPID: request.rpId,
    requireUserVerification: true,
  };
  if (request.ceremony === 'registration') {
    const result = await verifyRegistrationResponse(common);
    const info = result.registrationInfo;
    return {
      verified: result.verified,
      fmt: info?.fmt,
      credential: info && {
        id: info.credential.id,
        publicKey: isoBase64URL.fromBuffer(info.credential.publicKey),
        counter: info.credential.counter,
      },
    };
  }
  if (request.ceremony === 'authentication') {
    const credential = {
      id: request.credential.id,
      publicKey: isoBase64URL.toBuffer(request.credential.publicKey),
      counter: request.credential.counter,
    };
    const result = await verifyAuthenticationResponse({ ...common, credential });
    return { verified: result.verified, newCounter: result.authenticationInfo?.newCounter };
  }
  throw new Error(`unknown ceremony ${request.ceremony}`);
}

try {
  const answer = await check(JSON.parse(await readStdin()));
  process.stdout.write(JSON.stringify(answer) + '\n');
} catch (error) {
  process.stdout.write(JSON.stringify({ verified: false, error: String(error?.message ?? error) }) + '\n');
}
