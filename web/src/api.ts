// The relay's phone API, called with this device's token. A 401 means the device was unpaired
// (from either side): the token is dropped and the app goes back to pairing.

const tokenKey = 'quillet.deviceToken';

export class Unpaired extends Error {}

export class HttpError extends Error {
  constructor(readonly status: number, message: string) {
    super(message);
  }
}

let onUnpaired: () => void = () => {};
export function whenUnpaired(handler: () => void) {
  onUnpaired = handler;
}

export const deviceToken = () => localStorage.getItem(tokenKey);
export function setDeviceToken(token: string | null) {
  if (token) localStorage.setItem(tokenKey, token);
  else localStorage.removeItem(tokenKey);
}

export function authHeaders(): Record<string, string> {
  return { Authorization: `Bearer ${deviceToken() ?? ''}` };
}

// Throws TypeError when the network fails (the caller may try again), HttpError on a 4xx/5xx.
export async function call<T = any>(
  method: string,
  path: string,
  body?: unknown,
  extraHeaders: Record<string, string> = {},
): Promise<T> {
  const headers: Record<string, string> = { ...authHeaders(), ...extraHeaders };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  const response = await fetch(path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
    cache: 'no-store',
  });
  if (response.status === 401 && deviceToken()) {
    setDeviceToken(null);
    onUnpaired();
    throw new Unpaired('This phone is no longer paired.');
  }
  const text = await response.text();
  const data = text ? JSON.parse(text) : null;
  if (!response.ok) throw new HttpError(response.status, data?.error ?? `The server answered ${response.status}.`);
  return data as T;
}

// The code as the computer shows it ("ABC 123"), typed in any case, with or without the blank.
export const normalizeCode = (code: string) => code.replace(/[\s-]/g, '').toUpperCase();

export async function pair(code: string, deviceName: string) {
  const ua = navigator.userAgent;
  const deviceType = /iPhone|iPad/.test(ua) ? 'ios' : /Android/.test(ua) ? 'android' : 'browser';
  const answer = await call<{ device_id: string; device_token: string }>('POST', '/api/pair/complete', {
    code: normalizeCode(code),
    device_name: deviceName.trim() || 'Phone',
    device_type: deviceType,
  });
  setDeviceToken(answer.device_token);
}

export function defaultDeviceName() {
  const ua = navigator.userAgent;
  if (/iPhone/.test(ua)) return 'iPhone';
  if (/iPad/.test(ua)) return 'iPad';
  const android = /Android[^;]*;\s*([^;)]+?)(?:\sBuild|\))/.exec(ua);
  if (android) return android[1].trim();
  const browser = /Firefox/.test(ua) ? 'Firefox' : /Chrom/.test(ua) ? 'Chrome' : 'Browser';
  const os = /Mac/.test(ua) ? 'Mac' : /Windows/.test(ua) ? 'Windows' : /Linux/.test(ua) ? 'Linux' : 'phone';
  return `${browser} on ${os}`;
}
