// The application around the integration guide's blocks: a plain Node
// program made into VYN.exe, standing in for the desktop application. It runs
// the guide's code as the guide places it (the error handler first, the GPU
// switch before the app is ready, READY once the main window is shown) and
// records what the application saw. Only `electron` is replaced, by the few
// calls the blocks make. The test describes what to do in VYN_TEST_APP_PLAN
// (JSON):
//   record:        file to append what happened to, one JSON object a line
//   stderr:        texts written to standard error before the window shows
//   gpuFailure:    with hardware acceleration still on, write the runtime's
//                  GPU message and exit, as the runtime does
//   readyDelayMs:  time until the main window is ready to show
//   afterLauncher: { goFile, lines }: once goFile exists (the test makes it
//                  when the launcher has ended), write lines to standard error
//   lingerMs:      time to stay up at the end

const fs = require('node:fs');

const plan = JSON.parse(process.env.VYN_TEST_APP_PLAN || '{}');
const started = Date.now();

function record(entry) {
  if (plan.record) fs.appendFileSync(plan.record, JSON.stringify(entry) + '\n');
}

function writeError(text) {
  return new Promise((resolve) => process.stderr.write(text, (error) => resolve(!error)));
}

const electron = {
  hardwareAccelerationDisabled: false,
  app: {
    whenReady: () => Promise.resolve(),
    disableHardwareAcceleration: () => {
      electron.hardwareAccelerationDisabled = true;
    },
  },
  BrowserWindow: class {
    once(event, listener) {
      if (event === 'ready-to-show') this.readyToShow = listener;
    }
    loadFile() {
      setTimeout(() => this.readyToShow(), plan.readyDelayMs || 0);
    }
    show() {}
  },
};

const modules = new Map([['electron', electron]]);

function guideBlock(name) {
  const module = { exports: {} };
  const guideRequire = (id) => (modules.has(id) ? modules.get(id) : require(id));
  GUIDE_BLOCKS[name](guideRequire, module, module.exports);
  return module.exports;
}

async function afterReady(ok) {
  record({ event: 'sendReady', result: ok, ms: Date.now() - started });
  const after = plan.afterLauncher;
  if (after) {
    while (!fs.existsSync(after.goFile)) await new Promise((r) => setTimeout(r, 50));
    let written = 0;
    for (let i = 0; i < after.lines; ++i) {
      if (await writeError(`after the launcher ${i}\n`)) ++written;
    }
    // Errors of the closed pipe arrive as events; give them time to land.
    await new Promise((r) => setTimeout(r, 500));
    record({ event: 'stderrAfterLauncher', written });
  }
  setTimeout(() => process.exit(0), plan.lingerMs || 0);
}

process.on('exit', (code) => record({ event: 'exit', code }));
guideBlock('stderr-handler');
guideBlock('gpu-switch');
record({
  event: 'start',
  argv: process.argv,
  hardwareAccelerationDisabled: electron.hardwareAccelerationDisabled,
});

if (plan.gpuFailure && !electron.hardwareAccelerationDisabled) {
  writeError("GPU process isn't usable. Goodbye.\n").then(() => process.exit(1));
} else {
  const { sendReady } = guideBlock('send-ready');
  modules.set('./send-ready', { sendReady: (...args) => sendReady(...args).then(afterReady) });
  Promise.all((plan.stderr || []).map(writeError)).then(() => guideBlock('main-window'));
}
