'use strict';
// Whole debug sessions through debugger-host --dap, driven by a DAP client from npm, once per back end.
const { describe, test, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { pgrep, cpuTicks, descendants, until } = require('./processes');

const binDir = process.env.LD_BIN_DIR;
const standinDir = process.env.LD_STANDIN_DIR;
const clientPackage = `${process.env.LD_DAP_CLIENT_DIR}/node_modules/@vscode/debugadapter-testsupport`;
if (!binDir || !standinDir || !fs.existsSync(clientPackage)) {
  throw new Error(`no DAP client in LD_DAP_CLIENT_DIR=${process.env.LD_DAP_CLIENT_DIR} ` +
    '(or LD_BIN_DIR/LD_STANDIN_DIR unset): run scripts/setup.sh <build dir>, then ctest');
}
const { DebugClient } = require(clientPackage);

const adapterCommand = (process.env.LD_DAP_ADAPTER || `${binDir}/debugger-host --dap`).trim().split(/\s+/);
const exampleProgram = `${binDir}/example-program`;
const exampleSource = path.resolve(__dirname, '../../example/example_program.c');
const structProgram = `${standinDir}/struct_program`;
const structSource = path.resolve(__dirname, '../debuggees/struct_program.c');
const valuesProgram = `${standinDir}/cpp_values_program`;
const valuesSource = path.resolve(__dirname, '../debuggees/cpp_values_program.cpp');
const throwingProgram = `${standinDir}/throwing_program`;
const throwingSource = path.resolve(__dirname, '../debuggees/throwing_program.cpp');
const cppProgram = `${standinDir}/cpp_values_b`;
const cppSource = path.resolve(__dirname, '../debuggees/cpp_values_b.cpp');
const floodProgram = `${standinDir}/flood_program`;
const readingProgram = `${standinDir}/reading_program`;
const timeout = 20000;

// Ideally nothing differs between the back ends; a difference belongs in its row. A row's
// adapterArguments follow the adapter's command line. A thread's name: GDB's as its thread list
// gives it (the system's id first), LLDB's the thread's own name. The registers come in groups:
// GDB's register groups, LLDB's register sets. A breakpoint's stop ends GDB's step; LLDB's step
// goes on once the program is continued. GDB tells of each library as it loads; LLDB's back ends
// do not.
const lldbRow = {
  backend: 'lldb',
  threadName: /^cpp_values_prog$/,
  registerGroups: ['General Purpose Registers'],
  stepEndsAtLogPoint: false,
  moduleEvents: false,
  commandCompletion: ['breakpoint se', 'set'],
};
const backends = [
  {
    name: 'gdb',
    backend: 'gdb',
    threadName: /^Thread 0x[0-9a-f]+ \(LWP \d+\) "cpp_values_prog"$/,
    registerGroups: ['general', 'float', 'vector'],
    stepEndsAtLogPoint: true,
    moduleEvents: true,
    commandCompletion: ['info brea', 'breakpoints'],
  },
  { name: 'lldb helper', ...lldbRow },
  { name: 'lldb script', ...lldbRow, adapterArguments: ['--lldb=script'] },
];

function lineOf(file, text) {
  const index = fs.readFileSync(file, 'utf8').split('\n').findIndex((line) => line.includes(text));
  assert.ok(index >= 0, `${text} is not in ${file}`);
  return index + 1;
}
const computeLine = lineOf(exampleSource, 'int square = x * x;');
const perimeterLine = lineOf(structSource, 'int sum = 0;');
const caughtLine = lineOf(throwingSource, 'caught++;');
const sumLine = lineOf(cppSource, 'int sum = 0;');

function bounded(promise, what, ms = timeout) {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms} ms`)), ms);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}

// DebugClient spawns `runtime executable`: one argument at most, so a longer or shorter command
// line goes through the shell, which execs it so that the adapter keeps the spawned pid.
// environment: entries added to the adapter's.
async function startClient(row, environment = {}) {
  const trace = Boolean(process.env.LD_DAP_TRACE);
  const command = [...adapterCommand, ...(row.adapterArguments || [])];
  const env = { ...process.env, ...environment };
  const client = command.length === 2
    ? new DebugClient(command[0], command[1], 'ld', { env }, trace)
    : new DebugClient(`exec ${command.join(' ')}`, '', 'ld', { shell: true, env }, trace);
  client.defaultTimeout = timeout;
  client.output = [];
  client.on('output', (event) => client.output.push(event.body));
  const started = client.start();
  const child = adapterProcess(client);
  let stderr = '';
  child.stderr.on('data', (data) => { stderr = (stderr + data).slice(-2000); });
  // Whatever waits on the adapter fails at once, with its last words, when the adapter is gone.
  const gone = new Promise((_, reject) => {
    const fail = (how) => reject(new Error(`the adapter (${command.join(' ')}) ${how}: ${stderr.trim()}`));
    child.once('error', (error) => fail(`did not start (${error.message})`));
    child.once('exit', (code, signal) => fail(`exited (${signal || code})`));
  });
  gone.catch(() => {});
  client.within = (promise, what, ms = timeout) => bounded(Promise.race([promise, gone]), what, ms);
  await started;
  return client;
}

// Not the client's waitForEvent: its timers outlive a failed test and keep node running.
function nextEvent(client, name) {
  return new Promise((resolve) => client.once(name, resolve));
}

function adapterProcess(client) {
  // The client keeps the spawned adapter private; the tests need to see it exit.
  return client._adapterProcess;
}

function adapterExited(client) {
  const child = adapterProcess(client);
  if (!child || child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => child.once('exit', resolve));
}

// The adapter has exited and everything it wrote has been read.
function adapterClosed(client) {
  const child = adapterProcess(client);
  return new Promise((resolve) => {
    if (child.stdout.readableEnded) resolve();
    else child.once('close', resolve);
  });
}

async function stopClient(client) {
  const child = adapterProcess(client);
  if (child && child.exitCode === null && child.signalCode === null) {
    await bounded(client.disconnectRequest({ terminateDebuggee: true }), 'disconnect').catch(() => {});
    await bounded(adapterExited(client), 'adapter exit', 5000).catch(() => {});
  }
  client.stopAdapter();
}

// send() keeps only the message of a failed response; a failure's body.error matters here.
function rawRequest(client, command, args) {
  return client.within(new Promise((resolve) => client.doSend(command, args, resolve)), command);
}

function launchArguments(row, program, args = []) {
  return {
    program, args, cwd: os.tmpdir(), env: { LD_DAP_SESSION: 'yes' }, stopOnEntry: false, backend: row.backend,
  };
}

// initialize, launch, then the configuration between `initialized` and configurationDone; the launch
// response may come before `initialized` or only after configurationDone.
async function startSession(client, launchArgs, configure, offered = {}) {
  const initialized = nextEvent(client, 'initialized');
  const capabilities = await client.within(client.initializeRequest({
    adapterID: 'ld', linesStartAt1: true, columnsStartAt1: true, pathFormat: 'path', ...offered,
  }), 'initialize');
  const launched = client.within(client.launchRequest(launchArgs), 'launch');
  launched.catch(() => {});
  await client.within(initialized, 'initialized');
  await configure();
  if (capabilities.body && capabilities.body.supportsConfigurationDoneRequest) {
    await client.within(client.configurationDoneRequest(), 'configurationDone');
  }
  await launched;
  return capabilities;
}

async function resume(client, request, reason) {
  const stopped = nextEvent(client, 'stopped');
  await client.within(request, 'resume');
  const event = await client.within(stopped, 'stopped');
  assert.equal(event.body.reason, reason);
  const trace = await client.within(client.stackTraceRequest({ threadId: event.body.threadId }), 'stackTrace');
  return { threadId: event.body.threadId, trace: trace.body, top: trace.body.stackFrames[0], stopped: event.body };
}

async function evaluate(client, expression, frameId, context = 'watch') {
  const response = await client.within(client.evaluateRequest({ expression, frameId, context }),
    `evaluate ${expression}`);
  return response.body.result;
}

async function variables(client, variablesReference) {
  const response = await client.within(client.variablesRequest({ variablesReference }), 'variables');
  return response.body.variables;
}

async function frameVariables(client, frameId) {
  const response = await client.within(client.scopesRequest({ frameId }), 'scopes');
  const scopes = response.body.scopes;
  assert.ok(scopes.some((scope) => /local/i.test(scope.name) || scope.presentationHint === 'locals'),
    `no Locals scope in ${JSON.stringify(scopes)}`);
  const all = [];
  for (const scope of scopes.filter((s) => !s.expensive && s.variablesReference > 0)) {
    all.push(...await variables(client, scope.variablesReference));
  }
  return all;
}

async function stopInValuesProgram(client, row) {
  const hit = nextEvent(client, 'stopped');
  await startSession(client, launchArguments(row, valuesProgram), async () => {
    await client.within(client.setBreakpointsRequest({
      source: { path: valuesSource }, breakpoints: [{ line: lineOf(valuesSource, 'std::printf(') }],
    }), 'setBreakpoints');
  });
  const stop = await client.within(hit, 'stopped');
  const trace = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
  return { threadId: stop.body.threadId, frameId: trace.body.stackFrames[0].id };
}

function named(list, name) {
  const found = list.find((variable) => variable.name === name);
  assert.ok(found, `no ${name} in ${JSON.stringify(list.map((variable) => variable.name))}`);
  return found;
}

function waitForOutput(client, text) {
  const has = () => client.output.filter((body) => body.category === 'stdout').map((body) => body.output)
    .join('').includes(text);
  if (has()) return Promise.resolve();
  return client.within(new Promise((resolve) => {
    const listener = () => { if (has()) { client.removeListener('output', listener); resolve(); } };
    client.on('output', listener);
  }), `stdout ${JSON.stringify(text)}`);
}

async function stopAtLine(client, row, program, source, line, args = []) {
  const hit = nextEvent(client, 'stopped');
  const capabilities = await startSession(client, launchArguments(row, program, args), async () => {
    await client.within(client.setBreakpointsRequest({ source: { path: source }, breakpoints: [{ line }] }),
      'setBreakpoints');
  });
  const stop = await client.within(hit, 'stopped');
  const trace = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
  return { stop: stop.body, top: trace.body.stackFrames[0], capabilities: capabilities.body };
}

// The editor's part in the adapter's own requests: answer(request) gives success and message,
// or undefined for an editor that never answers. The client answers none itself.
function answerReverseRequests(client, answer) {
  const dispatch = client.dispatch.bind(client);
  client.reverseRequests = [];
  client.dispatch = (body) => {
    const request = JSON.parse(body);
    if (request.type !== 'request') return dispatch(body);
    client.reverseRequests.push(request);
    const answered = answer(request);
    if (answered === undefined) return undefined;
    const json = JSON.stringify({
      type: 'response', seq: client.sequence++, request_seq: request.seq, command: request.command, ...answered,
    });
    return client.outputStream.write(`Content-Length: ${Buffer.byteLength(json, 'utf8')}\r\n\r\n${json}`);
  };
}

// The editor's terminal: the command runs on a pseudo-terminal of its own; typed text goes to it
// and the screen is kept in shown.
function editorTerminal(args) {
  const terminal = spawn('python3', [path.join(__dirname, 'pty_terminal.py'), ...args], { stdio: ['pipe', 'pipe', 'inherit'] });
  terminal.shown = '';
  terminal.stdout.on('data', (data) => { terminal.shown += data; });
  terminal.ended = new Promise((resolve) => terminal.once('exit', resolve));
  return terminal;
}

// Whether this machine's debug registers stop a program that writes what they watch: some virtual
// machines take the watchpoint and never fire it. GDB's own command line, once, outside the adapter.
let hardwareWatchpointsFire;
function hardwareWatchpoints() {
  if (hardwareWatchpointsFire === undefined) {
    const run = spawnSync('gdb', ['-nx', '-batch', '-ex', `break ${exampleSource}:${computeLine}`, '-ex', 'run',
      '-ex', 'up', '-ex', 'watch total', '-ex', 'delete 1', '-ex', 'continue', exampleProgram], { encoding: 'utf8' });
    hardwareWatchpointsFire = /Hardware watchpoint 2: total[^]*Old value/.test(run.stdout);
  }
  return hardwareWatchpointsFire;
}

function regexQuote(text) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}

// LD_DAP_ROW names the one row to run (ctest runs each row as a test of its own).
const rows = process.env.LD_DAP_ROW ? backends.filter((row) => row.name === process.env.LD_DAP_ROW) : backends;
if (rows.length === 0) throw new Error(`no row named ${process.env.LD_DAP_ROW}`);

for (const row of rows) {
  describe(`debugger-host --dap with the ${row.name} back end`, { timeout: 180000 }, () => {
    let client;
    afterEach(async () => {
      if (client) await stopClient(client);
      client = undefined;
    });

    test('a session steps, inspects and runs to the end', async () => {
      const marker = `dap-session-${process.pid}-${row.backend}`;
      client = await startClient(row);
      const exited = nextEvent(client, 'exited');
      const terminated = nextEvent(client, 'terminated');
      const hit = nextEvent(client, 'stopped');
      const capabilities = await startSession(client, launchArguments(row, exampleProgram, ['first', marker]),
        async () => {
          const set = await client.within(client.setBreakpointsRequest({
            source: { path: exampleSource }, breakpoints: [{ line: computeLine }],
          }), 'setBreakpoints');
          assert.equal(set.body.breakpoints.length, 1);
          assert.equal(set.body.breakpoints[0].verified, true);
        });
      assert.equal(capabilities.body.supportsConfigurationDoneRequest, true);

      const stop = await client.within(hit, 'stopped');
      assert.equal(stop.body.reason, 'breakpoint');
      const [pid] = pgrep(`${regexQuote(exampleProgram)} first ${marker}`);
      assert.ok(pid, 'no debuggee with the launch arguments');
      assert.equal(fs.readlinkSync(`/proc/${pid}/cwd`), os.tmpdir());
      assert.ok(fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes('LD_DAP_SESSION=yes'),
        'the launch env is not in the debuggee\'s environment');
      const threads = await client.within(client.threadsRequest(), 'threads');
      assert.ok(threads.body.threads.some((thread) => thread.id === stop.body.threadId),
        `stopped thread ${stop.body.threadId} not in ${JSON.stringify(threads.body.threads)}`);

      const traced = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
      const trace = traced.body;
      const top = trace.stackFrames[0];
      assert.match(top.name, /compute/);
      assert.equal(top.line, computeLine);
      assert.equal(path.basename(top.source.path), 'example_program.c');
      assert.ok(trace.totalFrames >= 2, `totalFrames ${trace.totalFrames}`);
      assert.match(trace.stackFrames[1].name, /main/);

      const visible = await frameVariables(client, top.id);
      assert.equal(named(visible, 'x').value, '1');
      named(visible, 'square');
      assert.equal(await evaluate(client, 'x * 10', top.id), '10');
      assert.match(await evaluate(client, 'x + 1', top.id, 'repl'), /\b2\b/);

      const stepped = await resume(client, client.nextRequest({ threadId: stop.body.threadId }), 'step');
      assert.equal(stepped.top.line, computeLine + 1);
      assert.equal(await evaluate(client, 'square', stepped.top.id), '1');

      const out = await resume(client, client.stepOutRequest({ threadId: stop.body.threadId }), 'step');
      assert.match(out.top.name, /main/);
      assert.equal(await evaluate(client, 'argc', out.top.id), '3');

      await client.within(client.setBreakpointsRequest({ source: { path: exampleSource }, breakpoints: [] }), 'clear');
      await client.within(client.continueRequest({ threadId: stop.body.threadId }), 'continue');
      await waitForOutput(client, 'step 3 total 17');
      await waitForOutput(client, 'done 17');
      assert.equal((await client.within(exited, 'exited', 120000)).body.exitCode, 0);
      await client.within(terminated, 'terminated', 120000);
    });

    test('a struct argument expands into its fields', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      await startSession(client, launchArguments(row, structProgram), async () => {
        await client.within(client.setBreakpointsRequest({
          source: { path: structSource }, breakpoints: [{ line: perimeterLine }],
        }), 'setBreakpoints');
      });
      const stop = await client.within(hit, 'stopped');
      assert.equal(stop.body.reason, 'breakpoint');
      const trace = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
      const shape = named(await frameVariables(client, trace.body.stackFrames[0].id), 'shape');
      assert.ok(shape.variablesReference > 0, `shape has no children: ${JSON.stringify(shape)}`);
      let fields = await variables(client, shape.variablesReference);
      // A pointer may show its fields directly or one dereferenced child holding them.
      if (fields.length === 1 && fields[0].variablesReference > 0) {
        fields = await variables(client, fields[0].variablesReference);
      }
      assert.equal(named(fields, 'id').value, '42');
      const origin = named(fields, 'origin');
      assert.ok(origin.variablesReference > 0);
      const point = await variables(client, origin.variablesReference);
      assert.deepEqual([named(point, 'x').value, named(point, 'y').value], ['3', '4']);
      const sides = named(fields, 'sides');
      assert.ok(sides.variablesReference > 0);
      assert.deepEqual((await variables(client, sides.variablesReference)).map((v) => v.value), ['5', '6', '7']);
    });

    test('C++ library values show as their printers give them and every child expands, a base class too', async () => {
      client = await startClient(row);
      const { frameId } = await stopInValuesProgram(client, row);
      const locals = await frameVariables(client, frameId);
      const numbers = named(locals, 'numbers');
      assert.match(numbers.value, /size=3/);
      const elements = await variables(client, numbers.variablesReference);
      assert.deepEqual(elements.map((v) => [v.name, v.value]), [['[0]', '10'], ['[1]', '20'], ['[2]', '30']]);
      assert.match(named(locals, 'greeting').value, /^"hello, world"$/);
      const ages = named(locals, 'ages');
      assert.match(ages.value, /size=2/);
      const entries = await variables(client, ages.variablesReference);
      let shown = JSON.stringify(entries);
      for (const entry of entries.filter((e) => e.variablesReference > 0)) {
        shown += JSON.stringify(await variables(client, entry.variablesReference));
      }
      assert.match(shown, /ann.*31.*bob.*42/);
      // The base's name holds spaces, which reach the debugger as part of one word.
      const members = await variables(client, named(locals, 'labelled').variablesReference);
      const base = members.find((member) => /^Both<int, long>$/.test(member.name));
      assert.ok(base, `no base class in ${JSON.stringify(members)}`);
      const fields = await variables(client, base.variablesReference);
      assert.deepEqual([named(fields, 'first').value, named(fields, 'second').value], ['1', '2']);
    });

    test('an array of 20,000 elements is paged: its count is given and any page of it is read alone', async () => {
      client = await startClient(row);
      const { frameId } = await stopInValuesProgram(client, row);
      const many = await client.within(
        client.evaluateRequest({ expression: 'many', frameId, context: 'watch' }), 'evaluate');
      assert.equal(many.body.indexedVariables, 20000);
      const page = await client.within(client.variablesRequest({
        variablesReference: many.body.variablesReference, filter: 'indexed', start: 19990, count: 10,
      }), 'variables');
      assert.deepEqual(page.body.variables.map((v) => [v.name, v.value]),
        Array.from({ length: 10 }, (_, i) => [`[${19990 + i}]`, `${3 * (19990 + i)}`]));
      const named = await client.within(client.variablesRequest({
        variablesReference: many.body.variablesReference, filter: 'named',
      }), 'variables');
      assert.deepEqual(named.body.variables, []);
      const locals = await frameVariables(client, frameId);
      assert.equal(locals.find((variable) => variable.name === 'numbers').indexedVariables, 3);
    });

    test('a failed evaluate names the symbol, a thread has its own name, registers come in groups', async () => {
      client = await startClient(row);
      const { threadId, frameId } = await stopInValuesProgram(client, row);
      const failed = await rawRequest(client, 'evaluate', { expression: 'nope', frameId, context: 'watch' });
      assert.equal(failed.success, false);
      assert.match(`${failed.message} ${failed.body && failed.body.error ? failed.body.error.format : ''}`, /nope/);
      const threads = await client.within(client.threadsRequest(), 'threads');
      assert.match(threads.body.threads.find((thread) => thread.id === threadId).name, row.threadName);
      const scopes = await client.within(client.scopesRequest({ frameId }), 'scopes');
      const registers = scopes.body.scopes.find((scope) => scope.presentationHint === 'registers');
      const groups = await variables(client, registers.variablesReference);
      for (const group of row.registerGroups) {
        const registersOfGroup = await variables(client, named(groups, group).variablesReference);
        assert.ok(registersOfGroup.length > 0 && registersOfGroup.every((r) => r.name && r.value),
          `${group}: ${JSON.stringify(registersOfGroup.slice(0, 3))}`);
      }
      const general = await variables(client, named(groups, row.registerGroups[0]).variablesReference);
      assert.ok(/^0x[0-9a-f]+/.test(named(general, 'rip').value), JSON.stringify(named(general, 'rip')));
    });

    test('pause stops a spinning program and disconnect ends it', async () => {
      const marker = `dap-pause-${process.pid}-${row.backend}`;
      const pattern = `${regexQuote(exampleProgram)} spin ${marker}`;
      client = await startClient(row);
      try {
        await startSession(client, launchArguments(row, exampleProgram, ['spin', marker]), async () => {});
        // Enough processor time that the debuggee is past its start-up and in its loop.
        await until(() => pgrep(pattern).some((pid) => cpuTicks(pid) >= 5), 'the debuggee spinning');
        const threads = await client.within(client.threadsRequest(), 'threads');
        const paused = await resume(client, client.pauseRequest({ threadId: threads.body.threads[0].id }), 'pause');
        assert.match(paused.top.name, /spin/);
        // Plain bound: the adapter may exit before its last response is read.
        await bounded(client.disconnectRequest({ terminateDebuggee: true }), 'disconnect');
        await until(() => pgrep(pattern).length === 0, 'the debuggee ended');
        await bounded(adapterExited(client), 'the adapter exiting');
      } finally {
        for (const pid of pgrep(pattern)) process.kill(pid, 'SIGKILL');
      }
    });

    test('launching a missing program fails naming it', async () => {
      client = await startClient(row);
      await client.within(client.initializeRequest(), 'initialize');
      const response = await rawRequest(client, 'launch', launchArguments(row, '/nonexistent/program'));
      assert.equal(response.success, false);
      const error = response.body && response.body.error;
      const text = `${response.message || ''} ${error ? error.format : ''}`;
      assert.match(text, /\/nonexistent\/program/);
    });

    test('a function breakpoint stops in the function', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      await startSession(client, launchArguments(row, exampleProgram), async () => {
        const set = await client.within(client.setFunctionBreakpointsRequest({ breakpoints: [{ name: 'compute' }] }),
          'setFunctionBreakpoints');
        assert.equal(set.body.breakpoints[0].verified, true);
      });
      const stop = await client.within(hit, 'stopped');
      assert.equal(stop.body.reason, 'function breakpoint');
      const trace = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
      const top = trace.body.stackFrames[0];
      assert.match(top.name, /compute/);
      assert.equal(top.line, computeLine);
      assert.equal(await evaluate(client, 'x', top.id), '1');
    });

    test('a breakpoint whose hit condition is not a count is unverified with the reason, the others are set', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      const returnLine = lineOf(exampleSource, 'return square + 1;');
      await startSession(client, launchArguments(row, exampleProgram), async () => {
        const set = await client.within(client.setBreakpointsRequest({
          source: { path: exampleSource },
          breakpoints: [{ line: computeLine, hitCondition: 'often' }, { line: returnLine, hitCondition: '2' }],
        }), 'setBreakpoints');
        assert.equal(set.body.breakpoints.length, 2);
        assert.equal(set.body.breakpoints[0].verified, false);
        assert.match(set.body.breakpoints[0].message, /hit condition .*"often"/);
        assert.equal(set.body.breakpoints[1].verified, true);
        const functions = await client.within(client.setFunctionBreakpointsRequest({
          breakpoints: [{ name: 'spin', hitCondition: '-1' }, { name: 'spin' }],
        }), 'setFunctionBreakpoints');
        assert.deepEqual(functions.body.breakpoints.map((breakpoint) => breakpoint.verified), [false, true]);
      });
      const stop = await client.within(hit, 'stopped');
      const trace = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
      assert.equal(trace.body.stackFrames[0].line, returnLine);
      assert.equal(await evaluate(client, 'x', trace.body.stackFrames[0].id), '2');
    });

    test('a log point writes its message at every hit, values in place, in order, and never stops', async () => {
      client = await startClient(row);
      let stops = 0;
      client.on('stopped', () => { stops += 1; });
      const exited = nextEvent(client, 'exited');
      const capabilities = await startSession(client, launchArguments(row, throwingProgram, ['100']), async () => {
        const set = await client.within(client.setBreakpointsRequest({
          source: { path: throwingSource },
          breakpoints: [{ line: caughtLine, logMessage: 'round {round} twice {round * 2} {{caught}} {nosuch}' }],
        }), 'setBreakpoints');
        assert.equal(set.body.breakpoints[0].verified, true);
      });
      assert.equal(capabilities.body.supportsLogPoints, true);
      assert.equal((await client.within(exited, 'exited', 120000)).body.exitCode, 0);
      await waitForOutput(client, 'caught 100');
      const logged = client.output.filter((body) => body.category === 'console' && body.output.startsWith('round '));
      assert.equal(logged.length, 100);
      logged.forEach((body, round) => assert.match(body.output, new RegExp(`^round ${round} twice ${round * 2} \\{caught\\} .*nosuch.*\\n$`)));
      assert.equal(stops, 0);
    });

    test('a step that meets a log point writes its message and ends, never running on', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      const callLine = lineOf(exampleSource, 'total += compute(i);');
      await startSession(client, launchArguments(row, exampleProgram), async () => {
        await client.within(client.setBreakpointsRequest({
          source: { path: exampleSource }, breakpoints: [{ line: computeLine, logMessage: 'x is {x}' }, { line: callLine }],
        }), 'setBreakpoints');
      });
      const stop = await client.within(hit, 'stopped');
      const stepped = await resume(client, client.nextRequest({ threadId: stop.body.threadId }),
        row.stepEndsAtLogPoint ? 'breakpoint' : 'step');
      assert.equal(stepped.top.line, row.stepEndsAtLogPoint ? computeLine : callLine + 1);
      assert.deepEqual(client.output.filter((body) => body.category === 'console' && body.output.startsWith('x is'))
        .map((body) => body.output), ['x is 1\n']);
    });

    test('a crash stops as an exception that exceptionInfo names with its fault address', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      const capabilities = await startSession(client, launchArguments(row, throwingProgram, ['0', 'crash']), async () => {});
      assert.equal(capabilities.body.supportsExceptionInfoRequest, true);
      const stop = await client.within(hit, 'stopped');
      assert.equal(stop.body.reason, 'exception');
      const info = (await client.within(client.exceptionInfoRequest({ threadId: stop.body.threadId }), 'exceptionInfo')).body;
      assert.equal(info.exceptionId, 'SIGSEGV');
      assert.match(info.description, /fault address: 0x0\b/);
      assert.equal(info.breakMode, 'always');
      assert.deepEqual([stop.body.text, stop.body.description], [info.exceptionId, info.description]);
    });

    test('the cpp_throw and cpp_catch filters stop where a C++ exception is thrown, then where it is caught', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      const exited = nextEvent(client, 'exited');
      const capabilities = await startSession(client, launchArguments(row, throwingProgram, ['1']), async () => {
        const set = await client.within(client.setExceptionBreakpointsRequest({ filters: ['cpp_throw', 'cpp_catch'] }),
          'setExceptionBreakpoints');
        assert.deepEqual(set.body.breakpoints.map((breakpoint) => breakpoint.verified), [true, true]);
      });
      assert.deepEqual(capabilities.body.exceptionBreakpointFilters.map((filter) => filter.filter), ['cpp_throw', 'cpp_catch']);
      const stop = await client.within(hit, 'stopped');
      assert.equal(stop.body.reason, 'exception');
      const trace = await client.within(client.stackTraceRequest({ threadId: stop.body.threadId }), 'stackTrace');
      assert.ok(trace.body.stackFrames.some((frame) => /check/.test(frame.name)),
        `no check() in ${JSON.stringify(trace.body.stackFrames.map((frame) => frame.name))}`);
      const info = (await client.within(client.exceptionInfoRequest({ threadId: stop.body.threadId }), 'exceptionInfo')).body;
      assert.deepEqual([info.exceptionId, info.description, info.breakMode, info.details],
        ['std::out_of_range', 'C++ exception thrown: std::out_of_range', 'always', { typeName: 'std::out_of_range' }]);
      await resume(client, client.continueRequest({ threadId: stop.body.threadId }), 'exception');
      const caught = await client.within(client.exceptionInfoRequest({ threadId: stop.body.threadId }), 'exceptionInfo');
      assert.match(caught.body.description, /caught/);
      await client.within(client.continueRequest({ threadId: stop.body.threadId }), 'continue');
      assert.equal((await client.within(exited, 'exited', 120000)).body.exitCode, 0);
    });

    test('stopOnEntry reports the first stop as entry', async () => {
      client = await startClient(row);
      const hit = nextEvent(client, 'stopped');
      await startSession(client, { ...launchArguments(row, exampleProgram), stopOnEntry: true }, async () => {});
      assert.equal((await client.within(hit, 'stopped')).body.reason, 'entry');
    });

    test('terminate is answered before the one terminated event', async () => {
      client = await startClient(row);
      const arrived = [];
      client.on('terminated', () => arrived.push('terminated'));
      await stopAtLine(client, row, exampleProgram, exampleSource, computeLine);
      const ended = nextEvent(client, 'terminated');
      await client.within(new Promise((resolve) => client.doSend('terminate', {}, (response) => {
        arrived.push(`terminate ${response.success}`);
        resolve();
      })), 'terminate');
      await client.within(ended, 'terminated');
      await bounded(client.disconnectRequest({}), 'disconnect');
      await bounded(adapterClosed(client), 'the adapter ending');
      assert.deepEqual(arrived, ['terminate true', 'terminated']);
    });

    test('a program killed by SIGSEGV exits with 128 + 11, as a shell tells it', async () => {
      client = await startClient(row);
      const crashed = nextEvent(client, 'stopped');
      const exited = nextEvent(client, 'exited');
      await startSession(client, launchArguments(row, floodProgram, ['1', 'segv']), async () => {});
      const stop = await client.within(crashed, 'stopped');
      assert.equal(stop.body.reason, 'exception');
      await client.within(client.continueRequest({ threadId: stop.body.threadId }), 'continue');
      assert.equal((await client.within(exited, 'exited')).body.exitCode, 139);
    });

    test('5,000 lines of UTF-8 written in pieces arrive whole, each ending in \\n', async () => {
      const line = 'h\u00e9llo w\u00f6rld \u2713';
      client = await startClient(row);
      const exited = nextEvent(client, 'exited');
      await startSession(client, launchArguments(row, floodProgram, ['5000']), async () => {});
      await client.within(exited, 'exited', 120000);
      const lines = client.output.filter((body) => body.category === 'stdout').map((body) => body.output).join('')
        .split('\n');
      const damaged = lines.filter((text) => text !== line);
      assert.deepEqual({ whole: lines.length - damaged.length, damaged: damaged.slice(0, 3) },
        { whole: 5000, damaged: [''] });
    });

    test('console integratedTerminal runs the program on the editor\'s terminal, which ends with the session', async () => {
      client = await startClient(row);
      let terminal;
      answerReverseRequests(client, (request) => {
        terminal = editorTerminal(request.arguments.args);
        return { success: true };
      });
      try {
        await startSession(client, { ...launchArguments(row, readingProgram), console: 'integratedTerminal' },
          async () => {}, { supportsRunInTerminalRequest: true });
        assert.deepEqual(client.reverseRequests.map((request) => [request.command, request.arguments.kind]),
          [['runInTerminal', 'integrated']]);
        await until(() => terminal.shown.includes('name? '), 'the prompt on the terminal');
        terminal.stdin.write('ann\n');
        await until(() => terminal.shown.includes('hello ann, on a terminal'), 'the answer on the terminal');
        assert.deepEqual(client.output.filter((body) => body.category === 'stdout'), []);
        await bounded(client.disconnectRequest({ terminateDebuggee: true }), 'disconnect');
        await bounded(terminal.ended, 'the terminal\'s waiter ending');
      } finally {
        if (terminal && terminal.exitCode === null) terminal.kill('SIGKILL');
      }
    });

    test('a refused runInTerminal leaves the program on the debug console, saying why', async () => {
      client = await startClient(row);
      answerReverseRequests(client, () => ({ success: false, message: 'no terminals here' }));
      await startSession(client, { ...launchArguments(row, readingProgram), console: 'externalTerminal' },
        async () => {}, { supportsRunInTerminalRequest: true });
      assert.equal(client.reverseRequests[0].arguments.kind, 'external');
      await waitForOutput(client, 'name? ');
      assert.ok(client.output.some((body) => body.category === 'console' && /refused runInTerminal: no terminals here/.test(body.output)),
        JSON.stringify(client.output));
    });

    // An editor that takes the runInTerminal request and never gets the program a terminal: the
    // adapter's patience is shortened so that the row stays quick.
    for (const [editor, answer, why] of [
      ['never answers runInTerminal', () => undefined, /did not answer runInTerminal/],
      ['accepts runInTerminal but never starts the waiter', () => ({ success: true }), /did not start the waiter/],
    ]) {
      test(`an editor that ${editor} has the program run on the debug console after its patience, saying why`, async () => {
        client = await startClient(row, { LD_DAP_EDITOR_PATIENCE_MS: '2000' });
        answerReverseRequests(client, answer);
        const exited = nextEvent(client, 'exited');
        await startSession(client, { ...launchArguments(row, exampleProgram), console: 'integratedTerminal' },
          async () => {}, { supportsRunInTerminalRequest: true });
        assert.deepEqual(client.reverseRequests.map((request) => request.command), ['runInTerminal']);
        await waitForOutput(client, 'done 17');
        assert.equal((await client.within(exited, 'exited')).body.exitCode, 0);
        const told = client.output.filter((body) => body.category === 'console' && why.test(body.output));
        assert.equal(told.length, 1, JSON.stringify(client.output));
      });
    }

    test('the waiter on the editor\'s terminal ends when the adapter is killed, removing its socket', async () => {
      client = await startClient(row);
      let terminal;
      let socket;
      answerReverseRequests(client, (request) => {
        socket = request.arguments.args[request.arguments.args.indexOf('--dap-terminal') + 1];
        terminal = editorTerminal(request.arguments.args);
        return { success: true };
      });
      const adapter = adapterProcess(client);
      let started = [];
      try {
        await startSession(client, { ...launchArguments(row, readingProgram), console: 'integratedTerminal' },
          async () => {}, { supportsRunInTerminalRequest: true });
        await until(() => terminal.shown.includes('name? '), 'the prompt on the terminal');
        const isWaiter = (pid) => {
          try {
            return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').includes('--dap-terminal');
          } catch {
            return false;
          }
        };
        const [waiter] = descendants(terminal.pid).filter(isWaiter);
        assert.ok(waiter, 'no waiter on the terminal');
        started = [...descendants(adapter.pid), ...descendants(terminal.pid)];
        assert.ok(fs.existsSync(socket), socket);
        adapter.kill('SIGKILL');
        await bounded(adapterExited(client), 'the adapter ending');
        await until(() => !isWaiter(waiter), 'the waiter ending', 5000);
        await until(() => !fs.existsSync(path.dirname(socket)), 'the socket\'s directory removed', 5000);
      } finally {
        for (const pid of started) {
          try { process.kill(pid, 'SIGKILL'); } catch { /* gone already */ }
        }
        if (terminal && terminal.exitCode === null) terminal.kill('SIGKILL');
      }
    });

    test('an editor that shows progress sees the load as one progressStart, then its progressEnd, then the stop', async () => {
      client = await startClient(row);
      const events = [];
      for (const name of ['progressStart', 'progressEnd', 'stopped']) {
        client.on(name, (event) => events.push([name, event.body.progressId]));
      }
      const hit = nextEvent(client, 'stopped');
      await startSession(client, { ...launchArguments(row, exampleProgram), stopOnEntry: true }, async () => {},
        { supportsProgressReporting: true });
      await client.within(hit, 'stopped');
      const id = events[0][1];
      assert.ok(id, JSON.stringify(events));
      assert.deepEqual(events, [['progressStart', id], ['progressEnd', id], ['stopped', undefined]]);
    });

    test('restart runs the program again from its start, with the new args, and tells no end between', async () => {
      client = await startClient(row);
      const ends = [];
      client.on('exited', () => ends.push('exited'));
      client.on('terminated', () => ends.push('terminated'));
      const { stop } = await stopAtLine(client, row, exampleProgram, exampleSource, computeLine);
      const second = await resume(client, client.continueRequest({ threadId: stop.threadId }), 'breakpoint');
      assert.equal(await evaluate(client, 'x', second.top.id), '2');
      const marker = `dap-restart-${process.pid}-${row.backend}`;
      const again = await resume(client,
        client.send('restart', { arguments: launchArguments(row, exampleProgram, [marker]) }), 'breakpoint');
      assert.equal(again.top.line, computeLine);
      assert.equal(await evaluate(client, 'x', again.top.id), '1');
      assert.equal(pgrep(`${regexQuote(exampleProgram)} ${marker}`).length, 1);
      assert.deepEqual(ends, []);
    });

    if (row.moduleEvents) {
      test('a restart tells each library new at most once while the editor knows it, and keeps modules true', async () => {
        client = await startClient(row);
        const known = new Map();
        const wrong = [];
        const told = [];
        client.on('module', ({ body: { reason, module } }) => {
          told.push(`${reason} ${module.name}`);
          if (reason === 'new') {
            if (known.has(module.id)) wrong.push(`new ${module.id} while known`);
            known.set(module.id, module);
          } else if (reason === 'changed') {
            if (!known.has(module.id)) wrong.push(`changed ${module.id} while unknown`);
            else if (JSON.stringify(known.get(module.id)) === JSON.stringify(module)) wrong.push(`changed ${module.id}, same`);
            known.set(module.id, module);
          } else if (reason === 'removed') {
            if (!known.delete(module.id)) wrong.push(`removed ${module.id} while unknown`);
          }
        });
        await stopAtLine(client, row, exampleProgram, exampleSource, computeLine);
        const again = await resume(client,
          client.send('restart', { arguments: launchArguments(row, exampleProgram) }), 'breakpoint');
        assert.equal(again.top.line, computeLine);
        assert.deepEqual(wrong, [], JSON.stringify(told));
        const listed = (await client.within(client.send('modules', {}), 'modules')).body.modules
          .filter((module) => module.path !== exampleProgram).map((module) => module.id).sort();
        assert.ok(listed.some((id) => /\/libc\.so/.test(id)), JSON.stringify(listed));
        assert.deepEqual([...known.keys()].sort(), listed, JSON.stringify(told));
      });
    }

    test('modules lists the program and the C library, loadedSources the program\'s source', async () => {
      client = await startClient(row);
      const loaded = [];
      client.on('module', (event) => loaded.push(`${event.body.reason} ${event.body.module.name}`));
      const hit = nextEvent(client, 'stopped');
      const capabilities = await startSession(client, { ...launchArguments(row, exampleProgram), stopOnEntry: false },
        async () => {
          await client.within(client.setBreakpointsRequest({
            source: { path: exampleSource }, breakpoints: [{ line: computeLine }],
          }), 'setBreakpoints');
        });
      assert.equal(capabilities.body.supportsModulesRequest && capabilities.body.supportsLoadedSourcesRequest, true);
      await client.within(hit, 'stopped');
      const modules = (await client.within(client.send('modules', {}), 'modules')).body;
      const program = modules.modules.find((module) => module.path === exampleProgram);
      assert.ok(program && program.name === path.basename(exampleProgram), JSON.stringify(modules));
      assert.equal(program.symbolStatus, 'Symbols loaded');
      assert.ok(modules.modules.some((module) => /^libc\.so/.test(module.name)), JSON.stringify(modules));
      assert.equal(modules.totalModules, modules.modules.length);
      assert.equal(loaded.some((event) => /^new libc\.so/.test(event)), row.moduleEvents, JSON.stringify(loaded));
      const sources = (await client.within(client.send('loadedSources', {}), 'loadedSources')).body.sources;
      assert.ok(sources.some((source) => source.path === exampleSource && source.name === 'example_program.c'),
        JSON.stringify(sources.slice(0, 10)));
    });

    test('format hex shows integers in hexadecimal, setExpression assigns to an lvalue, completions replace the word at the cursor', async () => {
      client = await startClient(row);
      const { top, capabilities } = await stopAtLine(client, row, exampleProgram, exampleSource, computeLine);
      for (const name of ['supportsValueFormattingOptions', 'supportsSetExpression', 'supportsCompletionsRequest']) {
        assert.equal(capabilities[name], true, name);
      }
      const scopes = (await client.within(client.scopesRequest({ frameId: top.id }), 'scopes')).body.scopes;
      const argumentsReference = scopes.find((scope) => scope.presentationHint === 'arguments').variablesReference;
      const hex = await client.within(client.variablesRequest({ variablesReference: argumentsReference,
        format: { hex: true } }), 'variables');
      assert.match(named(hex.body.variables, 'x').value, /^0x0*1$/);
      assert.equal(named(await variables(client, argumentsReference), 'x').value, '1');
      const sum = await client.within(client.evaluateRequest({ expression: 'x + 41', frameId: top.id, context: 'watch',
        format: { hex: true } }), 'evaluate');
      assert.match(sum.body.result, /^0x0*2a$/);

      const set = await rawRequest(client, 'setExpression', { expression: '(&x)[0]', value: '7', frameId: top.id });
      assert.equal(set.body && set.body.value, '7', JSON.stringify(set));
      assert.equal(await evaluate(client, 'x * 2', top.id), '14');
      const rvalue = await rawRequest(client, 'setExpression', { expression: 'x + 1', value: '7', frameId: top.id });
      assert.equal(rvalue.success, false, JSON.stringify(rvalue));

      const complete = async (text) => (await client.within(client.completionsRequest({ text, column: text.length + 1,
        frameId: top.id }), `completions ${text}`)).body.targets;
      const target = (targets, text) => targets.find((candidate) => candidate.text === text) ||
        assert.fail(`no ${text} in ${JSON.stringify(targets)}`);
      assert.deepEqual(target(await complete('x + squ'), 'square'),
        { label: 'square', text: 'square', start: 5, length: 3 });
      const [line, word] = row.commandCompletion;
      const { start, length } = target(await complete(line), word);
      assert.deepEqual({ start, length }, { start: line.lastIndexOf(' ') + 2, length: line.length - line.lastIndexOf(' ') - 1 });
    });

    test('a data breakpoint on a variable of the caller stops where it is written, with reason data breakpoint', async (t) => {
      // GDB then watches by single steps; LLDB has only the hardware's watchpoints.
      const software = !hardwareWatchpoints();
      client = await startClient(row);
      const { stop, capabilities } = await stopAtLine(client, row, exampleProgram, exampleSource, computeLine);
      assert.equal(capabilities.supportsDataBreakpoints, true);
      if (software && row.backend === 'gdb') await evaluate(client, 'set can-use-hw-watchpoints 0', undefined, 'repl');
      const trace = await client.within(client.stackTraceRequest({ threadId: stop.threadId }), 'stackTrace');
      const main = trace.body.stackFrames[1];
      const scopes = (await client.within(client.scopesRequest({ frameId: main.id }), 'scopes')).body.scopes;
      const locals = scopes.find((scope) => scope.presentationHint === 'locals').variablesReference;
      named(await variables(client, locals), 'total');
      const info = await rawRequest(client, 'dataBreakpointInfo', { variablesReference: locals, name: 'total' });
      assert.match(info.body.dataId, /^0x[0-9a-f]+\/4$/, JSON.stringify(info));
      assert.deepEqual(info.body.accessTypes, ['read', 'write', 'readWrite']);
      const byName = await rawRequest(client, 'dataBreakpointInfo', { name: 'total', frameId: main.id });
      assert.equal(byName.body.dataId, info.body.dataId);
      const set = await rawRequest(client, 'setDataBreakpoints',
        { breakpoints: [{ dataId: info.body.dataId, accessType: 'write' }, { dataId: 'total' }] });
      assert.deepEqual(set.body.breakpoints.map((breakpoint) => breakpoint.verified), [true, false], JSON.stringify(set));
      if (software && row.backend === 'lldb') {
        // A skipped test's afterEach does not run: its client ends here.
        await stopClient(client);
        client = undefined;
        return t.skip('hardware watchpoints do not fire on this machine');
      }
      await client.within(client.setBreakpointsRequest({ source: { path: exampleSource }, breakpoints: [] }),
        'setBreakpoints');
      const written = await resume(client, client.continueRequest({ threadId: stop.threadId }), 'data breakpoint');
      assert.deepEqual([written.top.name, written.stopped.hitBreakpointIds], ['main', [set.body.breakpoints[0].id]]);
      assert.equal(await evaluate(client, 'total', written.top.id), '2');
    });

    test('evaluate reads an element of a std::vector', async () => {
      client = await startClient(row);
      const { top } = await stopAtLine(client, row, cppProgram, cppSource, sumLine);
      assert.equal(await evaluate(client, 'numbers[1]', top.id), '20');
    });

    test('the pc disassembles in place, a variable\'s memory reads and writes, one instruction steps, an instruction breakpoint stops', async () => {
      client = await startClient(row);
      const { stop, top, capabilities } = await stopAtLine(client, row, exampleProgram, exampleSource, computeLine);
      for (const name of ['supportsDisassembleRequest', 'supportsReadMemoryRequest', 'supportsWriteMemoryRequest',
        'supportsSteppingGranularity', 'supportsInstructionBreakpoints']) assert.equal(capabilities[name], true, name);
      const ask = async (command, args) => {
        const response = await rawRequest(client, command, args);
        assert.ok(response.success, `${command}: ${JSON.stringify(response)}`);
        return response.body;
      };
      const pc = BigInt(top.instructionPointerReference);
      const listed = (await ask('disassemble', {
        memoryReference: top.instructionPointerReference, instructionOffset: -3, instructionCount: 8,
      })).instructions;
      assert.equal(listed.length, 8);
      const at = listed.map((instruction) => BigInt(instruction.address));
      // The three before end where the pc's begins, each where the one before it ends.
      for (let i = 0; i < 7; i++) assert.equal(at[i] + BigInt(listed[i].instructionBytes.length / 2), at[i + 1], `${i}`);
      assert.equal(at[3], pc);
      assert.equal(listed[3].line, computeLine);
      assert.ok(listed[3].instruction.length > 0);

      const pointer = await client.within(client.evaluateRequest({ expression: '&x', frameId: top.id, context: 'watch' }),
        'evaluate &x');
      const x = pointer.body.memoryReference;
      assert.deepEqual([...Buffer.from((await ask('readMemory', { memoryReference: x, count: 4 })).data, 'base64')],
        [1, 0, 0, 0]);
      const written = await ask('writeMemory', { memoryReference: x, data: Buffer.from([7, 0, 0, 0]).toString('base64') });
      assert.equal(written.bytesWritten, 4);
      assert.equal(await evaluate(client, 'x', top.id), '7');

      const stepped = await resume(client,
        client.stepInRequest({ threadId: stop.threadId, granularity: 'instruction' }), 'step');
      assert.equal(BigInt(stepped.top.instructionPointerReference), at[4]);
      assert.match(stepped.top.name, /compute/);
      const set = await ask('setInstructionBreakpoints', { breakpoints: [{ instructionReference: listed[6].address }] });
      assert.equal(set.breakpoints[0].verified, true);
      const hit = await resume(client, client.continueRequest({ threadId: stop.threadId }), 'instruction breakpoint');
      assert.equal(BigInt(hit.top.instructionPointerReference), at[6]);
    });
  });
}
