// Reads a JSON array of LaTeX strings on standard input and renders each with
// KaTeX, failing on the first parse error of any of them. Prints the failures.
const katex = require('/usr/share/nodejs/katex');

let input = '';
process.stdin.on('data', (chunk) => { input += chunk; });
process.stdin.on('end', () => {
  const strings = JSON.parse(input);
  const failures = [];
  for (const latex of strings) {
    try {
      katex.renderToString(latex, { throwOnError: true, colorIsTextColor: true });
    } catch (error) {
      failures.push(`${JSON.stringify(latex)}: ${error.message}`);
    }
  }
  for (const failure of failures.slice(0, 40)) console.log(failure);
  console.log(`${strings.length} LaTeX strings, ${failures.length} failures`);
  process.exit(failures.length ? 1 : 0);
});
