// An in-memory fake of two mail web APIs for the tests, mounted on the local
// OAuth 2 server (oauth2_server.js), whose RS256 access tokens it checks:
//   Microsoft Graph  /v1.0/{me|users/ID}/...  and its upload URLs /test/upload/...
//   Gmail            /gmail/v1/users/{me|ID}/...  and /upload/gmail/v1/...
// Sending puts the bytes sent in the sender's sent mail and a copy without
// its Bcc line in the same mailbox's inbox. A mailbox named in the path
// scripts failures by its local part (see scripted() below), and every API
// request is recorded for the tests, which read and reset it under /test/api/.
//   require('./mail_api_fake').mount(app, { signingKey, baseUrl })
// signingKey: the PEM file, PEM text or KeyObject of the token signing key.
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');

const MiB = 1024 * 1024;
const GRAPH_BODY_LIMIT = 4 * MiB; // a request body, and a chunk of an upload
const GRAPH_ATTACHMENT_LIMIT = 150 * MiB;
const GMAIL_JSON_LIMIT = 5 * MiB;
const GMAIL_UPLOAD_LIMIT = 35 * MiB;
const FOLDERS = { inbox: 'Inbox', sentitems: 'Sent Items', drafts: 'Drafts', deleteditems: 'Deleted Items', junkemail: 'Junk Email', archive: 'Archive' };
const LABELS = ['INBOX', 'SENT', 'DRAFT', 'TRASH', 'SPAM', 'UNREAD'];
const BEHAVIOURS = ['throttle', 'busy', 'slowdown', 'takes-then-fails', 'oddpages', 'broken'];
const ODD_PAGES = [3, 0, 1, 7]; // page sizes of "oddpages", by page number
const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

const random64 = (bytes) => crypto.randomBytes(bytes).toString('base64url');
const graphId = () => `AAMkAD${random64(18)}-${random64(24)}_${random64(21)}AAA=`;
const gmailId = () => crypto.randomBytes(8).toString('hex');
const lowerAscii = (s) => String(s).replace(/[A-Z]/g, (c) => c.toLowerCase());
const iso = (ms) => new Date(ms).toISOString().replace(/\.\d+Z$/, 'Z');
const encodeToken = (value) => Buffer.from(JSON.stringify(value)).toString('base64url');
function decodeToken(text) {
  try { return JSON.parse(Buffer.from(text, 'base64url').toString('utf8')); } catch { return null; }
}
function parseJson(buffer) {
  try { return JSON.parse(buffer.toString('utf8') || '{}'); } catch { return null; }
}
function decodeSegment(s) {
  try { return decodeURIComponent(s); } catch { return s; }
}

// --- MIME, as far as the fake needs it --------------------------------------

// The header fields of a message, each with its folded lines and line ends,
// as latin1 text so that the bytes come back unchanged.
function parseHead(mime) {
  const text = mime.toString('latin1');
  const blank = /\r?\n\r?\n/.exec(text);
  const headEnd = blank ? blank.index + blank[0].indexOf('\n') + 1 : text.length;
  const fields = [];
  for (const line of text.slice(0, headEnd).split(/(?<=\n)/)) {
    if (/^[ \t]/.test(line) && fields.length) fields[fields.length - 1] += line;
    else if (line) fields.push(line);
  }
  const bodyStart = blank ? blank.index + blank[0].length : text.length;
  return { text, fields, headEnd, bodyStart, eol: blank && blank[0][0] === '\r' ? '\r\n' : blank ? '\n' : '\r\n' };
}
const fieldName = (field) => lowerAscii(field.slice(0, field.indexOf(':')).trim());
const fieldValue = (field) => field.slice(field.indexOf(':') + 1).replace(/\r?\n/g, '').trim();

// What a recipient gets: the message without its Bcc field.
function withoutBcc(mime) {
  const { text, fields, headEnd } = parseHead(mime);
  return Buffer.from(fields.filter((f) => fieldName(f) !== 'bcc').join('') + text.slice(headEnd), 'latin1');
}

// The Subject, with its encoded words decoded.
function subject(mime) {
  const field = parseHead(mime).fields.find((f) => fieldName(f) === 'subject');
  if (!field) return '';
  return Buffer.from(fieldValue(field), 'latin1').toString('utf8')
    .replace(/=\?([^?*]+)(?:\*[^?]*)?\?([bq])\?([^?]*)\?=(?:\s+(?==\?))?/gi, (word, charset, encoding, data) => {
      const bytes = /b/i.test(encoding) ? Buffer.from(data, 'base64')
        : Buffer.from(data.replace(/_/g, ' ').replace(/=([0-9a-f]{2})/gi, (_, hex) => String.fromCharCode(parseInt(hex, 16))), 'latin1');
      try { return new TextDecoder(charset).decode(bytes); } catch { return word; }
    });
}

// A header parameter, quoted when it is plain ASCII, else in the extended
// (percent-encoded UTF-8) form.
function parameter(name, value) {
  if (/^[\x20-\x7e]*$/.test(value) && !/["\\]/.test(value)) return `${name}="${value}"`;
  return `${name}*=utf-8''${encodeURIComponent(value).replace(/['()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`)}`;
}

// The draft's MIME with the files of its upload sessions added as base64
// parts: into a top-level multipart/mixed before its closing delimiter, or
// else by making the message multipart/mixed with the old content (its
// Content-* fields and body) as the first part.
function withAttachments(mime, files) {
  if (!files.length) return mime;
  const { text, fields, headEnd, bodyStart, eol } = parseHead(mime);
  const typeField = fields.find((f) => fieldName(f) === 'content-type');
  const type = typeField ? fieldValue(typeField) : '';
  const printable = (s) => String(s).replace(/[^\x20-\x7e]/g, '');
  const parts = (boundary) => files.map((file) => {
    const lines = [
      `Content-Type: ${printable(file.contentType || 'application/octet-stream')}; ${parameter('name', file.name)}`,
      `Content-Disposition: ${file.isInline ? 'inline' : 'attachment'}; ${parameter('filename', file.name)}`,
      'Content-Transfer-Encoding: base64',
    ];
    if (file.contentId) lines.push(`Content-ID: <${printable(file.contentId).replace(/^<|>$/g, '')}>`);
    const data = (file.data.toString('base64').match(/.{1,76}/g) || []).join(eol);
    return `${eol}--${boundary}${eol}${lines.join(eol)}${eol}${eol}${data}`;
  }).join('');

  const found = /boundary\s*=\s*(?:"([^"]+)"|([^;\s]+))/i.exec(type);
  if (/^multipart\/mixed\b/i.test(type) && found) {
    const boundary = found[1] || found[2];
    let at = text.lastIndexOf(`\n--${boundary}--`);
    if (at >= bodyStart) {
      if (text[at - 1] === '\r') at -= 1;
      return Buffer.from(text.slice(0, at) + parts(boundary) + text.slice(at), 'latin1');
    }
  }
  const boundary = `=_fake_${crypto.randomBytes(12).toString('hex')}`;
  const isContent = (f) => fieldName(f).startsWith('content-');
  const top = fields.filter((f) => !isContent(f));
  if (!fields.some((f) => fieldName(f) === 'mime-version')) top.push(`MIME-Version: 1.0${eol}`);
  top.push(`Content-Type: multipart/mixed; boundary="${boundary}"${eol}`);
  const first = `--${boundary}${eol}${fields.filter(isContent).join('')}${eol}${text.slice(bodyStart)}`;
  return Buffer.from(`${top.join('')}${eol}${first}${parts(boundary)}${eol}--${boundary}--${eol}`, 'latin1');
}

// --- Errors in each provider's shape ------------------------------------------

function graphError(res, status, code, message) {
  res.status(status).json({ error: { code, message, innerError: { date: iso(Date.now()), 'request-id': crypto.randomUUID() } } });
}
function gmailError(res, code, message, status, reason, more = {}) {
  res.status(code).json({ error: { code, message, errors: [{ message, domain: 'global', reason, ...more }], status } });
}
const FAILURES = {
  graph: {
    429: ['TooManyRequests', 'Application is over its MailboxConcurrency limit.'],
    500: ['ErrorInternalServerError', 'An internal server error occurred. The operation failed.'],
    503: ['ServiceNotAvailable', 'The service is temporarily unavailable. Try again later.'],
    504: ['GatewayTimeout', 'The request timed out at the gateway.'],
  },
  gmail: {
    429: ['Too many concurrent requests for user.', 'RESOURCE_EXHAUSTED', 'rateLimitExceeded'],
    500: ['Internal error encountered.', 'INTERNAL', 'backendError'],
    503: ['The service is currently unavailable.', 'UNAVAILABLE', 'backendError'],
    504: ['Deadline exceeded.', 'DEADLINE_EXCEEDED', 'backendError'],
  },
};
function fail(ctx, status, retryAfter) {
  if (retryAfter) ctx.res.set('Retry-After', String(retryAfter));
  const [a, b, c] = FAILURES[ctx.provider][status];
  if (ctx.provider === 'graph') graphError(ctx.res, status, a, b);
  else gmailError(ctx.res, status, a, b, c);
}
function notFound(ctx) {
  if (ctx.provider === 'graph') graphError(ctx.res, 404, 'ErrorItemNotFound', 'The specified object was not found in the store.');
  else gmailError(ctx.res, 404, 'Requested entity was not found.', 'NOT_FOUND', 'notFound');
}
function tooLarge(ctx, limit) {
  if (ctx.provider === 'graph') graphError(ctx.res, 413, 'RequestBodyTooLarge', `The request body is over the limit of ${limit} bytes.`);
  else gmailError(ctx.res, 413, `Request payload size exceeds the limit: ${limit} bytes.`, 'INVALID_ARGUMENT', 'badRequest');
}

// One page of a newest-first list, from position `pos`; `next` locates the
// page after it, if any.
function pageOf(items, pos, page, size, odd) {
  const count = odd ? Math.min(size, ODD_PAGES[page % ODD_PAGES.length]) : size;
  const next = pos + count < items.length ? { pos: pos + count, page: page + 1 } : null;
  return { slice: items.slice(pos, pos + count), next };
}
const newestFirst = (box) => [...box.messages.values()].sort((a, b) => b.received - a.received);
// Search is case-insensitive over the MIME text read as UTF-8.
const contains = (m, needle) => m.mime.toString('utf8').toLowerCase().includes(needle);

function mount(app, options = {}) {
  const base = options.baseUrl || 'https://localhost:5601';
  let key = options.signingKey;
  if (typeof key === 'string' && !key.includes('-----BEGIN')) key = fs.readFileSync(key);
  const publicKey = crypto.createPublicKey(key);
  const state = { graph: new Map(), gmail: new Map(), uploads: new Map(), tries: new Map(), records: [], seen: new Set(), revoked: new Set() };
  let clock = 0;
  const tick = () => (clock = Math.max(Date.now(), clock + 1));

  function mailbox(provider, name) {
    if (!state[provider].has(name)) {
      const folders = Object.fromEntries(Object.keys(FOLDERS).map((f) => [f, `AQMkAD${random64(30)}-AAA=`]));
      state[provider].set(name, { messages: new Map(), folders });
    }
    return state[provider].get(name);
  }
  function store(box, fields) {
    const message = { received: tick(), isRead: false, isDraft: false, attachments: [], ...fields };
    if (message.labels && !message.threadId) message.threadId = message.id;
    box.messages.set(message.id, message);
    return message;
  }

  // The token's claims, or why it is refused.
  function checkToken(header) {
    const match = /^Bearer\s+([\w-]+)\.([\w-]+)\.([\w-]+)\s*$/i.exec(header || '');
    if (!match) return { error: header ? 'The Authorization header holds no bearer JWT.' : 'Access token is empty.' };
    const [, head, body, signature] = match;
    const claims = decodeToken(body) || {};
    if ((decodeToken(head) || {}).alg !== 'RS256') return { claims, error: 'The token is not signed with RS256.' };
    if (!crypto.verify('sha256', Buffer.from(`${head}.${body}`), publicKey, Buffer.from(signature, 'base64url'))) {
      return { claims, error: 'The token signature does not verify.' };
    }
    if (!(claims.exp > Date.now() / 1000)) return { claims, error: 'Lifetime validation failed: the token is expired.' };
    const id = claims.jti || crypto.createHash('sha256').update(match[0]).digest('hex');
    if (state.revoked.has(id)) return { claims, error: 'The token has been revoked.' };
    state.seen.add(id);
    return { claims };
  }
  function unauthorized(ctx, reason) {
    ctx.res.set('WWW-Authenticate', `Bearer realm="${ctx.provider === 'graph' ? '' : base}", error="invalid_token"`);
    if (ctx.provider === 'graph') return graphError(ctx.res, 401, 'InvalidAuthenticationToken', reason);
    gmailError(ctx.res, 401, 'Request had invalid authentication credentials. Expected OAuth 2 access token, login cookie or other valid authentication credential.',
      'UNAUTHENTICATED', 'authError', { location: 'Authorization', locationType: 'header' });
  }

  // The failures a mailbox scripts by its local part; true when one answered.
  // throttle and busy refuse the first request of each method and path once,
  // and note on its retry how long the client waited.
  function scripted(ctx) {
    const { behaviour, rec } = ctx;
    if (behaviour === 'broken') return fail(ctx, 500), true;
    if (behaviour === 'slowdown') return fail(ctx, 429, 120), true;
    if (behaviour !== 'throttle' && behaviour !== 'busy') return false;
    const attempt = `${ctx.provider} ${ctx.name} ${ctx.req.method} ${ctx.url.pathname}`;
    const refusedAt = state.tries.get(attempt);
    if (refusedAt === undefined) {
      state.tries.set(attempt, rec.at);
      return fail(ctx, behaviour === 'busy' ? 503 : 429, 1), true;
    }
    if (refusedAt !== null) rec.retriedAfterMs = rec.at - refusedAt;
    state.tries.set(attempt, null);
    return false;
  }

  // --- Graph ---------------------------------------------------------------

  const folderOf = (box, nameOrId) => (Object.hasOwn(FOLDERS, lowerAscii(nameOrId)) ? lowerAscii(nameOrId)
    : Object.keys(box.folders).find((f) => box.folders[f] === nameOrId));
  function graphJson(box, m, select) {
    const all = { id: m.id, receivedDateTime: iso(m.received), subject: subject(m.mime), isRead: m.isRead,
      isDraft: m.isDraft, hasAttachments: m.attachments.length > 0, parentFolderId: box.folders[m.folder] };
    const wanted = select ? lowerAscii(select).split(',').map((s) => s.trim()) : null;
    return wanted ? Object.fromEntries(Object.entries(all).filter(([k]) => k === 'id' || wanted.includes(lowerAscii(k)))) : all;
  }
  // The base64 MIME body of sendMail and of a new draft; null once refused.
  function graphMime(ctx) {
    if (ctx.size > GRAPH_BODY_LIMIT) return tooLarge(ctx, GRAPH_BODY_LIMIT), null;
    if (!/^text\/plain\b/i.test(ctx.req.headers['content-type'] || '')) {
      return graphError(ctx.res, 415, 'UnsupportedMediaType', 'This server takes MIME content only: base64 with Content-Type text/plain.'), null;
    }
    const text = ctx.body.toString('latin1').replace(/\s+/g, '');
    if (!text || !BASE64.test(text)) return graphError(ctx.res, 400, 'ErrorMimeContentInvalidBase64String', 'Invalid base64 string for MIME content.'), null;
    return Buffer.from(text, 'base64');
  }
  function graphDeliver(ctx, mime) {
    store(ctx.box, { id: graphId(), mime, folder: 'sentitems', isRead: true });
    store(ctx.box, { id: graphId(), mime: withoutBcc(mime), folder: 'inbox' });
    if (ctx.behaviour === 'takes-then-fails') return fail(ctx, 504);
    ctx.res.status(202).end();
  }
  // Graph gives a message a new id when it changes folders.
  function relocate(box, m, folder) {
    box.messages.delete(m.id);
    const moved = { ...m, id: graphId(), folder };
    box.messages.set(moved.id, moved);
    return moved;
  }
  function graphList(ctx, folderArg) {
    const folder = folderArg === undefined ? null : folderOf(ctx.box, folderArg);
    if (folder === undefined) return notFound(ctx);
    // A skiptoken carries the whole query and the position: the rest of the
    // query string is then ignored.
    let params = Object.fromEntries(ctx.url.searchParams), pos = 0, page = 0;
    if (params.$skiptoken !== undefined) {
      const token = decodeToken(params.$skiptoken);
      if (!token || !token.params) return graphError(ctx.res, 400, 'ErrorInvalidUrlQuery', 'The $skiptoken is not valid.');
      ({ params, pos, page } = token);
    }
    if (params.$search !== undefined && params.$orderby !== undefined) {
      return graphError(ctx.res, 400, 'ErrorInvalidUrlQuery', "The query parameter '$orderby' cannot be used with '$search'.");
    }
    let items = newestFirst(ctx.box).filter((m) => !folder || m.folder === folder);
    if (/\basc$/i.test(params.$orderby || '')) items.reverse();
    if (params.$search !== undefined) {
      const needle = params.$search.trim().replace(/^"([^]*)"$/, '$1').toLowerCase();
      items = items.filter((m) => contains(m, needle));
    }
    const top = Math.max(1, parseInt(params.$top, 10) || 10);
    const { slice, next } = pageOf(items, pos, page, Math.min(top, 10), ctx.behaviour === 'oddpages');
    const out = { value: slice.map((m) => graphJson(ctx.box, m, params.$select)) };
    if (next) {
      const query = Object.entries(params).map(([k, v]) => `${k}=${encodeURIComponent(v)}`);
      out['@odata.nextLink'] = `${base}${ctx.url.pathname}?${[...query, `$skiptoken=${encodeToken({ params, ...next })}`].join('&')}`;
    }
    ctx.res.json(out);
  }
  function graphUploadSession(ctx, m) {
    const body = parseJson(ctx.body) || {};
    const item = body.AttachmentItem || body.attachmentItem;
    if (!item || item.attachmentType !== 'file' || !item.name || !Number.isSafeInteger(item.size) || item.size <= 0) {
      return graphError(ctx.res, 400, 'ErrorInvalidRequest', 'AttachmentItem needs attachmentType "file", a name and a size.');
    }
    if (item.size > GRAPH_ATTACHMENT_LIMIT) {
      return graphError(ctx.res, 400, 'ErrorAttachmentSizeLimitExceeded', `An attachment is limited to ${GRAPH_ATTACHMENT_LIMIT} bytes.`);
    }
    const id = random64(24), authtoken = random64(48), expires = new Date(Date.now() + 6 * 3600e3).toISOString();
    state.uploads.set(id, { authtoken, expires, item, name: ctx.name, behaviour: ctx.behaviour, messageId: m.id, next: 0, chunks: [] });
    ctx.res.status(201).json({ uploadUrl: `${base}/test/upload/${id}?authtoken=${authtoken}`, expirationDateTime: expires, nextExpectedRanges: ['0-'] });
  }
  // PUT (or DELETE, to cancel) on an upload URL: its own authtoken, no bearer.
  function graphUpload(ctx, id) {
    const session = state.uploads.get(id);
    if (!session) return notFound(ctx);
    Object.assign(ctx, { name: session.name, behaviour: session.behaviour });
    ctx.rec.mailbox = session.name;
    if (ctx.req.headers.authorization) {
      return graphError(ctx.res, 401, 'InvalidAuthenticationToken', 'An upload URL is pre-authenticated: send it no Authorization header.');
    }
    if (ctx.url.searchParams.get('authtoken') !== session.authtoken) {
      return graphError(ctx.res, 401, 'InvalidAuthenticationToken', 'The authtoken of the upload URL is missing or wrong.');
    }
    if (scripted(ctx)) return undefined;
    if (ctx.req.method === 'DELETE') return state.uploads.delete(id), ctx.res.status(204).end();
    if (ctx.req.method !== 'PUT') return graphError(ctx.res, 405, 'ErrorInvalidRequest', 'An upload URL takes PUT and DELETE.');
    if (ctx.size > GRAPH_BODY_LIMIT) return tooLarge(ctx, GRAPH_BODY_LIMIT);
    const range = /^bytes (\d+)-(\d+)\/(\d+)$/.exec(ctx.req.headers['content-range'] || '');
    const [first, last, total] = range ? range.slice(1).map(Number) : [];
    if (!range || total !== session.item.size || last < first || last >= total) {
      return graphError(ctx.res, 400, 'ErrorInvalidRequest', `Content-Range must be "bytes FIRST-LAST/${session.item.size}".`);
    }
    if (first !== session.next) {
      return graphError(ctx.res, 416, 'ErrorInvalidRange', `The next expected range starts at byte ${session.next}, not ${first}.`);
    }
    if (last - first + 1 !== ctx.size) return graphError(ctx.res, 400, 'ErrorInvalidRequest', 'The body length does not match Content-Range.');
    session.chunks.push(ctx.body);
    session.next = last + 1;
    if (session.next < total) return ctx.res.json({ expirationDateTime: session.expires, nextExpectedRanges: [`${session.next}-`] });
    state.uploads.delete(id);
    const draft = mailbox('graph', session.name).messages.get(session.messageId);
    if (!draft) return notFound(ctx);
    draft.attachments.push({ ...session.item, data: Buffer.concat(session.chunks) });
    ctx.res.status(201).set('Location', `${base}/v1.0/users/${encodeURIComponent(session.name)}/messages/${encodeURIComponent(draft.id)}/attachments/${graphId()}`).end();
  }

  // A handler that takes the message named in the path, or answers 404.
  const withMessage = (handler) => (ctx, id) => {
    const m = ctx.box.messages.get(id);
    return m ? handler(ctx, m) : notFound(ctx);
  };
  const graphRoutes = [
    ['POST', 'sendMail', (ctx) => { const mime = graphMime(ctx); if (mime) graphDeliver(ctx, mime); }],
    ['POST', 'messages', (ctx) => {
      const mime = graphMime(ctx);
      if (mime) ctx.res.status(201).json(graphJson(ctx.box, store(ctx.box, { id: graphId(), mime, folder: 'drafts', isDraft: true, isRead: true })));
    }],
    ['GET', 'messages', (ctx) => graphList(ctx)],
    ['GET', 'mailFolders/*', (ctx, f) => {
      const folder = folderOf(ctx.box, f);
      if (!folder) return notFound(ctx);
      const inside = [...ctx.box.messages.values()].filter((m) => m.folder === folder);
      ctx.res.json({ id: ctx.box.folders[folder], displayName: FOLDERS[folder], childFolderCount: 0,
        totalItemCount: inside.length, unreadItemCount: inside.filter((m) => !m.isRead).length });
    }],
    ['GET', 'mailFolders/*/messages', (ctx, f) => graphList(ctx, f)],
    ['POST', 'messages/*/attachments/createUploadSession', withMessage(graphUploadSession)],
    ['POST', 'messages/*/send', withMessage((ctx, m) => {
      if (!m.isDraft) return graphError(ctx.res, 400, 'ErrorInvalidOperation', 'Only a draft can be sent.');
      ctx.box.messages.delete(m.id);
      graphDeliver(ctx, withAttachments(m.mime, m.attachments));
    })],
    ['GET', 'messages/*/$value', withMessage((ctx, m) => ctx.res.set('Content-Type', 'text/plain').send(m.mime))],
    ['POST', 'messages/*/move', withMessage((ctx, m) => {
      const destination = (parseJson(ctx.body) || {}).destinationId;
      const folder = typeof destination === 'string' && folderOf(ctx.box, destination);
      if (!folder) return graphError(ctx.res, 400, 'ErrorInvalidIdMalformed', 'destinationId names no folder of this mailbox.');
      ctx.res.status(201).json(graphJson(ctx.box, relocate(ctx.box, m, folder)));
    })],
    ['POST', 'messages/*/permanentDelete', withMessage((ctx, m) => { ctx.box.messages.delete(m.id); ctx.res.status(204).end(); })],
    ['DELETE', 'messages/*', withMessage((ctx, m) => {
      if (m.folder === 'deleteditems') ctx.box.messages.delete(m.id);
      else relocate(ctx.box, m, 'deleteditems');
      ctx.res.status(204).end();
    })],
    ['PATCH', 'messages/*', withMessage((ctx, m) => {
      const body = parseJson(ctx.body);
      if (!body) return graphError(ctx.res, 400, 'BadRequest', 'Unable to read JSON request payload.');
      if (typeof body.isRead === 'boolean') m.isRead = body.isRead;
      ctx.res.json(graphJson(ctx.box, m));
    })],
    ['GET', 'messages/*', withMessage((ctx, m) => ctx.res.json(graphJson(ctx.box, m, ctx.url.searchParams.get('$select'))))],
  ];

  // --- Gmail ---------------------------------------------------------------

  const gmailJson = (m) => ({ id: m.id, threadId: m.threadId, labelIds: [...m.labels] });
  const SEARCH_LABELS = { inbox: 'INBOX', sent: 'SENT', draft: 'DRAFT', drafts: 'DRAFT', trash: 'TRASH', spam: 'SPAM', unread: 'UNREAD' };
  // The search terms known here: in:NAME, label:NAME, is:unread, is:read and
  // free text (quoted or not); "-" negates a term, and all terms must hold.
  function searchTerms(q) {
    return (q.match(/-?(?:\w+:)?"[^"]*"|\S+/g) || []).map((word) => {
      const not = word.startsWith('-');
      const term = word.slice(not ? 1 : 0).replace(/"/g, '');
      const op = /^(in|label|is):(.+)$/i.exec(term);
      if (!op) return { not, text: term.toLowerCase() };
      if (lowerAscii(term) === 'is:read') return { not: !not, label: 'UNREAD' };
      return { not, label: SEARCH_LABELS[lowerAscii(op[2])] || op[2] };
    });
  }
  function gmailList(ctx) {
    const params = ctx.url.searchParams;
    const wanted = params.getAll('labelIds').flatMap((l) => l.split(',')).filter(Boolean);
    const terms = searchTerms(params.get('q') || '');
    // Spam and trash stay out unless asked for.
    const asked = new Set([...wanted, ...terms.filter((t) => t.label && !t.not).map((t) => t.label)]);
    const hidden = params.get('includeSpamTrash') === 'true' ? [] : ['SPAM', 'TRASH'].filter((l) => !asked.has(l));
    const items = newestFirst(ctx.box).filter((m) => wanted.every((l) => m.labels.has(l)) && !hidden.some((l) => m.labels.has(l))
      && terms.every((t) => t.not !== (t.label ? m.labels.has(t.label) : contains(m, t.text))));
    let position = { pos: 0, page: 0 };
    if (params.has('pageToken')) {
      position = decodeToken(params.get('pageToken'));
      if (!position || !Number.isInteger(position.pos) || !Number.isInteger(position.page)) return gmailError(ctx.res, 400, 'Invalid pageToken', 'INVALID_ARGUMENT', 'invalidArgument');
    }
    const max = Math.max(1, parseInt(params.get('maxResults'), 10) || 100);
    const { slice, next } = pageOf(items, position.pos, position.page, Math.min(max, 100), ctx.behaviour === 'oddpages');
    const out = {};
    if (slice.length) out.messages = slice.map((m) => ({ id: m.id, threadId: m.threadId }));
    if (next) out.nextPageToken = encodeToken(next);
    out.resultSizeEstimate = items.length;
    ctx.res.json(out);
  }
  function gmailSend(ctx) {
    let mime, threadId;
    if (ctx.upload) {
      if (ctx.size > GMAIL_UPLOAD_LIMIT) return tooLarge(ctx, GMAIL_UPLOAD_LIMIT);
      if (ctx.url.searchParams.get('uploadType') !== 'media') {
        return gmailError(ctx.res, 400, 'Only uploadType=media is taken on this path here.', 'INVALID_ARGUMENT', 'invalidArgument');
      }
      const type = ctx.req.headers['content-type'] || '';
      if (!/^message\//i.test(type)) {
        return gmailError(ctx.res, 400, `Media type '${type}' is not supported. Valid media types: [message/*]`, 'INVALID_ARGUMENT', 'badContent');
      }
      mime = ctx.body;
    } else {
      if (ctx.size > GMAIL_JSON_LIMIT) return tooLarge(ctx, GMAIL_JSON_LIMIT);
      const body = parseJson(ctx.body);
      if (!body) return gmailError(ctx.res, 400, 'Invalid JSON payload received.', 'INVALID_ARGUMENT', 'invalid');
      const raw = typeof body.raw === 'string' ? body.raw : '';
      if (raw && (!/^[A-Za-z0-9_-]*={0,2}$/.test(raw) || raw.length % 4 === 1)) {
        return gmailError(ctx.res, 400, "Invalid value at 'message.raw' (TYPE_BYTES), Base64 decoding failed", 'INVALID_ARGUMENT', 'invalid');
      }
      mime = Buffer.from(raw, 'base64url');
      threadId = body.threadId;
    }
    if (!mime.length) {
      return gmailError(ctx.res, 400, "'raw' RFC822 payload message string or uploading message via /upload/* URL required", 'INVALID_ARGUMENT', 'badRequest');
    }
    const sent = store(ctx.box, { id: gmailId(), mime, labels: new Set(['SENT']), threadId });
    store(ctx.box, { id: gmailId(), mime: withoutBcc(mime), labels: new Set(['INBOX', 'UNREAD']) });
    if (ctx.behaviour === 'takes-then-fails') return fail(ctx, 504);
    ctx.res.json(gmailJson(sent));
  }
  const gmailRoutes = [
    ['POST', 'messages/send', gmailSend],
    ['GET', 'messages', gmailList],
    ['GET', 'messages/*', withMessage((ctx, m) => {
      const out = { ...gmailJson(m), sizeEstimate: m.mime.length, internalDate: String(m.received) };
      if (ctx.url.searchParams.get('format') === 'raw') out.raw = m.mime.toString('base64url');
      ctx.res.json(out);
    })],
    ['POST', 'messages/*/modify', withMessage((ctx, m) => {
      const body = parseJson(ctx.body) || {};
      const add = body.addLabelIds || [], remove = body.removeLabelIds || [];
      if (!Array.isArray(add) || !Array.isArray(remove)) return gmailError(ctx.res, 400, 'Invalid label list.', 'INVALID_ARGUMENT', 'invalidArgument');
      const bad = [...add, ...remove].find((l) => !LABELS.includes(l) && !/^Label_/.test(l));
      if (bad !== undefined) return gmailError(ctx.res, 400, `Invalid label: ${bad}`, 'INVALID_ARGUMENT', 'invalidArgument');
      add.forEach((l) => m.labels.add(l));
      remove.forEach((l) => m.labels.delete(l));
      ctx.res.json(gmailJson(m));
    })],
    ['POST', 'messages/*/trash', withMessage((ctx, m) => {
      m.labels.add('TRASH');
      m.labels.delete('INBOX');
      ctx.res.json(gmailJson(m));
    })],
    ['DELETE', 'messages/*', withMessage((ctx, m) => { ctx.box.messages.delete(m.id); ctx.res.status(204).end(); })],
  ];

  // --- Dispatch --------------------------------------------------------------

  // The handler whose pattern ("*" for one segment) matches, with the
  // segments it stood for.
  function route(routes, method, segments) {
    for (const [m, pattern, handler] of routes) {
      const parts = pattern.split('/');
      if (m !== method || parts.length !== segments.length) continue;
      const args = [];
      if (parts.every((p, i) => (p === '*' ? args.push(segments[i]) : lowerAscii(p) === lowerAscii(segments[i])))) return { handler, args };
    }
    return null;
  }

  function handle(provider, req, res, body, size) {
    const url = new URL(req.originalUrl, base);
    const segments = url.pathname.split('/').slice(1).map(decodeSegment);
    const rec = { provider, mailbox: null, method: req.method, path: req.originalUrl, headers: { ...req.headers },
      bearer: /^bearer\s/i.test(req.headers.authorization || ''), tokenValid: false, bodySize: size, at: Date.now() };
    delete rec.headers.authorization;
    state.records.push(rec);
    res.on('finish', () => Object.assign(rec, { status: res.statusCode, ms: Date.now() - rec.at }));
    const ctx = { provider, req, res, url, body, size, rec, upload: segments[0] === 'upload' };
    if (segments[0] === 'test') return graphUpload(ctx, segments[2]);

    // /v1.0/me/REST, /v1.0/users/ID/REST, [/upload]/gmail/v1/users/ID/REST
    let who, rest;
    if (provider === 'graph') {
      if (segments[1] === 'me') [who, rest] = ['me', segments.slice(2)];
      else if (segments[1] === 'users') [who, rest] = [segments[2], segments.slice(3)];
    } else {
      const at = ctx.upload ? 3 : 2;
      if (segments[at] === 'users') [who, rest] = [segments[at + 1], segments.slice(at + 2)];
    }
    const token = checkToken(req.headers.authorization);
    ctx.name = who === 'me' ? lowerAscii(token.claims && token.claims.sub || 'me') : who && who.toLowerCase();
    rec.mailbox = ctx.name || null;
    rec.tokenValid = !token.error;
    if (token.error) {
      rec.tokenError = token.error;
      return unauthorized(ctx, token.error);
    }
    if (provider === 'graph' && who === 'me' && token.claims.idtyp === 'app') {
      return graphError(res, 400, 'BadRequest', '/me request is only valid with delegated authentication flow.');
    }
    const found = who && route(provider === 'graph' ? graphRoutes : ctx.upload ? gmailRoutes.slice(0, 1) : gmailRoutes, req.method, rest);
    if (!found) {
      if (provider === 'graph') return graphError(res, 400, 'BadRequest', `Resource not found for the segment '${(rest || segments).join('/')}'.`);
      return gmailError(res, 404, 'Not Found', 'NOT_FOUND', 'notFound');
    }
    ctx.behaviour = who === 'me' ? null : BEHAVIOURS.find((b) => ctx.name.split('@')[0] === b) || null;
    if (scripted(ctx)) return undefined;
    ctx.box = mailbox(provider, ctx.name);
    return found.handler(ctx, ...found.args);
  }

  // Every body is read to its end (so that a refusal reaches the client);
  // what is beyond the largest limit is counted and dropped.
  app.use((req, res, next) => {
    const p = req.path;
    const provider = p.startsWith('/v1.0/') || p.startsWith('/test/upload/') ? 'graph'
      : p.startsWith('/gmail/v1/') || p.startsWith('/upload/gmail/v1/') ? 'gmail' : null;
    if (!provider) return next();
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      if (size + chunk.length <= GMAIL_UPLOAD_LIMIT) chunks.push(chunk);
      size += chunk.length;
    });
    req.on('end', () => {
      try {
        handle(provider, req, res, Buffer.concat(chunks), size);
      } catch (error) {
        console.error(error);
        if (!res.headersSent) res.status(500).end();
      }
    });
    return undefined;
  });

  // --- Test hooks ------------------------------------------------------------

  app.post('/test/api/reset', (_req, res) => {
    for (const map of [state.graph, state.gmail, state.uploads, state.tries]) map.clear();
    state.records.length = 0;
    res.json({ reset: true });
  });
  app.post('/test/api/revoke', (_req, res) => {
    const revoked = state.seen.size;
    for (const id of state.seen) state.revoked.add(id);
    state.seen.clear();
    res.json({ revoked });
  });
  app.get('/test/api/requests', (req, res) => {
    const { mailbox: name, provider } = req.query;
    res.json({ requests: state.records.filter((r) => (!name || r.mailbox === String(name).toLowerCase()) && (!provider || r.provider === provider)) });
  });
  const storedBox = (req) => (['graph', 'gmail'].includes(req.query.provider) ? state[req.query.provider].get(String(req.query.user || '').toLowerCase()) : null);
  app.get('/test/api/mailbox', (req, res) => {
    if (!['graph', 'gmail'].includes(req.query.provider)) return res.status(400).json({ error: 'provider is graph or gmail' });
    const box = storedBox(req);
    const messages = box ? [...box.messages.values()].sort((a, b) => a.received - b.received).map((m) => ({
      id: m.id,
      ...(m.labels ? { threadId: m.threadId, labelIds: [...m.labels], isRead: !m.labels.has('UNREAD') }
        : { folder: m.folder, parentFolderId: box.folders[m.folder], isRead: m.isRead, isDraft: m.isDraft,
          attachments: m.attachments.map((a) => ({ name: a.name, size: a.data.length })) }),
      size: m.mime.length, receivedDateTime: new Date(m.received).toISOString(),
    })) : [];
    return res.json({ user: String(req.query.user || '').toLowerCase(), provider: req.query.provider, messages });
  });
  app.get('/test/api/message', (req, res) => {
    const m = storedBox(req) && storedBox(req).messages.get(String(req.query.id));
    if (!m) return res.status(404).json({ error: 'no such message' });
    return res.set('Content-Type', 'message/rfc822').send(m.mime);
  });
}

module.exports = { mount };
