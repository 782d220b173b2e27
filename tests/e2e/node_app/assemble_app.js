'use strict';

// node assemble_app.js <guide.md> <driver.js> <app.js>
//
// Writes the script of the Node application that plays VYN.exe in the
// end-to-end tests: the JavaScript blocks of the integration guide that are
// marked for it, each as a function of its own (so each has its own
// `require` and `module`, as a file would), followed by the driver that
// runs them. Taking the blocks from the guide at build time means the tests
// run exactly what the guide tells the application's developers to write.

const fs = require('node:fs');

const MARKER = /^(\s*)<!-- end-to-end tests run this block as: ([\w-]+) -->$/;

function extractBlocks(markdown) {
  const lines = markdown.split('\n');
  const blocks = new Map();
  for (let i = 0; i < lines.length; ++i) {
    const marker = MARKER.exec(lines[i]);
    if (!marker) continue;
    const [, indent, name] = marker;
    if (lines[i + 1] !== `${indent}\`\`\`js`) {
      throw new Error(`line ${i + 1}: the block "${name}" must follow its marker at once`);
    }
    const body = [];
    for (i += 2; i < lines.length && lines[i] !== `${indent}\`\`\``; ++i) {
      body.push(lines[i].startsWith(indent) ? lines[i].slice(indent.length) : lines[i]);
    }
    if (i === lines.length) throw new Error(`the block "${name}" is not closed`);
    if (blocks.has(name)) throw new Error(`the block "${name}" is marked twice`);
    blocks.set(name, body.join('\n'));
  }
  return blocks;
}

const [guidePath, driverPath, outputPath] = process.argv.slice(2);
const blocks = extractBlocks(fs.readFileSync(guidePath, 'utf8'));
const driver = fs.readFileSync(driverPath, 'utf8');
for (const name of driver.matchAll(/guideBlock\('([\w-]+)'/g)) {
  if (!blocks.has(name[1])) throw new Error(`the guide has no block marked "${name[1]}"`);
}

let app = `'use strict';\n// Generated from ${guidePath} and ${driverPath}; edit those.\n\n`;
app += 'const GUIDE_BLOCKS = {\n';
for (const [name, body] of blocks) {
  app += `  ${JSON.stringify(name)}: function (require, module, exports) {\n${body}\n  },\n`;
}
app += '};\n\n' + driver;
fs.writeFileSync(outputPath, app);
