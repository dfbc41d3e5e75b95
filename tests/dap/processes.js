'use strict';
// The processes a DAP test's adapter starts, as the test sees them.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');

function pgrep(pattern) {
  try {
    return execFileSync('pgrep', ['-f', pattern], { encoding: 'utf8' }).trim().split('\n').map(Number);
  } catch (error) {
    if (error.status === 1) return [];
    throw error;
  }
}

// Fields of /proc/PID/stat after the command name, from the state on; empty once it has gone.
function statFields(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  } catch {
    return [];
  }
}

function cpuTicks(pid) {
  return Number(statFields(pid)[11] || 0);
}

function descendants(pid) {
  const children = new Map();
  for (const entry of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    const parent = Number(statFields(entry)[1]);
    children.set(parent, [...(children.get(parent) || []), Number(entry)]);
  }
  const found = [];
  for (let todo = [pid]; todo.length;) {
    const next = children.get(todo.pop()) || [];
    found.push(...next);
    todo.push(...next);
  }
  return found;
}

async function until(condition, what, ms = 10000) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    assert.ok(Date.now() < deadline, `${what}: not within ${ms} ms`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

module.exports = { pgrep, cpuTicks, descendants, until };
