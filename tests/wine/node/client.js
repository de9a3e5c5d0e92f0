'use strict';
/*
 * client.js - the port driven by the Node.js serialport package in a Windows node.exe, as a
 * Node application drives a serial port, checked against what the simulated printer saw.
 *
 *   node.exe client.js <port> <printer index> <vptest.exe>
 *
 * Node cannot reach the printer's control device, so vptest.exe's fixtures queue its replies,
 * read back what it was sent, and read the DTR and RTS lines the client left set (only after a
 * close: the port opens once at a time), and count the printer's opens that tell an accepted open
 * of the port from a refused one (under Wine a refused open still yields a handle). Every open
 * follows the previous user's close at once, as an application's would: Windows has finished the
 * close when CloseHandle returns, Wine queues it ahead of any later open. One "ok"/"FAIL" line per
 * check, then "N passed, N failed"; exit 1 on a failure. Every wait is bounded, so a stranded
 * request fails its check.
 */
const { SerialPort } = require('serialport');
const { execFileSync } = require('child_process');

const [portName, printer, vptest] = process.argv.slice(2);
const kWaitMs = 5000;
let passed = 0;
let failed = 0;

function check(ok, name, detail) {
  if (ok) passed++; else failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} node: ${name}${!ok && detail ? `: ${detail}` : ''}`);
}

/* A fixture's output, or an Error when it failed. */
function fixture(...args) {
  try {
    return execFileSync(vptest, args, { encoding: 'latin1', timeout: 30000 }).trim();
  } catch (error) {
    return new Error(`vptest ${args.join(' ')}: ${String(error.stderr || error.message).trim()}`);
  }
}
const resetPrinter = () => fixture('printer', printer, 'reset');
const queueReply = (bytes) => fixture('printer', printer, 'reply', bytes.toString('hex'));
function printed() {
  const hex = fixture('printer', printer, 'printed');
  return hex instanceof Error ? hex : Buffer.from(hex, 'hex');
}

/* A callback-style call as a promise of { error, value }; no answer in time is an error. */
function call(start, ms = kWaitMs) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve({ error: new Error(`no answer in ${ms} ms`) }), ms);
    start((error, value) => {
      clearTimeout(timer);
      resolve({ error, value });
    });
  });
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(condition, ms = kWaitMs) {
  for (let waited = 0; !condition(); waited += 20) {
    if (waited >= ms) return false;
    await sleep(20);
  }
  return true;
}
const describe = (error) => (error ? error.message : 'no error');

function pattern(length, seed) {
  const bytes = Buffer.alloc(length);
  for (let i = 0; i < length; i++) bytes[i] = (seed + i * 7) & 0xff;
  return bytes;
}

/* Writes and drains; checks that the printer got exactly those bytes. */
async function writeChecked(port, what, data) {
  const reset = resetPrinter();
  const written = await call((done) => port.write(data, done));
  const drained = await call((done) => port.drain(done));
  check(!drained.error, `${what}: drain() succeeds`, describe(drained.error));
  const got = printed();
  check(!(reset instanceof Error) && !written.error && !(got instanceof Error) && got.equals(data),
    `${what}: the printer gets exactly the ${data.length} bytes written`,
    got instanceof Error ? got.message : `write ${describe(written.error)}, printer got ${got.length} bytes, ` +
      (got.length === data.length ? 'different ones' : `expected ${data.length}`));
}

/* A reply queued at the printer reaches the 'data' listener whole. */
async function replyChecked(stream, what, reply) {
  const before = stream.received.length;
  const queued = queueReply(reply);
  const arrived = await until(() => stream.received.length >= before + reply.length);
  const got = Buffer.concat(stream.chunks).subarray(before);
  check(!(queued instanceof Error) && arrived && got.equals(reply), what,
    queued instanceof Error ? queued.message
      : `${got.length} of ${reply.length} bytes arrived${stream.ended ? '; the stream ended' : ''}` +
        (got.length === reply.length ? ', different ones' : ''));
}

/* Opens the port. The driver accepted the open when a port's open opened the printer since its
 * reset, which the caller made before the previous user's close. */
async function openChecked(port, what) {
  const opened = await call((done) => port.open(done));
  const opens = fixture('printer', printer, 'opens');
  check(!opened.error && opens === '1', what,
    `${describe(opened.error)}, ${opens instanceof Error ? opens.message : `${opens} accepted open(s)`}`);
  return !opened.error;
}

/* DTR and RTS as the client left them, read by an open of the port right after its close. */
function linesChecked(what, dtr, rts) {
  const lines = fixture('dtrrts', portName);
  const expected = `dtr ${dtr ? 1 : 0} rts ${rts ? 1 : 0}`;
  check(lines === expected, what, lines instanceof Error ? lines.message : `'${lines}', expected '${expected}'`);
}

async function main() {
  const reset = resetPrinter();
  if (reset instanceof Error) {
    check(false, 'the simulated printer answers', reset.message);
    return;
  }
  const listed = await call((done) => SerialPort.list().then((ports) => done(null, ports), done));
  console.log(`note node: list() names ${JSON.stringify((listed.value || []).map((p) => p.path))} ` +
    `(${describe(listed.error)}; the binding lists COM names only)`);

  const port = new SerialPort({ path: portName, baudRate: 19200, autoOpen: false });
  const errors = [];
  port.on('error', (error) => errors.push(error.message));
  if (!await openChecked(port, 'open(): the driver accepts the open')) return;
  const rate = await port.port.getBaudRate().catch((error) => ({ error }));
  check(rate.baudRate === 19200, 'open(): the port runs at 19200 baud', `${describe(rate.error)}, ${rate.baudRate}`);

  await writeChecked(port, 'write', Buffer.concat([Buffer.from('node job:'), pattern(191, 3)]));

  /* The listener starts the stream's reads: the binding keeps a 1-byte read pending with all-zero
   * time-outs. The reply comes after that read has waited a while. */
  const stream = { chunks: [], received: Buffer.alloc(0), ended: false };
  port.on('data', (chunk) => {
    stream.chunks.push(chunk);
    stream.received = Buffer.concat(stream.chunks);
  });
  port.on('end', () => { stream.ended = true; });
  await sleep(500);
  await replyChecked(stream, "'data': a listener attached before the reply receives it", Buffer.from('status: ready'));
  await sleep(1000);
  await replyChecked(stream, "'data': a second reply after a pause also arrives", pattern(300, 0));

  const signals = await call((done) => port.get(done));
  const lines = signals.value || {};
  check(!signals.error && lines.cts === true && lines.dsr === true, 'get(): CTS and DSR on while the printer is present',
    `${describe(signals.error)}, ${JSON.stringify(lines)}`);

  const updated = await call((done) => port.update({ baudRate: 57600 }, done));
  const after = updated.error ? {} : await port.port.getBaudRate().catch((error) => ({ error }));
  check(!updated.error && after.baudRate === 57600 && port.baudRate === 57600, 'update(): the baud rate becomes 57600',
    `${describe(updated.error)}, port reports ${after.baudRate}, object ${port.baudRate}`);

  /* The binding's close cancels the pending read (CancelIoEx) and closes the handle; the open
   * that follows at once must find the port free. */
  resetPrinter();
  const closed = await call((done) => port.close(done));
  check(!closed.error && !port.isOpen, 'close(): the port closes', describe(closed.error));
  if (!await openChecked(port, 'open() right after close(): the driver accepts it')) return;
  await writeChecked(port, 'write after reopening', Buffer.from('second job\n'));
  await replyChecked(stream, "'data': after reopening, the same listener receives a reply", Buffer.from('again'));

  /* DTR and RTS, each set the other way first so that the check sees set() change them. They are
   * read once the client has closed the port, by another open of it. */
  for (const [dtr, rts] of [[false, true], [true, false]]) {
    if (!port.isOpen) {
      resetPrinter();
      if (!await openChecked(port, 'open() right after another program closed the port: the driver accepts it')) return;
    }
    const first = await call((done) => port.set({ dtr: !dtr, rts: !rts }, done));
    const set = await call((done) => port.set({ dtr, rts }, done));
    const closedAfter = await call((done) => port.close(done));
    check(!first.error && !set.error && !closedAfter.error, `set({dtr: ${dtr}, rts: ${rts}}) and close() succeed`,
      `${describe(first.error)}, ${describe(set.error)}, ${describe(closedAfter.error)}`);
    linesChecked(`set(): the port was left with DTR ${dtr ? 'on' : 'off'} and RTS ${rts ? 'on' : 'off'}`, dtr, rts);
  }
  check(errors.length === 0, "no 'error' event", errors.join('; '));
}

const watchdog = setTimeout(() => {
  check(false, 'the client finishes within 120 s');
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(1);
}, 120000);
main().catch((error) => check(false, 'the client runs to its end', error.stack)).finally(() => {
  clearTimeout(watchdog);
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 ? 0 : 1);
});
