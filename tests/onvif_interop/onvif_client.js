// Drives one simulated device's ONVIF face with the npm `onvif` client, a
// client written elsewhere: discovery, login, profiles, stream and snapshot
// URIs, a PTZ move and stop, and a pull-point event. Exits non-zero with a
// message on the first failure, and within a fixed time in any case.
'use strict';

const onvif = require('onvif');

const host = process.env.QRV_ONVIF_HOST || '127.0.0.10';
const port = Number(process.env.QRV_ONVIF_PORT || 80);
const user = process.env.QRV_ONVIF_USER || 'admin';
const password = process.env.QRV_ONVIF_PASSWORD || 'admin';
const rtspPort = Number(process.env.QRV_RTSP_PORT || 554);
const discovery = process.env.QRV_ONVIF_DISCOVERY !== '0';
const width = Number(process.env.QRV_WIDTH || 640);
const height = Number(process.env.QRV_HEIGHT || 360);

const watchdog = setTimeout(() => fail('did not finish within 25 s'), 25000);

function fail(why) {
  console.error(`onvif interop: FAIL: ${why}`);
  process.exit(1);
}

function check(ok, what) {
  if (!ok) fail(what);
  console.log(`ok - ${what}`);
}

// The client's callbacks as promises; an error becomes a failure naming the step.
function call(step, fn) {
  return new Promise((resolve) => {
    fn((err, result, xml) => {
      if (err) fail(`${step}: ${err.message || err}${xml ? `\n${xml}` : ''}`);
      resolve(result);
    });
  });
}

function probe() {
  return new Promise((resolve) => {
    const found = [];
    onvif.Discovery.on('error', (err) => console.log(`discovery: ignored bad answer: ${err}`));
    onvif.Discovery.on('device', (device) => found.push(device));
    // The namespace's only interface is loopback, which the client skips unless named.
    const device = process.env.QRV_ONVIF_DISCOVERY_DEVICE || 'lo';
    onvif.Discovery.probe({ timeout: 3000, resolve: false, device }, () => resolve(found));
  });
}

function xaddrsOf(device) {
  const match = device && device.probeMatches && device.probeMatches.probeMatch;
  const text = match && match.XAddrs;
  return typeof text === 'string' ? text.split(/\s+/) : [];
}

async function main() {
  const deviceUrl = `http://${host}:${port}/onvif/device_service`;
  if (discovery) {
    const devices = await probe();
    const mine = devices.filter((d) => xaddrsOf(d).includes(deviceUrl));
    check(mine.length === 1, `discovery found ${deviceUrl} (${devices.length} answer(s))`);
  }

  let cam;
  await call('connect', (done) => {
    cam = new onvif.Cam({ hostname: host, port, username: user, password, timeout: 5000 }, done);
  });
  check(true, 'connected with credentials');

  const profiles = await call('getProfiles', (done) => cam.getProfiles(done));
  check(Array.isArray(profiles) && profiles.length === 2, 'two profiles');
  const first = profiles[0];
  const resolution = first.videoEncoderConfiguration && first.videoEncoderConfiguration.resolution;
  check(resolution && Number(resolution.width) === width && Number(resolution.height) === height,
    `profile 1 is ${width}x${height}`);
  check(first.PTZConfiguration !== undefined, 'profile 1 has PTZ');

  const stream = await call('getStreamUri', (done) =>
    cam.getStreamUri({ protocol: 'RTSP', profileToken: first.$.token }, done));
  check(stream.uri === `rtsp://${host}:${rtspPort}/stream0`, `stream URI ${stream.uri}`);
  const second = await call('getStreamUri', (done) =>
    cam.getStreamUri({ protocol: 'RTSP', profileToken: profiles[1].$.token }, done));
  check(second.uri === `rtsp://${host}:${rtspPort}/stream1`, `second stream URI ${second.uri}`);

  const snapshot = await call('getSnapshotUri', (done) =>
    cam.getSnapshotUri({ profileToken: first.$.token }, done));
  check(snapshot.uri === `http://${host}:${port}/snapshot/0.jpg`, `snapshot URI ${snapshot.uri}`);

  await call('continuousMove', (done) =>
    cam.continuousMove({ profileToken: first.$.token, x: 0.5, y: 0, zoom: 0 }, done));
  await call('stop', (done) =>
    cam.stop({ profileToken: first.$.token, panTilt: true, zoom: true }, done));
  check(true, 'PTZ continuous move, then stop');

  await call('createPullPointSubscription', (done) => cam.createPullPointSubscription(done));
  // The simulator raises an alarm every few hundred ms; a few pulls must see one.
  let motion = false;
  for (let i = 0; i < 10 && !motion; ++i) {
    const answer = await call('pullMessages', (done) =>
      cam.pullMessages({ timeout: 2000, messageLimit: 10 }, done));
    const messages = [].concat((answer && answer.notificationMessage) || []);
    motion = messages.some((m) => JSON.stringify(m).includes('VideoSource/MotionAlarm'));
  }
  check(motion, 'a motion alarm arrived through PullMessages');
  await call('unsubscribe', (done) => cam.unsubscribe(done));

  clearTimeout(watchdog);
  console.log('onvif interop: all steps passed');
  process.exit(0);
}

main().catch((err) => fail(err.stack || String(err)));
