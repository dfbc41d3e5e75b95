'use strict';
// debugger-host --dap against an editor that sends anything: requests of the wrong shape, values
// out of range, console input the debugger would misread, and an editor that goes at any moment.
// Raw frames on the adapter's pipes, for each back end; the adapter must answer and exit cleanly.
const { describe, test, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { pgrep, descendants, until } = require('./processes');

const binDir = process.env.LD_BIN_DIR;
if (!binDir) throw new Error('LD_BIN_DIR is unset: run through ctest');
const exampleProgram = `${binDir}/example-program`;
const exampleSource = path.resolve(__dirname, '../../example/example_program.c');
const computeLine = fs.readFileSync(exampleSource, 'utf8').split('\n')
  .findIndex((line) => line.includes('int square = x * x;')) + 1;
const timeout = 20000;

const rows = [
  { name: 'gdb', backend: 'gdb', flags: [], shell: 'shell' },
  { name: 'lldb helper', backend: 'lldb', flags: ['--lldb=helper'], shell: 'platform shell' },
  { name: 'lldb script', backend: 'lldb', flags: ['--lldb=script'], shell: 'platform shell' },
];

class Adapter {
  constructor(row) {
    this.child = spawn(`${binDir}/debugger-host`, ['--dap', ...row.flags], { stdio: 'pipe' });
    this.input = Buffer.alloc(0);
    this.messages = [];
    this.waiters = new Set();
    this.stderr = '';
    this.seq = 1;
    this.exit = new Promise((resolve) => this.child.once('exit', (code, signal) => resolve({ code, signal })));
    this.exit.then(() => { for (const waiter of this.waiters) waiter(); });
    this.child.stdin.on('error', () => {});
    this.child.stderr.on('data', (data) => { this.stderr = (this.stderr + data).slice(-4000); });
    this.child.stdout.on('data', (data) => this.take(data));
  }

  take(data) {
    this.input = Buffer.concat([this.input, data]);
    for (;;) {
      const end = this.input.indexOf('\r\n\r\n');
      const length = end < 0 ? NaN : Number(/Content-Length: *(\d+)/i.exec(this.input.subarray(0, end))[1]);
      if (end < 0 || this.input.length < end + 4 + length) break;
      this.messages.push(JSON.parse(this.input.subarray(end + 4, end + 4 + length)));
      this.input = this.input.subarray(end + 4 + length);
    }
    for (const waiter of this.waiters) waiter();
  }

  sendBody(body) {
    this.child.stdin.write(`Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`);
  }

  // The first message not taken yet that matches; fails when the adapter exits first.
  next(matches, what, ms = timeout) {
    return new Promise((resolve, reject) => {
      let timer;
      const check = () => {
        const index = this.messages.findIndex(matches);
        if (index >= 0) {
          this.waiters.delete(check);
          clearTimeout(timer);
          resolve(this.messages.splice(index, 1)[0]);
        } else if (this.child.exitCode !== null || this.child.signalCode !== null) {
          this.waiters.delete(check);
          clearTimeout(timer);
          reject(new Error(`${what}: the adapter exited (${this.child.signalCode || this.child.exitCode}): ${this.stderr}`));
        }
      };
      timer = setTimeout(() => { this.waiters.delete(check); reject(new Error(`${what}: nothing within ${ms} ms`)); }, ms);
      this.waiters.add(check);
      check();
    });
  }

  event(name, ms) { return this.next((m) => m.type === 'event' && m.event === name, `event ${name}`, ms); }

  // A request whose arguments are given as JSON text, so that numbers JavaScript cannot hold pass as written.
  raw(command, argumentsText, ms) {
    const seq = this.seq++;
    this.sendBody(`{"seq":${seq},"type":"request","command":"${command}","arguments":${argumentsText}}`);
    return this.next((m) => m.type === 'response' && m.request_seq === seq, command, ms);
  }

  request(command, args = {}, ms) { return this.raw(command, JSON.stringify(args), ms); }

  async exited(ms = 15000) {
    let timer;
    const late = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`not exited within ${ms} ms`)), ms); });
    try {
      return await Promise.race([this.exit, late]);
    } finally {
      clearTimeout(timer);
    }
  }

  async cleanExit(ms) {
    const { code, signal } = await this.exited(ms);
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, `the adapter's end: ${this.stderr}`);
  }

  async disconnect() {
    await this.request('disconnect', { terminateDebuggee: true });
    await this.cleanExit();
  }
}

function launchArguments(row, marker) {
  return { program: exampleProgram, args: [marker], backend: row.backend, stopOnEntry: false };
}

async function stoppedInCompute(adapter, row, marker) {
  await adapter.request('initialize', { adapterID: 'ld' });
  const launched = adapter.request('launch', launchArguments(row, marker));
  await adapter.event('initialized');
  const set = await adapter.request('setBreakpoints', { source: { path: exampleSource }, breakpoints: [{ line: computeLine }] });
  assert.equal(set.success, true);
  await adapter.request('configurationDone');
  assert.equal((await launched).success, true);
  return (await adapter.event('stopped')).body.threadId;
}

async function answersStill(adapter, threadId) {
  const frames = await adapter.request('stackTrace', { threadId }, 5000);
  assert.equal(frames.success, true, JSON.stringify(frames));
  const frameId = frames.body.stackFrames[0].id;
  const value = await adapter.request('evaluate', { expression: 'x * 10', frameId, context: 'watch' }, 5000);
  assert.equal(value.body && value.body.result, '10', JSON.stringify(value));
  return frameId;
}

// Debug Console input in that frame.
function debugConsole(adapter, frameId) {
  return (expression) => adapter.request('evaluate', { expression, frameId, context: 'repl' });
}

const deep = (levels) => '['.repeat(levels) + ']'.repeat(levels);

// Bodies broken at the top: [what, body, the request_seq the answer carries].
const brokenRequests = [
  ['a body that is not JSON', '{"seq":', 0],
  ['a body that is an array', '[1]', 0],
  ['seq as a string', '{"seq":"1","type":"request","command":"threads"}', 0],
  ['seq as a fraction', '{"seq":1.5,"type":"request","command":"threads"}', 0],
  ['seq past 64 bits', '{"seq":123456789012345678901234567890,"type":"request","command":"threads"}', 0],
  ['seq as null', '{"seq":null,"type":"request","command":"threads"}', 0],
  ['type as a number', '{"seq":41,"type":5,"command":"threads"}', 41],
  ['type as an unknown word', '{"seq":42,"type":"query","command":"threads"}', 42],
  ['command as null', '{"seq":43,"type":"request","command":null}', 43],
  ['command as a number', '{"seq":44,"type":"request","command":7}', 44],
  ['command as an object', '{"seq":45,"type":"request","command":{"a":1}}', 45],
  ['command missing', '{"seq":46,"type":"request"}', 46],
  ['arguments as a string', '{"seq":47,"type":"request","command":"threads","arguments":"x"}', 47],
  ['arguments as an array', '{"seq":48,"type":"request","command":"threads","arguments":[1]}', 48],
  ['100,000 nested arrays', `{"seq":49,"type":"request","command":"threads","arguments":{"x":${deep(100000)}}}`, 49],
  ['100,000 nested arrays alone', deep(100000), 0],
  ['a body over 64 MiB', 'x'.repeat(64 * 1024 * 1024 + 1), 0],
  ['33 levels of nesting', `{"seq":50,"type":"request","command":"threads","arguments":{"x":${deep(31)}}}`, 50],
];

// Launch arguments of the wrong type or range: [what, arguments as JSON text].
const brokenLaunches = [
  ['program as a number', '{"program":5}'],
  ['args as a string', `{"program":"${exampleProgram}","args":"x"}`],
  ['an argument as a number', `{"program":"${exampleProgram}","args":[1]}`],
  ['cwd as an object', `{"program":"${exampleProgram}","cwd":{}}`],
  ['env as a list', `{"program":"${exampleProgram}","env":["A=1"]}`],
  ['an env value as a number', `{"program":"${exampleProgram}","env":{"A":1}}`],
  ['stopOnEntry as a string', `{"program":"${exampleProgram}","stopOnEntry":"yes"}`],
  ['backend as a number', `{"program":"${exampleProgram}","backend":1}`],
  ['attach to pid "1"', '{"pid":"1"}'],
  ['attach to pid -1', '{"pid":-1}'],
  ['attach to pid 2^63-1', '{"pid":9223372036854775807}'],
];

// Ids and counts out of range, which once overflowed or stepped another thread: [command, arguments].
const outOfRange = [
  ['stackTrace', '{"threadId":-1}'],
  ['stackTrace', '{"threadId":1,"startFrame":-1}'],
  ['stackTrace', '{"threadId":1,"startFrame":9223372036854775807,"levels":9223372036854775807}'],
  ['next', '{"threadId":-1}'],
  ['next', '{"threadId":9223372036854775807}'],
  ['stepIn', '{"threadId":-9223372036854775808}'],
  ['scopes', '{"frameId":-9223372036854775808}'],
  ['variables', '{"variablesReference":-1}'],
  ['evaluate', '{"expression":"x","frameId":-9223372036854775808}'],
  ['completions', '{"text":"x","column":-1}'],
  ['setBreakpoints', `{"source":{"path":"${exampleSource}"},"breakpoints":[{"line":-3}]}`],
  ['readMemory', '{"memoryReference":"0x1000","count":1073741824}'],
  ['readMemory', '{"memoryReference":"0xffffffffffffffff","offset":1,"count":1}'],
  ['readMemory', '{"memoryReference":"0x10000000000000000","count":1}'],
  ['disassemble', '{"memoryReference":"0x1000","instructionOffset":-2147483647,"instructionCount":1}'],
  ['disassemble', '{"memoryReference":"0x1000","instructionCount":2147483647}'],
  ['writeMemory', '{"memoryReference":"0x1000","offset":-4097,"data":"AA=="}'],
];

// Requests about the stopped program with arguments of the wrong type: [command, arguments].
const wrongTypes = [
  ['stackTrace', '{"threadId":"1"}'],
  ['stackTrace', '{"threadId":1.5}'],
  ['continue', '{"threadId":"all"}'],
  ['scopes', '{"frameId":"1"}'],
  ['variables', '{"variablesReference":1e300}'],
  ['evaluate', '{"expression":5}'],
  ['evaluate', '{"expression":"x","context":7}'],
  ['setVariable', '{"variablesReference":1,"name":5,"value":"1"}'],
  ['evaluate', '{"expression":"x","format":{"hex":"yes"}}'],
  ['variables', '{"variablesReference":1,"format":"hex"}'],
  ['setExpression', '{"expression":"x","value":7}'],
  ['completions', '{"text":["x"],"column":1}'],
  ['setBreakpoints', '{"source":"example_program.c"}'],
  ['setBreakpoints', '{"source":{"path":5}}'],
  ['setBreakpoints', `{"source":{"path":"${exampleSource}"},"breakpoints":"all"}`],
  ['setBreakpoints', `{"source":{"path":"${exampleSource}"},"breakpoints":[5]}`],
  ['setBreakpoints', `{"source":{"path":"${exampleSource}"},"breakpoints":[{"line":"3"}]}`],
  ['setBreakpoints', `{"source":{"path":"${exampleSource}"},"breakpoints":[{"line":3,"condition":true}]}`],
  ['setFunctionBreakpoints', '{"breakpoints":[{"name":null}]}'],
  ['readMemory', '{"memoryReference":4096,"count":1}'],
  ['readMemory', '{"memoryReference":"0x1000","count":1,"offset":0.5}'],
  ['readMemory', '{"memoryReference":"main","count":1}'],
  ['writeMemory', '{"memoryReference":"0x1000","data":"not base64!"}'],
  ['disassemble', '{"memoryReference":"0x1000","instructionCount":"8"}'],
  ['next', '{"threadId":1,"granularity":1}'],
];

// Console lines GDB would take the following lines for (a block body, an interactive shell).
const blockCommands = ['define hostile', 'python', 'py', 'commands 1', 'comm', 'while 1', 'if 1', 'document hostile',
  'python-interactive', 'pi', 'shell', '!', 'print 1\ndefine hostile\nend'];

for (const row of rows) {
  describe(`debugger-host --dap against a hostile editor, ${row.name}`, { timeout: 240000 }, () => {
    let adapter;
    afterEach(() => {
      if (adapter && adapter.child.exitCode === null) adapter.child.kill('SIGKILL');
      adapter = undefined;
    });

    test('a message that is not a well-typed request is answered as a failure, and the adapter goes on', async () => {
      adapter = new Adapter(row);
      await adapter.request('initialize', { adapterID: 'ld' });
      for (const [what, body, requestSeq] of brokenRequests) {
        adapter.sendBody(body);
        const answer = await adapter.next((m) => m.type === 'response', what);
        assert.equal(answer.success, false, `${what}: ${JSON.stringify(answer)}`);
        assert.equal(answer.request_seq, requestSeq, what);
        assert.equal(typeof answer.message, 'string', what);
      }
      // The bound is 32 levels: the request itself is the first.
      const deepest = await adapter.raw('threads', `{"x":${deep(30)}}`);
      assert.doesNotMatch(deepest.message || '', /nest/, JSON.stringify(deepest));
      await adapter.disconnect();
    });

    test('arguments of the wrong type are refused, and the session goes on', async () => {
      adapter = new Adapter(row);
      await adapter.request('initialize', { adapterID: 'ld' });
      for (const [what, args] of brokenLaunches) {
        const answer = await adapter.raw(what.startsWith('attach') ? 'attach' : 'launch', args);
        assert.equal(answer.success, false, `${what}: ${JSON.stringify(answer)}`);
      }
      const threadId = await stoppedInCompute(adapter, row, `dap-hostile-types-${process.pid}`);
      for (const [command, args] of wrongTypes) {
        const answer = await adapter.raw(command, args);
        assert.equal(answer.success, false, `${command} ${args}: ${JSON.stringify(answer)}`);
      }
      // A line to complete that would end the debugger's command were it not quoted.
      const completed = await adapter.raw('completions', '{"text":"p x\\"\\n-gdb-exit\\n"}');
      assert.equal(completed.success, true, JSON.stringify(completed));
      await answersStill(adapter, threadId);
      await adapter.disconnect();
    });

    test('ids and counts out of range are refused, and the stopped program stays where it is', async () => {
      adapter = new Adapter(row);
      const threadId = await stoppedInCompute(adapter, row, `dap-hostile-range-${process.pid}`);
      for (const [command, args] of outOfRange) {
        const answer = await adapter.raw(command, args);
        assert.equal(answer.success, false, `${command} ${args}: ${JSON.stringify(answer)}`);
      }
      const frames = await adapter.request('stackTrace', { threadId });
      assert.equal(frames.body.stackFrames[0].line, computeLine, 'the program moved');
      await adapter.disconnect();
    });

    test('console input of several lines runs a line at a time, each answered', async () => {
      adapter = new Adapter(row);
      const threadId = await stoppedInCompute(adapter, row, `dap-hostile-lines-${process.pid}`);
      const repl = debugConsole(adapter, await answersStill(adapter, threadId));
      const both = await repl('p 11111\n\np 22222\n');
      assert.match(both.body.result, /11111[^]*22222/, JSON.stringify(both));
      assert.doesNotMatch((await repl('p 33333')).body.result, /22222/);
      await answersStill(adapter, threadId);
      await adapter.disconnect();
    });

    test('a console line that would read the lines after it is refused, and the session goes on', async () => {
      adapter = new Adapter(row);
      const threadId = await stoppedInCompute(adapter, row, `dap-hostile-block-${process.pid}`);
      const repl = debugConsole(adapter, await answersStill(adapter, threadId));
      for (const line of blockCommands) {
        const answer = await repl(line);
        if (row.backend === 'gdb') assert.equal(answer.success, false, `${JSON.stringify(line)}: ${JSON.stringify(answer)}`);
        await answersStill(adapter, threadId);
      }
      if (row.backend === 'gdb') assert.match((await repl('python print(44444)')).body.result, /44444/);
      await adapter.disconnect();
    });

    test('threads and stackTrace fail when the debugger gives no answer', async () => {
      adapter = new Adapter(row);
      const threadId = await stoppedInCompute(adapter, row, `dap-hostile-gone-${process.pid}`);
      const terminated = adapter.event('terminated');
      const [service] = descendants(adapter.child.pid);
      for (const pid of descendants(service)) {
        // One may end with another before its turn.
        try { process.kill(pid, 'SIGKILL'); } catch (error) { if (error.code !== 'ESRCH') throw error; }
      }
      await terminated;
      const threads = await adapter.request('threads');
      assert.equal(threads.success, false, JSON.stringify(threads));
      const frames = await adapter.request('stackTrace', { threadId });
      assert.equal(frames.success, false, JSON.stringify(frames));
      adapter.child.stdin.end();
      await adapter.cleanExit();
    });

    // When the editor goes: [what, how far the session gets first, how the editor goes].
    const moments = [
      ['right after launch', 'launch', 'disconnect'],
      ['right after launch, by end of input', 'launch', 'close'],
      ['during the configuration', 'initialized', 'disconnect'],
      ['while a console command runs', 'pending', 'disconnect'],
      ['while a console command runs beside the running program', 'waiting', 'disconnect'],
      ['while the program runs', 'running', 'close'],
    ];
    for (const [what, stage, how] of moments) {
      test(`an editor that goes ${what} ends the run, and the adapter exits cleanly`, async () => {
        const marker = `dap-hostile-end-${process.pid}-${row.flags.join('')}-${stage}-${how}`;
        adapter = new Adapter(row);
        await adapter.request('initialize', { adapterID: 'ld' });
        const args = launchArguments(row, marker);
        if (stage === 'running' || stage === 'waiting') args.args = ['spin', marker];
        args.stopOnEntry = stage === 'pending';
        adapter.request('launch', args).catch(() => {});
        if (stage !== 'launch') await adapter.event('initialized');
        if (stage !== 'launch' && stage !== 'initialized') await adapter.request('configurationDone');
        if (stage === 'pending') await adapter.event('stopped');
        if (stage === 'pending' || stage === 'waiting') {
          // A sleep no other process runs: while it is there, the request waits on the debugger.
          const sleep = `sleep 3.${process.pid}`;
          adapter.request('evaluate', { expression: `${row.shell} ${sleep}`, context: 'repl' }).catch(() => {});
          await until(() => pgrep(sleep).length > 0, 'the console command running');
        }
        if (how === 'disconnect') adapter.sendBody(JSON.stringify({ seq: 999, type: 'request', command: 'disconnect' }));
        else adapter.child.stdin.end();
        await adapter.cleanExit(20000);
        await until(() => pgrep(marker).length === 0, 'the program ended');
      });
    }
  });
}
