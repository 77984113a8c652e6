// Web Push for this device, and the notifications the service worker showed. Each step says
// plainly why notifications cannot work here instead of failing silently.
import { call, HttpError } from './api';

export type PushStatus =
  | { kind: 'insecure' }
  | { kind: 'unsupported'; ios: boolean }
  | { kind: 'unavailable'; reason: string }
  | { kind: 'off' | 'on' | 'denied'; key: string };

const base64url = (text: string) => {
  const raw = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
  return Uint8Array.from(raw, (c) => c.charCodeAt(0));
};

export async function pushStatus(): Promise<PushStatus> {
  if (!window.isSecureContext) return { kind: 'insecure' };
  if (!('serviceWorker' in navigator) || !('PushManager' in window) || !('Notification' in window))
    return { kind: 'unsupported', ios: /iPhone|iPad/.test(navigator.userAgent) };
  let key: string;
  try {
    key = (await call<{ public_key: string }>('GET', '/api/push/vapid-public-key')).public_key;
  } catch (error) {
    if (error instanceof HttpError && error.status === 404)
      return { kind: 'unavailable', reason: 'This server does not send notifications.' };
    if (error instanceof HttpError)
      return { kind: 'unavailable', reason: `The server cannot send notifications now: ${error.message}` };
    return { kind: 'unavailable', reason: 'The server cannot be reached.' };
  }
  if (Notification.permission === 'denied') return { kind: 'denied', key };
  const registration = await navigator.serviceWorker.ready;
  const subscription = await registration.pushManager.getSubscription();
  return { kind: subscription ? 'on' : 'off', key };
}

// Must run from a tap: browsers (iOS above all) ask for permission only then.
export async function enablePush(key: string) {
  if ((await Notification.requestPermission()) !== 'granted')
    throw new Error('Notifications were not allowed. Allow them in the browser settings for this site.');
  const registration = await navigator.serviceWorker.ready;
  const subscription = await registration.pushManager.subscribe({
    userVisibleOnly: true,
    applicationServerKey: base64url(key),
  });
  try {
    await call('POST', '/api/push/subscriptions', subscription.toJSON());
  } catch (error) {
    await subscription.unsubscribe();
    throw error;
  }
}

export async function disablePush() {
  const registration = await navigator.serviceWorker.ready;
  const subscription = await registration.pushManager.getSubscription();
  if (!subscription) return;
  await call('DELETE', '/api/push/subscriptions', { endpoint: subscription.endpoint });
  await subscription.unsubscribe();
}

// A question answered or expired needs its notification no more.
export async function closeNotification(questionId: string) {
  if (!('serviceWorker' in navigator) || !window.isSecureContext) return;
  const registration = await navigator.serviceWorker.getRegistration();
  for (const notification of (await registration?.getNotifications({ tag: questionId })) ?? []) notification.close();
}

// The pairing QR code holds {"s": server URL, "c": code}.
export async function canScan() {
  if (!window.isSecureContext || !('BarcodeDetector' in window) || !navigator.mediaDevices?.getUserMedia) return false;
  const devices = await navigator.mediaDevices.enumerateDevices();
  return devices.some((device) => device.kind === 'videoinput');
}

export async function scanPairingCode(video: HTMLVideoElement, signal: AbortSignal) {
  const stream = await navigator.mediaDevices.getUserMedia({ video: { facingMode: 'environment' } });
  try {
    video.srcObject = stream;
    await video.play();
    const detector = new (window as any).BarcodeDetector({ formats: ['qr_code'] });
    while (!signal.aborted) {
      for (const code of await detector.detect(video)) {
        try {
          const payload = JSON.parse(code.rawValue);
          if (typeof payload.c === 'string') return { server: String(payload.s ?? ''), code: payload.c as string };
        } catch {
          // another QR code: keep looking
        }
      }
      await new Promise((resolve) => setTimeout(resolve, 250));
    }
    return null;
  } finally {
    for (const track of stream.getTracks()) track.stop();
    video.srcObject = null;
  }
}
