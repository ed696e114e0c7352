// A local OAuth 2 server for the tests, on loopback over HTTPS with the
// private CA of the test mail servers. It is npm's oauth2-mock-server (token,
// authorize, jwks) with a thin layer of our own in front:
//   - confidential clients must send their secret; a wrong one is refused
//     with invalid_client (the mock server checks no secrets);
//   - a device authorization endpoint (RFC 8628) the mock server lacks,
//     whose outcome each test client scripts by its identifier;
//   - every token names the mail user as its subject and is signed with the
//     key Dovecot validates (tools/mailservers.sh writes both halves);
//   - clients whose identifier starts with "short-" get tokens that live
//     61 seconds, so that one second later they are due for a refresh.
//   - the client "accent-refused" is refused with a description outside
//     ASCII, written with JSON escapes (\u00e8) as some providers write it;
//     the client "silent" has its request taken and never answered;
//   - POST /test/browse plays the browser for scripts (Wine's script engine
//     cannot keep its HTTP object from following redirects): it visits the
//     `url` given, follows its redirect to the loopback listener of a sign-in
//     and answers the listener's HTTP status as JSON.
// Every token carries a unique jti, and an application's token (client
// credentials) the claim idtyp "app". The same server is the tests' fake of
// two providers' mail web APIs, which checks these tokens
// (mail_api_fake.js: /v1.0/..., /gmail/v1/..., /upload/gmail/v1/...,
// hooks under /test/api/).
// Usage: node server.js PORT KEY.pem CERT.pem SIGNING_KEY.pem KID CA.pem [USER]
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');
const https = require('node:https');
const express = require('express');
const { OAuth2Server } = require('oauth2-mock-server');
const mailApiFake = require('./mail_api_fake');

const [port, keyFile, certFile, signingKeyFile, kid, caFile, user = 'vesk'] = process.argv.slice(2);
const http = require('node:http');
const secrets = { 'vesk-service': 'vesk-service-secret', 'short-service': 'vesk-service-secret' };
const devices = new Map(); // device_code -> { client, userCode, polls, lastPoll, interval, expiresAt, state }
const refreshTokens = new Set();
let refreshCount = 0;

function refuse(res, status, error, description) {
  res.status(status).json({ error, error_description: description });
}

async function main() {
  // The mock server's own HTTP server is never started: its request handler
  // goes behind ours.
  const mock = new OAuth2Server();
  const { issuer, service } = mock;
  const jwk = crypto.createPrivateKey(fs.readFileSync(signingKeyFile)).export({ format: 'jwk' });
  await issuer.keys.add({ ...jwk, kid, alg: 'RS256', use: 'sig' });
  issuer.url = `https://localhost:${port}`;
  const lifetimes = new WeakMap();
  service.on('beforeTokenSigning', (token, req) => {
    token.payload.sub = user;
    token.payload.jti = crypto.randomUUID();
    if (req.body && req.body.grant_type === 'client_credentials') token.payload.idtyp = 'app';
    delete token.payload.azp;
    const client = (req.body && req.body.client_id) || '';
    if (client.startsWith('short-')) {
      token.payload.exp = Math.floor(Date.now() / 1000) + 61;
      lifetimes.set(req, 61);
    }
  });
  service.on('beforeResponse', (response, req) => {
    if (lifetimes.has(req)) response.body.expires_in = lifetimes.get(req);
    if (response.body.refresh_token) refreshTokens.add(response.body.refresh_token);
    if (req.body.grant_type === 'refresh_token') refreshCount += 1;
  });

  const app = express();
  // Ahead of the form parser: the fake reads its request bodies itself.
  mailApiFake.mount(app, { signingKey: signingKeyFile, baseUrl: `https://localhost:${port}` });
  app.use(express.urlencoded({ extended: false }));

  // The scripted failures of the token endpoint.
  app.post('/token', (req, res, next) => {
    if (req.body.client_id === 'silent') return; // held open until the client gives up
    if (req.body.client_id !== 'accent-refused') return next();
    res.status(400).type('application/json')
      .send('{"error":"invalid_client","error_description":"Acc\\u00e8s refus\\u00e9 \\u62d2\\u5426"}');
  });

  // Client authentication for the endpoints that take it.
  app.post(['/token', '/device_authorization'], (req, res, next) => {
    const client = req.body.client_id;
    if (!client) return refuse(res, 400, 'invalid_request', 'client_id is missing');
    if (client in secrets && req.body.client_secret !== secrets[client]) {
      return refuse(res, 401, 'invalid_client', `Client authentication failed for ${client}: wrong secret`);
    }
    if (req.body.grant_type === 'refresh_token' && !refreshTokens.has(req.body.refresh_token)) {
      return refuse(res, 400, 'invalid_grant', 'The refresh token is unknown or was revoked');
    }
    next();
  });

  app.post('/device_authorization', (req, res) => {
    const client = req.body.client_id;
    const deviceCode = crypto.randomUUID();
    const userCode = crypto.randomBytes(4).toString('hex').toUpperCase();
    const lifetime = client === 'device-expire' ? 3 : 600;
    devices.set(deviceCode, { client, userCode, polls: 0, lastPoll: 0, interval: 1, expiresAt: Date.now() + lifetime * 1000, state: 'pending' });
    res.json({
      device_code: deviceCode, user_code: userCode,
      verification_uri: `https://localhost:${port}/device`,
      verification_uri_complete: `https://localhost:${port}/device?user_code=${userCode}`,
      expires_in: lifetime, interval: 1,
    });
  });

  // The user's side of the device flow: visiting the address approves the
  // code, or denies it with ?deny=1.
  app.get('/device', (req, res) => {
    for (const device of devices.values()) {
      if (device.userCode === req.query.user_code) {
        device.state = req.query.deny ? 'denied' : 'approved';
        return res.send(`Device ${device.state}.`);
      }
    }
    res.status(404).send('No such code.');
  });

  // The scripted device clients:
  //   device-approve  approved at the third poll
  //   device-deny     denied at the second poll
  //   device-slow     slow_down at the first poll, approved at the third
  //   device-expire   the code lives three seconds and nobody approves it
  //   any other       approved or denied through /device only
  // A poll sooner than the interval asks for is refused with a distinct error.
  app.post('/token', (req, res, next) => {
    if (req.body.grant_type !== 'urn:ietf:params:oauth:grant-type:device_code') return next();
    const device = devices.get(req.body.device_code);
    if (!device || device.client !== req.body.client_id) return refuse(res, 400, 'invalid_grant', 'Unknown device code');
    const now = Date.now();
    if (device.lastPoll && now - device.lastPoll < device.interval * 1000 - 150) {
      device.lastPoll = now;
      return refuse(res, 400, 'polled_too_fast', `Polled after ${now - device.lastPoll} ms, interval ${device.interval} s`);
    }
    device.lastPoll = now;
    device.polls += 1;
    if (now > device.expiresAt) return refuse(res, 400, 'expired_token', 'The device code has expired');
    if (device.client === 'device-approve' && device.polls >= 3) device.state = 'approved';
    if (device.client === 'device-deny' && device.polls >= 2) device.state = 'denied';
    if (device.client === 'device-slow') {
      if (device.polls === 1) {
        device.interval += 5;
        return refuse(res, 400, 'slow_down', 'Poll less often');
      }
      if (device.polls >= 3) device.state = 'approved';
    }
    if (device.state === 'denied') {
      devices.delete(req.body.device_code);
      return refuse(res, 400, 'access_denied', 'The user denied the request');
    }
    if (device.state !== 'approved') return refuse(res, 400, 'authorization_pending', 'Waiting for the user');
    devices.delete(req.body.device_code);
    // Issued as the mock server issues an authorization code grant.
    req.body.grant_type = 'refresh_token';
    req.body.refresh_token = 'device';
    refreshTokens.add('device');
    refreshCount -= 1;
    next();
  });

  // One GET without following redirects: { status, location }.
  function visit(url) {
    return new Promise((resolve, reject) => {
      const target = new URL(url);
      const client = target.protocol === 'https:' ? https : http;
      const options = target.protocol === 'https:' ? { ca: fs.readFileSync(caFile) } : {};
      client.get(target, options, (reply) => {
        reply.resume();
        resolve({ status: reply.statusCode, location: reply.headers.location });
      }).on('error', reject);
    });
  }
  app.post('/test/browse', async (req, res) => {
    try {
      let answer = await visit(req.body.url);
      if (answer.status === 302 && answer.location) {
        answer = { ...(await visit(answer.location)), redirected_to: answer.location };
      }
      res.json(answer);
    } catch (error) {
      res.status(502).json({ error: 'browse_failed', error_description: String(error) });
    }
  });

  app.get('/test/refresh_count', (_req, res) => res.json({ refresh_count: refreshCount }));
  app.use(service.requestHandler);

  const server = https.createServer({ key: fs.readFileSync(keyFile), cert: fs.readFileSync(certFile) }, app);
  server.listen(Number(port), '127.0.0.1', () => console.log(`listening on ${port}`));
  // The same server at an address its certificate does not name.
  const unnamed = https.createServer({ key: fs.readFileSync(keyFile), cert: fs.readFileSync(certFile) }, app);
  unnamed.listen(Number(port), '127.0.0.3');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
