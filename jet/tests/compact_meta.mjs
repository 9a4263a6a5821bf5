// Prints what npm's mdb-reader sees in a database's header, for the
// compactor's oracle tests: {"password": ..., "created": ms since 1970}.
// Usage: node compact_meta.mjs ORACLE_DIR FILE [PASSWORD]
import { readFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const [oracleDir, file, password] = process.argv.slice(2);
const entry = join(oracleDir, "node_modules", "mdb-reader", "lib", "node", "index.js");
const { default: MDBReader } = await import(pathToFileURL(entry).href);
const reader = new MDBReader(readFileSync(file), password ? { password } : {});
const created = reader.getCreationDate();
process.stdout.write(
  JSON.stringify({
    password: reader.getPassword(),
    created: created ? created.getTime() : null,
  }) + "\n",
);
