// Runs the real ZelkorH service for a test through the integration harness
// (tests/integration/zkservice.py): its own copy of the program folder, free
// ports, its own HOME and XDG_RUNTIME_DIR.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(HERE, '../../..');
const HARNESS = path.join(REPO, 'tests/integration/zkservice.py');

/**
 * Starts a service (demo: with the build's demo certificate; port: a fixed HTTP port); resolves to {port, portS, http, https, folder, home, ca, bin, stop()}.
 * stop() ends it with SIGTERM and resolves to the harness's exit code (0: clean shutdown).
 */
export async function startService({ demo = false, port, settings = {}, env = {} } = {}) {
  const child = spawn('python3', [HARNESS, 'serve', ...(demo ? ['--demo'] : []), ...(port ? ['--port', String(port)] : []),
    '--settings', JSON.stringify(settings), '--env', JSON.stringify(env)],
  { stdio: ['pipe', 'pipe', 'inherit'], env: { ...process.env, PYTHONDONTWRITEBYTECODE: '1' } });
  const exited = once(child, 'exit');
  const lines = createInterface({ input: child.stdout });
  const [first] = await Promise.race([once(lines, 'line'), exited.then(([code]) => {
    throw new Error(`the service harness ended with ${code} before the service ran`);
  })]);
  lines.close();
  const info = JSON.parse(first);
  return {
    ...info,
    portS: info.port_s,
    http: `http://127.0.0.1:${info.port}`,
    https: `https://127.0.0.1:${info.port_s}`,
    async stop() {
      child.stdin.end();
      const [code] = await exited;
      return code;
    },
  };
}
