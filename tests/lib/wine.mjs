// Runs build-win/Kelvora.exe under Wine, on a throw-away data directory, and talks HTTP to
// it like tests/lib/kelvora.mjs does for the Linux binary.
//
// Wine rebuilds LOCALAPPDATA (and ProgramFiles, APPDATA ...) from the prefix's registry for
// every process it starts from Linux, so a value set in our environment never arrives.
// Between Windows processes the environment is inherited as it is, so Kelvora is started
// by cmd.exe, which sets the variables first: `cmd /c set A=..&&set B=..&&Kelvora.exe args`.
//
// A program's output goes to files, never to pipes: the first wine of a prefix starts
// wineserver and Wine's own services, which inherit its stdout and stderr and live on for
// as long as anything uses the prefix (other test files, other checkouts' suites). A pipe
// they hold keeps this process running until then.
import { spawn, execFileSync } from 'node:child_process';
import { closeSync, cpSync, existsSync, mkdtempSync, openSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { LocalClient, dataDir, readState, request, tempHome, waitFor } from './kelvora.mjs';

export { dataDir, readState, request, tempHome, waitFor };

export const ROOT = resolve(import.meta.dirname, '..', '..');
export const WIN_BUILD = process.env.KELVORA_WIN_BUILD || join(ROOT, 'build-win');
export const WIN_EXE = join(WIN_BUILD, 'Kelvora.exe');
export const FAKE_BROWSER = join(WIN_BUILD, 'fake_browser.exe');

/** Why the Wine suite can't run here, or false when it can (a test's `skip` value). */
export function wineMissing() {
  if (!existsSync(WIN_EXE)) return `${WIN_EXE} no existe: corre make build-win`;
  try {
    execFileSync('wine', ['--version'], { stdio: 'ignore' });
  } catch {
    return 'wine no está instalado (scripts/install-deps.sh)';
  }
  return false;
}

/** A Linux path as Wine's Z: drive shows it. */
/**
 * An X display for Wine's windows from scripts/xdesktop.sh (the first free one from `from`),
 * as { display } or, when none starts, { skip } with the reason.
 */
export function startWineDisplay(from) {
  try {
    const display = execFileSync(join(ROOT, 'scripts', 'xdesktop.sh'), ['start', ...(from ? [String(from)] : [])], { encoding: 'utf8' }).trim();
    return { display };
  } catch (e) {
    return { skip: `no X display for Wine: scripts/xdesktop.sh start failed (${e.message.split('\n')[0]})` };
  }
}

export function stopWineDisplay(display) {
  if (display) execFileSync(join(ROOT, 'scripts', 'xdesktop.sh'), ['stop', display]);
}

export function winPath(unixPath) {
  return 'Z:' + resolve(unixPath).replaceAll('/', '\\');
}

let sharedPrefix;
/** The cached prefix of scripts/wine-prefix.sh, made on first use. */
export function winePrefix() {
  sharedPrefix ??= execFileSync(join(ROOT, 'scripts', 'wine-prefix.sh'), { encoding: 'utf8' }).trim();
  return sharedPrefix;
}

/**
 * A prefix of one's own, for tests that change the registry or show windows on an X
 * display (a prefix's processes share one desktop, which lives on the display of the
 * first of them). remove() ends its wineserver and deletes it.
 */
export function freshPrefix() {
  const path = mkdtempSync(join(tmpdir(), 'kelvora-wineprefix-'));
  cpSync(winePrefix(), path, { recursive: true, verbatimSymlinks: true });
  return {
    path,
    remove() {
      try {
        execFileSync('wineserver', ['-k'], { env: wineEnv({ prefix: path }), stdio: 'ignore' });
      } catch {}
      rmSync(path, { recursive: true, force: true });
    },
  };
}

/**
 * The environment for wine: quiet, no Mono/Gecko, no menu builder (a shortcut saved in the
 * prefix would otherwise become a launcher in the Linux user's menus), and DISPLAY only
 * when one is given.
 */
export function wineEnv({ prefix = winePrefix(), display, env = {} } = {}) {
  const e = { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all', WINEDLLOVERRIDES: 'mscoree,mshtml=;winemenubuilder.exe=d', ...env };
  if (display) e.DISPLAY = display;
  else delete e.DISPLAY;
  return e;
}

/**
 * The cmd.exe arguments that start exe with winVars set (a value of null unsets the
 * variable) in directory cwd. Values and paths must not hold spaces: cmd takes them
 * unquoted.
 */
function cmdLine(exe, args, winVars, cwd) {
  const steps = Object.entries(winVars).map(([k, v]) => `set ${k}=${v ?? ''}`);
  if (cwd) steps.push(`cd /d ${winPath(cwd)}`);
  steps.push(winPath(exe));
  for (const v of [...Object.values(winVars), cwd, exe])
    if (v && /\s/.test(v)) throw new Error(`no spaces allowed in what cmd takes unquoted: ${v}`);
  // Wine joins its arguments with single spaces into cmd's command line, so handing the
  // line over in space-separated pieces gives cmd exactly this text.
  return ['cmd', '/c', ...steps.join('&&').split(' '), ...args];
}

/**
 * Files that take a Wine run's output (see the top of this file). `stdio` is for spawn,
 * which gets its own copies of the descriptors: `spawned()` closes ours right after.
 * `text(name)` reads one back; `remove()` deletes them.
 */
function outputFiles(names) {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-wineout-'));
  const fds = Object.fromEntries(names.map((n) => [n, openSync(join(dir, n), 'w')]));
  return {
    fd: (n) => fds[n],
    spawned() {
      for (const n of names) if (fds[n] !== undefined) closeSync(fds[n]);
      for (const n of names) delete fds[n];
    },
    text(n) {
      try {
        return readFileSync(join(dir, n), 'utf8');
      } catch {
        return '';
      }
    },
    remove() {
      this.spawned();
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

/**
 * Runs a Windows program to its end. winVars are set for it as above.
 * @returns {Promise<{code:number, stdout:string, stderr:string}>}
 */
export function runWine(exe, args, { winVars = {}, cwd, prefix, display, env } = {}) {
  return new Promise((done, fail) => {
    const files = outputFiles(['stdout', 'stderr']);
    let p;
    try {
      p = spawn('wine', cmdLine(exe, args, winVars, cwd), {
        env: wineEnv({ prefix, display, env }),
        stdio: ['ignore', files.fd('stdout'), files.fd('stderr')],
      });
    } catch (e) {
      files.remove();
      throw e;
    } finally {
      files.spawned();
    }
    p.on('error', (e) => {
      files.remove();
      fail(e);
    });
    p.on('exit', (code) => {
      const result = { code, stdout: files.text('stdout'), stderr: files.text('stderr') };
      files.remove();
      done(result);
    });
  });
}

/** Ends a Windows process of the prefix by its Windows pid. */
export function taskkill(pid, { prefix, display } = {}) {
  try {
    execFileSync('wine', ['taskkill', '/f', '/pid', String(pid)], { env: wineEnv({ prefix, display }), stdio: 'ignore' });
  } catch {}
}

/**
 * A running Kelvora.exe: start(), then get/post, then stop() and cleanup().
 * home: the directory LOCALAPPDATA names (null: LOCALAPPDATA unset, data under cwd).
 * winVars: more Windows variables for the process (e.g. ProgramFiles); env: more Linux
 * variables (reach the process too when Wine doesn't rebuild them). exe: another program
 * file than the build's Kelvora.exe.
 */
export class WineKelvora extends LocalClient {
  constructor({ args = ['--no-window', '--no-tray', '--no-elevate'], home, cwd, prefix, display, winVars = {}, env = {}, exe = WIN_EXE } = {}) {
    super();
    this.exe = exe;
    this.home = home === undefined ? tempHome() : home;
    this.cwd = cwd;
    this.args = args;
    this.prefix = prefix;
    this.display = display;
    this.winVars = { LOCALAPPDATA: this.home === null ? null : winPath(this.home), ...winVars };
    this.env = env;
  }

  /** What the program and Wine wrote to stdout and stderr, together. */
  get output() {
    return this.outputFiles?.text('output') ?? '';
  }

  /** The data directory this copy uses. */
  get data() {
    return this.home === null ? join(this.cwd, 'Kelvora', 'data') : dataDir(this.home);
  }

  async start() {
    this.outputFiles = outputFiles(['output']);
    const out = this.outputFiles.fd('output');
    try {
      this.proc = spawn('wine', cmdLine(this.exe, this.args, this.winVars, this.cwd), {
        env: wineEnv({ prefix: this.prefix, display: this.display, env: this.env }),
        stdio: ['ignore', out, out],
      });
    } finally {
      this.outputFiles.spawned();
    }
    // cmd.exe waits for Kelvora.exe, so its end is Kelvora's end.
    this.exited = new Promise((r) => this.proc.on('exit', (code) => r(code)));
    const inst = await waitFor(() => this.instance(), 'instancia.json', 60000);
    this.port = inst.port;
    this.pid = inst.pid;
    await this.readToken();
    return this;
  }

  instance() {
    try {
      return JSON.parse(readFileSync(join(this.data, 'instancia.json'), 'utf8'));
    } catch {
      return null;
    }
  }



  running() {
    return this.proc && this.proc.exitCode === null && this.proc.signalCode === null;
  }

  async stop() {
    if (!this.running()) return;
    if (this.pid) taskkill(this.pid, { prefix: this.prefix, display: this.display });
    else this.proc.kill('SIGKILL');
    await this.exited;
  }

  cleanup() {
    this.outputFiles?.remove();
    for (const dir of [this.home, this.cwd]) if (dir && existsSync(dir)) rmSync(dir, { recursive: true, force: true });
  }
}
