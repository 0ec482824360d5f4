// Validates AsyncAPI documents with @asyncapi/parser (references to other files resolved):
//   node scripts/asyncapi/validate.js FILE...
// Prints every error and warning; exits 1 when a document has an error or a warning.
'use strict';
const path = require('path');
const root = path.resolve(__dirname, '..', '..');
const { Parser, fromFile } = require(path.join(root, '.asyncapi', 'node_modules', '@asyncapi', 'parser'));

const severities = ['error', 'warning', 'info', 'hint'];

async function main(files) {
  const parser = new Parser();
  let failed = false;
  for (const file of files) {
    const { document, diagnostics } = await fromFile(parser, file).parse();
    const shown = diagnostics.filter((d) => d.severity <= 1);
    for (const d of shown) {
      const where = d.path && d.path.length ? d.path.join('/') : '';
      console.log(`${file}: ${severities[d.severity]} ${d.code}: ${d.message} ${where}`);
    }
    if (document === undefined || shown.length > 0) failed = true;
    else console.log(`${file}: valid AsyncAPI ${document.version()}, ${document.channels().length} channels, ` +
                     `${document.operations().length} operations`);
  }
  process.exit(failed ? 1 : 0);
}

main(process.argv.slice(2)).catch((e) => {
  console.error(e);
  process.exit(1);
});
