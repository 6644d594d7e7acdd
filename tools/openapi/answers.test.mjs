// Real answers of vetrix-serve, started on 127.0.0.1, checked against serve/openapi.json: every
// status code must be documented for its operation, with the documented media type and headers,
// and every JSON body must validate against the documented schema.
//
// The program is $VETRIX_SERVE, else build-release/bin/vetrix-serve, else build/bin/vetrix-serve.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync, readdirSync } from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import Ajv2020 from 'ajv/dist/2020.js';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const documentPath = path.join(root, 'serve/openapi.json');
const documentText = readFileSync(documentPath, 'utf8');
const doc = JSON.parse(documentText);
const dataDir = path.join(root, 'tests/data');
const program = [process.env.VETRIX_SERVE,
                 path.join(root, 'build-release/bin/vetrix-serve'),
                 path.join(root, 'build/bin/vetrix-serve')].find((p) => p && existsSync(p));

const ajv = new Ajv2020({ strict: false, allErrors: true });
ajv.addSchema(doc, 'openapi.json');

// The object at a JSON pointer of the description, following $ref once per step.
function at(pointer) {
  let node = doc;
  for (const part of pointer.split('/').slice(1)) {
    node = node[part.replace(/~1/g, '/').replace(/~0/g, '~')];
    assert.ok(node !== undefined, `nothing at ${pointer}`);
  }
  return node;
}
const escape = (key) => key.replace(/~/g, '~0').replace(/\//g, '~1');

// The documented response of an operation for a status, with its JSON pointer.
function documentedResponse(route, method, status) {
  let pointer = `#/paths/${escape(route)}/${method}/responses/${status}`;
  let response = at(pointer.slice(1));
  while (response.$ref) {
    pointer = response.$ref;
    response = at(pointer.slice(1));
  }
  return { pointer, response };
}

// Checks one real answer against the description and returns its parsed JSON body, if any.
function check(route, method, reply) {
  const found = doc.paths[route]?.[method];
  assert.ok(found, `${method} ${route} is not described`);
  assert.ok(found.responses[reply.status],
            `${method} ${route} answered ${reply.status}, which is not documented: ${reply.body}`);
  const { pointer, response } = documentedResponse(route, method, reply.status);
  for (const [name, header] of Object.entries(response.headers ?? {})) {
    const described = header.$ref ? at(header.$ref.slice(1)) : header;
    if (described.required) {
      assert.ok(reply.headers[name.toLowerCase()] !== undefined,
                `${method} ${route} ${reply.status} lacks the header ${name}`);
    }
  }
  const type = reply.headers['content-type'];
  assert.ok(response.content?.[type] || response.content?.[type.split(';')[0]],
            `${method} ${route} ${reply.status} came as ${type}, not as documented`);
  if (type !== 'application/json') {
    return undefined;
  }
  const body = JSON.parse(reply.body.toString('utf8'));
  const validate = ajv.compile({ $ref: `openapi.json${pointer}/content/application~1json/schema` });
  assert.ok(validate(body), `${method} ${route} ${reply.status}: ${ajv.errorsText(validate.errors)}\n` +
                            JSON.stringify(body));
  return body;
}

// A running vetrix-serve on a port the system chose.
async function startServe(args) {
  const child = spawn(program, ['--listen', '127.0.0.1:0', ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
  const port = await new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`vetrix-serve did not start: ${text}`)), 30000);
    child.stderr.on('data', (chunk) => {
      text += chunk;
      const m = /listening on 127\.0\.0\.1:(\d+)/.exec(text);
      if (m) {
        clearTimeout(timer);
        resolve(Number(m[1]));
      }
    });
    child.on('exit', (code) => reject(new Error(`vetrix-serve exited ${code}: ${text}`)));
  });
  child.stderr.resume();
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return { child, port, exited };
}

async function stopServe(serve) {
  serve.child.kill('SIGTERM');
  return serve.exited;
}

// One request over its own connection, written as given, read until the server closes it.
function rawRequest(port, head, body = Buffer.alloc(0)) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const chunks = [];
    socket.setTimeout(120000, () => socket.destroy(new Error('no answer in 120 s')));
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', reject);
    socket.on('close', () => {
      const all = Buffer.concat(chunks);
      const end = all.indexOf('\r\n\r\n');
      if (end < 0) {
        reject(new Error(`no answer: ${all}`));
        return;
      }
      const lines = all.subarray(0, end).toString('latin1').split('\r\n');
      const headers = {};
      for (const line of lines.slice(1)) {
        const colon = line.indexOf(':');
        headers[line.slice(0, colon).toLowerCase()] = line.slice(colon + 1).trim();
      }
      resolve({ status: Number(lines[0].split(' ')[1]), headers, body: all.subarray(end + 4) });
    });
    socket.write(head.replace(/\n/g, '\r\n'));
    socket.end(body);
  });
}

function request(port, method, target, body) {
  const length = body ? `Content-Length: ${body.length}\n` : '';
  return rawRequest(port, `${method} ${target} HTTP/1.1\nHost: 127.0.0.1\nConnection: close\n${length}\n`,
                    body);
}

let serve;
before(async () => {
  assert.ok(program, 'no vetrix-serve built: build the release or dev preset first');
  serve = await startServe(['--workers', '2']);
});
after(async () => {
  if (serve) {
    assert.equal(await stopServe(serve), 0, 'vetrix-serve did not drain and exit 0 on SIGTERM');
  }
});

test('every test photo: the audit and the normalisation answer as described', async () => {
  const photos = readdirSync(dataDir).filter((f) => f.endsWith('.jpg')).sort();
  assert.ok(photos.length >= 20);
  const states = new Set();
  const causes = new Set();
  const codeTitles = Object.fromEntries(
    at('/components/schemas/AuditResult/properties/code').oneOf.map((c) => [c.const, c.title]));
  for (const photo of photos) {
    const bytes = readFileSync(path.join(dataDir, photo));
    const audit = check('/v1/audit', 'post', await request(serve.port, 'POST', '/v1/audit', bytes));
    // Each code's documented name is the state the service gives with it.
    assert.equal(audit.state, codeTitles[audit.code], photo);
    states.add(audit.state);
    causes.add(audit.why.cause);
    const normalised = await request(serve.port, 'POST', '/v1/normalise', bytes);
    check('/v1/normalise', 'post', normalised);
    assert.equal(normalised.status, audit.state === 'Passed' ? 200 : 422, photo);
    if (normalised.status === 200) {
      const verify = check('/v1/verify', 'post',
                           await request(serve.port, 'POST', '/v1/verify', normalised.body));
      assert.equal(verify.outcome, 'Verified', photo);
    }
  }
  // The photos reach every verdict, so every branch of the schema met a real answer.
  assert.deepEqual([...states].sort(), ['BadBackground', 'BadFormat', 'BadProportion', 'BadSize',
                                        'NoSinglePortrait', 'Passed']);
  assert.ok(causes.size >= 8, [...causes].join(' '));
});

test('verification outcomes other than Verified', async () => {
  const photo = readFileSync(path.join(dataDir, 'pass_red_test2_295x413.jpg'));
  const cases = [
    [photo, 'NoTrailer'],
    [Buffer.from('not a photo at all'), 'NoTrailer'],
  ];
  const saved = await request(serve.port, 'POST', '/v1/normalise', photo);
  assert.equal(saved.status, 200);
  // The trailer after bytes that are no JPEG.
  cases.push([Buffer.concat([Buffer.from('garbage'), saved.body.subarray(-10)]), 'NotJpeg']);
  for (const [bytes, outcome] of cases) {
    const verify = check('/v1/verify', 'post', await request(serve.port, 'POST', '/v1/verify', bytes));
    assert.equal(verify.outcome, outcome);
    assert.equal(verify.verified, false);
  }
});

test('the operator routes and the description itself', async () => {
  const health = check('/healthz', 'get', await request(serve.port, 'GET', '/healthz'));
  assert.deepEqual(health, { status: 'ok' });

  const served = await request(serve.port, 'GET', '/openapi.json');
  check('/openapi.json', 'get', served);
  assert.equal(served.body.toString('utf8'), documentText, 'the served description is not the file');

  const metrics = await request(serve.port, 'GET', '/metrics');
  check('/metrics', 'get', metrics);
  // Every family the service exposes is documented.
  const described = doc.paths['/metrics'].get.description;
  const families = [...metrics.body.toString('utf8').matchAll(/^# TYPE (\S+) /gm)].map((m) => m[1]);
  assert.ok(families.length >= 7);
  for (const family of families) {
    assert.ok(described.includes(`\`${family}\``), `${family} is not described`);
  }
});

test('refusals: wrong method, empty body, too large a body or head, unknown resource', async () => {
  for (const [method, route] of [['GET', '/v1/audit'], ['PUT', '/v1/normalise'], ['GET', '/v1/verify'],
                                 ['POST', '/healthz'], ['POST', '/metrics'], ['POST', '/openapi.json']]) {
    const reply = await request(serve.port, method, route, method === 'GET' ? undefined : Buffer.from('x'));
    assert.equal(reply.status, 405, `${method} ${route}`);
    const documentedMethod = route.startsWith('/v1/') ? 'post' : 'get';
    check(route, documentedMethod, reply);
    assert.equal(reply.headers.allow, documentedMethod === 'post' ? 'POST' : 'GET, HEAD');
  }
  for (const route of ['/v1/audit', '/v1/normalise', '/v1/verify']) {
    const empty = await rawRequest(serve.port, `POST ${route} HTTP/1.1\nHost: x\nContent-Length: 0\n\n`);
    assert.equal(empty.status, 400);
    check(route, 'post', empty);
    // Refused from its length alone: nothing of the body is sent.
    const large = await rawRequest(serve.port,
                                   `POST ${route} HTTP/1.1\nHost: x\nContent-Length: 20971521\n\n`);
    assert.equal(large.status, 413);
    check(route, 'post', large);
    const head = await rawRequest(serve.port,
                                  `POST ${route} HTTP/1.1\nHost: x\nX-Long: ${'a'.repeat(17000)}\n\n`);
    assert.equal(head.status, 431);
    check(route, 'post', head);
  }
  const missing = await request(serve.port, 'GET', '/no-such-thing');
  assert.equal(missing.status, 404);
  assert.ok(ajv.validate({ $ref: 'openapi.json#/components/schemas/Error' },
                         JSON.parse(missing.body.toString('utf8'))));
});

test('a full queue answers 503 with Retry-After', async () => {
  const busy = await startServe(['--workers', '1', '--queue', '0']);
  try {
    const large = readFileSync(path.join(dataDir, 'bad_truncated_half_red_test3_1050x1470.jpg'));
    const small = readFileSync(path.join(dataDir, 'pass_red_test2_295x413.jpg'));
    let refused;
    // The second request is sent once the first is known to hold the one worker; should the
    // first finish in between, try again, a bounded number of times.
    for (let attempt = 0; attempt < 5 && !refused; ++attempt) {
      const first = request(busy.port, 'POST', '/v1/audit', large);
      for (let poll = 0; poll < 200; ++poll) {
        const m = await request(busy.port, 'GET', '/metrics');
        if (/^vetrix_requests_in_flight 1$/m.test(m.body.toString('utf8'))) {
          break;
        }
        await new Promise((r) => setTimeout(r, 5));
      }
      const second = await request(busy.port, 'POST', '/v1/audit', small);
      check('/v1/audit', 'post', second);
      if (second.status === 503) {
        refused = second;
      }
      check('/v1/audit', 'post', await first);
    }
    assert.ok(refused, 'no 503 in five tries');
    assert.equal(refused.headers['retry-after'], '1');
  } finally {
    assert.equal(await stopServe(busy), 0);
  }
});
